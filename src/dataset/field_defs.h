// Field definitions: the list of a data set's physical fields (name, type, size, required,
// field number) as the record source reports them or as a table is to be created.
//
// Contract: names are unique in a list, compared without regard to case ("Duplicate field
// name"); Find raises "Field '%s' not found", IndexOf answers -1. Update asks the owning data
// set to re-read the definitions (through the hook it installs) unless they are up to date.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/field_types.h"

namespace tovenmarsh::dataset {

class TFieldDef {
 public:
  TFieldDef(std::string name, TFieldType type, int size, bool required, int fieldNo)
      : name_(std::move(name)), dataType_(type), size_(size), required_(required), fieldNo_(fieldNo) {}

  const std::string& Name() const { return name_; }
  TFieldType DataType() const { return dataType_; }
  int Size() const { return size_; }
  bool Required() const { return required_; }
  int FieldNo() const { return fieldNo_; }  // 1-based position in the table
  int Precision() const { return precision_; }
  void SetPrecision(int precision) { precision_ = precision; }
  void SetRequired(bool required) { required_ = required; }

 private:
  std::string name_;
  TFieldType dataType_;
  int size_;
  bool required_;
  int fieldNo_;
  int precision_ = 0;
};

class TFieldDefs {
 public:
  // Appends a definition; its field number is its position + 1 unless given (> 0).
  TFieldDef& Add(std::string_view name, TFieldType type, int size = 0, bool required = false,
                 int fieldNo = 0);
  // Adds under the name, or under "name_1", "name_2"... when the name is taken.
  TFieldDef& AddUnique(std::string_view name, TFieldType type, int size, bool required, int fieldNo);
  void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  TFieldDef& operator[](int i) { return *items_.at(static_cast<size_t>(i)); }
  const TFieldDef& operator[](int i) const { return *items_.at(static_cast<size_t>(i)); }
  int IndexOf(std::string_view name) const;
  const TFieldDef& Find(std::string_view name) const;
  const TFieldDef* FindByNumber(int fieldNo) const;

  bool Updated() const { return updated_; }
  void SetUpdated(bool updated) { updated_ = updated; }
  // Re-reads the definitions through the owner's hook unless they are up to date.
  void Update();
  void SetUpdateHook(std::function<void()> hook) { updateHook_ = std::move(hook); }

 private:
  std::vector<std::unique_ptr<TFieldDef>> items_;
  bool updated_ = false;
  std::function<void()> updateHook_;
};

// Case-insensitive name comparison (ASCII and Windows-1252 letters).
bool SameName(std::string_view a, std::string_view b);

}  // namespace tovenmarsh::dataset

// Index definitions: name, ";"-separated field names and options of each index of a table.
//
// Contract: names are unique (compared without regard to case; the primary index's name is
// empty). GetIndexForFields runs the index search the data sets use to serve a list of field
// names: first an index whose fields equal the names, then one whose fields begin with them;
// descending indexes never qualify, nor case-sensitive ones when case-insensitivity is asked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tovenmarsh::dataset {

enum TIndexOption : uint8_t {
  ixPrimary = 1,
  ixUnique = 2,
  ixDescending = 4,
  ixCaseInsensitive = 8,
};
using TIndexOptions = uint8_t;

// Splits "a;b;c" at ";" (blanks around a name are dropped, empty names skipped).
std::vector<std::string> SplitFieldNames(std::string_view names);

class TIndexDef {
 public:
  TIndexDef(std::string name, std::string fields, TIndexOptions options)
      : name_(std::move(name)), fields_(std::move(fields)), options_(options) {}

  const std::string& Name() const { return name_; }
  const std::string& Fields() const { return fields_; }
  TIndexOptions Options() const { return options_; }
  bool Has(TIndexOption option) const { return (options_ & option) != 0; }

 private:
  std::string name_;
  std::string fields_;
  TIndexOptions options_;
};

class TIndexDefs {
 public:
  TIndexDef& Add(std::string_view name, std::string_view fields, TIndexOptions options);
  void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  const TIndexDef& operator[](int i) const { return *items_.at(static_cast<size_t>(i)); }
  int IndexOf(std::string_view name) const;
  const TIndexDef& Find(std::string_view name) const;  // "Index '%s' not found"

  // The index search (see the header comment); nullptr when none qualifies.
  const TIndexDef* GetIndexForFields(std::string_view fields, bool caseInsensitive) const;
  // As above without case-insensitivity; none raises "No index for fields '%s'".
  const TIndexDef& FindIndexForFields(std::string_view fields) const;

  bool Updated() const { return updated_; }
  void SetUpdated(bool updated) { updated_ = updated; }
  void Update();  // re-reads through the owner's hook unless up to date
  void SetUpdateHook(std::function<void()> hook) { updateHook_ = std::move(hook); }

 private:
  std::vector<std::unique_ptr<TIndexDef>> items_;
  bool updated_ = false;
  std::function<void()> updateHook_;
};

}  // namespace tovenmarsh::dataset

// Field objects: one per column of an open data set (or per calculated value), reading and
// writing the current record of the data set's state through the data set.
//
// Contract: every field class reads and writes its value form (see field_types.h) through
// TDataSet::GetFieldData / SetFieldData, and converts it to the text, integer, float, Boolean
// and date-time views the class supports; a view the class does not support raises
// EDatabaseError "Cannot access field '%s' as type %s". A null value reads as "", 0, 0.0,
// false or 0 (date-time). Text that does not convert raises EDatabaseError naming the field.
// Assigning "" to a non-string field clears it (null). TFields owns its fields.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/field_types.h"
#include "dataset/variant.h"
#include "platform/stream.h"
#include "platform/date_time.h"

namespace tovenmarsh::dataset {

class TDataSet;

enum class TFieldKind : uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc };

class TField {
 public:
  TField(TFieldType type, int size);
  virtual ~TField() = default;
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(std::string name) { fieldName_ = std::move(name); }
  const std::string& DisplayLabel() const { return displayLabel_; }
  void SetDisplayLabel(std::string label) { displayLabel_ = std::move(label); }
  // The label when set, else the field name: what messages show.
  const std::string& DisplayName() const { return displayLabel_.empty() ? fieldName_ : displayLabel_; }

  TFieldType DataType() const { return dataType_; }
  int Size() const { return size_; }
  void SetSize(int size) { size_ = size; }
  // Bytes of the value form.
  virtual int DataSize() const { return DataSizeOf(dataType_, size_); }
  virtual bool IsBlob() const { return false; }

  TFieldKind FieldKind() const { return fieldKind_; }
  void SetFieldKind(TFieldKind kind) { fieldKind_ = kind; }
  // Data fields: the 1-based column number once bound; calculated fields: negative.
  int FieldNo() const { return fieldNo_; }
  bool Required() const { return required_; }
  void SetRequired(bool required) { required_ = required; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  // Offset of a calculated field's slot inside the calculated part of a record buffer.
  int CalcOffset() const { return calcOffset_; }
  TDataSet* DataSet() const { return dataSet_; }
  int Index() const;  // position in the data set's fields

  // Whether the value can be written now (data set editable and field not read-only).
  bool CanModify() const;

  // Raw value form: true when the field has a value (destination may be null).
  bool GetData(void* destination) const;
  // Writes the value form; null clears the field.
  void SetData(const void* source);

  bool IsNull() const;
  void Clear() { SetData(nullptr); }

  virtual std::string AsString() const;
  virtual void SetAsString(std::string_view value);
  virtual int32_t AsInteger() const;
  virtual void SetAsInteger(int32_t value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool value);
  virtual platform::TDateTime AsDateTime() const;
  virtual void SetAsDateTime(platform::TDateTime value);
  // The value as a variant (null when null), and assignment from one (null clears).
  virtual TVariant Value() const;
  virtual void SetValue(const TVariant& value);

  // Runs OnValidate before a new value is written (source is the value form, null = clear).
  void Validate(const void* source);

  std::function<void(TField&)> OnValidate;
  std::function<void(TField&)> OnChange;

 protected:
  [[noreturn]] void AccessError(const char* typeName) const;

 private:
  std::string fieldName_;
  friend class TDataSet;
  friend class TFields;
  TFieldType dataType_;
  int size_;
  std::string displayLabel_;
  TFieldKind fieldKind_ = TFieldKind::fkData;
  int fieldNo_ = 0;
  int calcOffset_ = 0;
  bool required_ = false;
  bool readOnly_ = false;
  bool defaultField_ = false;  // made at open from the definitions, freed at close
  TDataSet* dataSet_ = nullptr;
};

// Text fields (value form: zero-terminated text of size + 1 bytes).
class TStringField : public TField {
 public:
  explicit TStringField(int size = 20, TFieldType type = ftString) : TField(type, size) {}
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  platform::TDateTime AsDateTime() const override;
  void SetAsDateTime(platform::TDateTime value) override;
  TVariant Value() const override;
};

// Integer fields: small integer (16-bit), word (16-bit unsigned), integer and auto-increment
// (32-bit). Writes outside the type's range (or MinValue..MaxValue when set) are refused.
class TIntegerField : public TField {
 public:
  explicit TIntegerField(TFieldType type = ftInteger);
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  TVariant Value() const override;
  void SetValue(const TVariant& value) override;
  int64_t MinValue = 0, MaxValue = 0;  // both 0: the type's range only

 private:
  void CheckRange(int64_t value) const;
  int64_t minRange_, maxRange_;
};
using TSmallintField = TIntegerField;
using TWordField = TIntegerField;
using TAutoIncField = TIntegerField;

// Float and currency fields (64-bit float).
class TFloatField : public TField {
 public:
  explicit TFloatField(TFieldType type = ftFloat) : TField(type, 0) {}
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  TVariant Value() const override;
  double MinValue = 0, MaxValue = 0;  // both 0: no range check

 private:
  void CheckRange(double value) const;
};

// BCD fields: a currency value (64-bit, scale 10000) with Size decimals.
class TBCDField : public TField {
 public:
  explicit TBCDField(int decimals = 4) : TField(ftBCD, decimals) {}
  int64_t AsCurrency() const;
  void SetAsCurrency(int64_t currency);
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  TVariant Value() const override;
};

// Boolean fields (16-bit 0 or 1); text "True"/"False", any prefix of them accepted.
class TBooleanField : public TField {
 public:
  TBooleanField() : TField(ftBoolean, 0) {}
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  TVariant Value() const override;
};

// Date (32-bit day number), time (32-bit milliseconds) and date-time (64-bit milliseconds).
class TDateTimeField : public TField {
 public:
  explicit TDateTimeField(TFieldType type = ftDateTime) : TField(type, 0) {}
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  platform::TDateTime AsDateTime() const override;
  void SetAsDateTime(platform::TDateTime value) override;
  TVariant Value() const override;
  void SetValue(const TVariant& value) override;
};
using TDateField = TDateTimeField;
using TTimeField = TDateTimeField;

// Fixed (raw bytes of Size) and variable (16-bit length + bytes) byte fields; the text view
// is the bytes themselves.
class TBytesField : public TField {
 public:
  explicit TBytesField(int size, TFieldType type = ftBytes) : TField(type, size) {}
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  TVariant Value() const override;
};

// BLOB, memo and graphic fields: read and written through the data set's BLOB stream.
class TBlobField : public TField {
 public:
  explicit TBlobField(TFieldType type = ftBlob) : TField(type, 0) {}
  bool IsBlob() const override { return true; }
  int DataSize() const override { return 0; }
  std::string AsString() const override;
  void SetAsString(std::string_view value) override;
  TVariant Value() const override;
  void SetValue(const TVariant& value) override;
  int64_t BlobSize() const;
  // Replaces the value with the whole stream (read from its start; an empty stream clears it).
  // Needs edit or insert state.
  void LoadFromStream(platform::TStream& stream);
  // Writes the whole value at the stream's position (nothing for a null value).
  void SaveToStream(platform::TStream& stream) const;
};
using TMemoField = TBlobField;
using TGraphicField = TBlobField;

// Makes the field object for a definition's type (nullptr for a type with no field class).
std::unique_ptr<TField> CreateFieldForType(TFieldType type, int size);

// The fields of a data set, in order. Owns them.
class TFields {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TField& operator[](int i) const { return *items_.at(static_cast<size_t>(i)); }
  TField* FindField(std::string_view name) const;
  TField& FieldByName(std::string_view name) const;  // "Field '%s' not found"
  TField* FieldByNumber(int fieldNo) const;
  int IndexOf(const TField* field) const;

 private:
  friend class TDataSet;
  TField& Add(std::unique_ptr<TField> field);
  void RemoveDefaultFields();
  void Clear() { items_.clear(); }
  std::vector<std::unique_ptr<TField>> items_;
};

}  // namespace tovenmarsh::dataset

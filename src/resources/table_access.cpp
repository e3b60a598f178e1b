// Typed reads over the table view's field values.
#include "resources/table_access.h"

namespace tovenmarsh::resources {

int TTableAccess::GetInt(int position) {
  TFieldValue value = Field(position);
  if (const int* n = std::get_if<int>(&value)) return *n;
  if (const bool* b = std::get_if<bool>(&value)) return *b ? 1 : 0;
  return 0;
}

bool TTableAccess::GetBool(int position) {
  TFieldValue value = Field(position);
  if (const bool* b = std::get_if<bool>(&value)) return *b;
  if (const int* n = std::get_if<int>(&value)) return *n != 0;
  return false;
}

platform::TDateTime TTableAccess::GetDate(int position) {
  TFieldValue value = Field(position);
  if (const double* d = std::get_if<double>(&value)) return *d;
  return 0;
}

std::string TTableAccess::GetString(int position) {
  TFieldValue value = Field(position);
  if (std::string* s = std::get_if<std::string>(&value)) return std::move(*s);
  return std::string();
}

}  // namespace tovenmarsh::resources

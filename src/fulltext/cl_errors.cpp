// Raising container and full-text errors with their texts from the program's string table.
#include "fulltext/cl_errors.h"

#include "fulltext/string_resource.h"

namespace tovenmarsh::fulltext {

std::string SysToolsMessage(int id) { return SysToolsStrings().GetString(id); }

void RaiseContainerError(int id, std::string_view argument) {
  throw EClContainerError(id, FormatMessageText(SysToolsMessage(id), argument));
}

void RaiseTextIndex(int code) { throw ETextIndex(code, SysToolsMessage(code)); }

}  // namespace tovenmarsh::fulltext

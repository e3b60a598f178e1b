// TWebTemplate (see web_template.h).
#include "web/app/web_template.h"

#include "core/str_utils.h"
#include "core/system_parameters.h"
#include "platform/stream.h"

namespace tovenmarsh::web {

void TWebTemplate::LoadFromFile(const std::string& name) {
  LoadFromPath(core::SystemParameters().WebFolder() + name);
}

void TWebTemplate::LoadFromPath(const std::string& path) {
  platform::TFileStream file(path, platform::fmOpenRead);
  file.SetPosition(0);
  text_ = core::StreamToText(file);
}

void TWebTemplate::ReplaceTag(std::string_view tag, std::string_view value) {
  if (tag.empty()) return;
  text_ = core::ReplaceAll(text_, tag, value, false);
}

}  // namespace tovenmarsh::web

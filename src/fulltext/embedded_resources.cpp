// Resource modules: the program's embedded resources and run-time sets of named byte blocks.
#include "fulltext/embedded_resources.h"

#include "platform/win1252.h"

namespace tovenmarsh::fulltext {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (platform::Win1252Upper(a[i]) != platform::Win1252Upper(b[i])) return false;
  return true;
}

class TProgramModule : public TResourceModule {
 public:
  std::optional<std::string_view> FindRawData(std::string_view name) const override {
    for (const TRawResource& r : EmbeddedResources())
      if (r.data != nullptr && SameName(r.name, name))
        return std::string_view(reinterpret_cast<const char*>(r.data), r.size);
    return std::nullopt;
  }
};

}  // namespace

const TResourceModule& ProgramModule() {
  static const TProgramModule module;
  return module;
}

void TMemoryResourceModule::Add(std::string_view name, std::string bytes) {
  resources_[platform::Win1252UpperString(name)] = std::move(bytes);
}

std::optional<std::string_view> TMemoryResourceModule::FindRawData(std::string_view name) const {
  const auto it = resources_.find(platform::Win1252UpperString(name));
  if (it == resources_.end()) return std::nullopt;
  return std::string_view(it->second);
}

}  // namespace tovenmarsh::fulltext

// Raw-data resources compiled into the program: the "STR0" string tables generated at build
// time from src/fulltext/messages/*.txt (one resource per file, named after it).
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tovenmarsh::fulltext {

struct TRawResource {
  const char* name;
  const unsigned char* data;
  size_t size;
};

// Every resource embedded in the program (defined by the generated source).
std::span<const TRawResource> EmbeddedResources();

// A place that holds named raw-data resources (the program itself, or a test's own set).
// Names compare without regard to ASCII case.
class TResourceModule {
 public:
  virtual ~TResourceModule() = default;
  // The bytes of the named resource, or nothing when the module has no such resource. The
  // bytes stay valid as long as the module does.
  virtual std::optional<std::string_view> FindRawData(std::string_view name) const = 0;
};

// The program's own module: the embedded resources.
const TResourceModule& ProgramModule();

// A module whose resources are given at run time (tests, tools).
class TMemoryResourceModule : public TResourceModule {
 public:
  void Add(std::string_view name, std::string bytes);
  std::optional<std::string_view> FindRawData(std::string_view name) const override;

 private:
  std::map<std::string, std::string> resources_;  // keyed by the upper-cased name
};

}  // namespace tovenmarsh::fulltext

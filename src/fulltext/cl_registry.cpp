// The registry of streamable container and node classes (looked up by name when a container
// stream is loaded). The library's own classes are there from the start.
// Implements the class registry calls of fulltext/cl_container.h.
#include <mutex>
#include <vector>

#include "fulltext/cl_bits.h"
#include "fulltext/cl_container.h"
#include "fulltext/cl_dictionary.h"
#include "fulltext/match_bits.h"
#include "platform/string_list.h"

namespace tovenmarsh::fulltext {
namespace {

struct Registry {
  std::mutex lock;
  std::vector<const TClClass*> classes{&TClNode::kClass,       &TClDictNode::kClass,
                                       &TClContainer::kClass,  &TClBits::kClass,
                                       &TClDictionary::kClass, &TtaBits::kClass};
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

bool InheritsFrom(const TClClass* cls, const TClClass* ancestor) {
  for (; cls != nullptr; cls = cls->parent)
    if (cls == ancestor) return true;
  return false;
}

void RegisterClClass(const TClClass& cls) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const TClClass* c : r.classes)
    if (c == &cls) return;
  r.classes.push_back(&cls);
}

const TClClass* FindClClass(std::string_view name) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const TClClass* c : r.classes)
    if (platform::SameTextAscii(c->name, name)) return c;
  return nullptr;
}

}  // namespace tovenmarsh::fulltext

// The application's menu (see web_menu.h).
#include "web/app/web_menu.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "core/str_utils.h"
#include "platform/format.h"
#include "web/html/html_link.h"
#include "web/html/html_text.h"

namespace tovenmarsh::web {

namespace {

// The n-th (from 0) component after the leading "/"; "" when there is none.
std::string_view Component(std::string_view path, int n) {
  if (!path.empty() && path[0] == '/') path.remove_prefix(1);
  for (int i = 0; i < n; ++i) {
    const size_t slash = path.find('/');
    if (slash == std::string_view::npos) return {};
    path.remove_prefix(slash + 1);
  }
  return path.substr(0, path.find('/'));
}

// True when entry lies below the path prefix (a path and "/").
bool Below(const TWebMenuEntry& entry, const std::string& prefix) {
  return entry.Path.compare(0, prefix.size(), prefix) == 0;
}

std::string ChildPrefix(const std::string& path) {
  return !path.empty() && path.back() == '/' ? path : path + "/";
}

std::string MenuItem(const std::string& caption, const std::string& url, bool hasSubArray) {
  return platform::Format(",\r\n[\"%s\",\"%s\",1,0,%s]", JavaScriptString(caption).c_str(),
                          JavaScriptString(url).c_str(), hasSubArray ? "1" : "0");
}

}  // namespace

TWebMenuEntry& TWebMenu::AddEntry(const std::string& path, const std::string& caption,
                                  const std::string& steps, const std::string& action,
                                  const std::string& description) {
  auto entry = std::make_unique<TWebMenuEntry>();
  entry->Action = action;
  entry->Steps = steps;
  entry->Caption = caption;
  entry->Description = description;
  entry->Path = path.empty() ? "/" : path;
  entry->Depth = core::CountChar(entry->Path, '/');
  const size_t lastSlash = entry->Path.rfind('/');
  entry->ParentPath = lastSlash == std::string::npos || lastSlash == 0
                          ? "/"
                          : entry->Path.substr(0, lastSlash);
  entries_.push_back(std::move(entry));
  return *entries_.back();
}

void TWebMenu::AddSubEntry(TWebMenuEntry& entry, const std::string& caption,
                           const std::string& doCode, const std::string& steps,
                           const std::string& action) {
  entry.SubEntries.push_back(TWebMenuSubEntry{action, steps, doCode, caption});
}

int TWebMenu::CompareEntries(const TWebMenuEntry& a, const TWebMenuEntry& b) {
  const int depth = std::min(a.Depth, b.Depth);
  for (int i = 0; i < depth; ++i) {
    const std::string_view ca = Component(a.Path, i);
    const std::string_view cb = Component(b.Path, i);
    const size_t length = std::min(ca.size(), cb.size());
    for (size_t j = 0; j < length; ++j) {
      const auto ua = static_cast<unsigned char>(core::UpCaseChar(ca[j]));
      const auto ub = static_cast<unsigned char>(core::UpCaseChar(cb[j]));
      if (ua != ub) return ua < ub ? -1 : 1;
    }
  }
  return a.Depth - b.Depth;
}

void TWebMenu::Sort() {
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const std::unique_ptr<TWebMenuEntry>& a,
                      const std::unique_ptr<TWebMenuEntry>& b) {
                     return CompareEntries(*a, *b) < 0;
                   });
}

std::string TJavaScriptMenu::GetScript(std::string_view host) const {
  std::string script;
  if (!entries_.empty()) WriteArray(host, "1", 0, "", true, script);
  return script;
}

void TJavaScriptMenu::WriteArray(std::string_view host, const std::string& name, size_t first,
                                 const std::string& parentPath, bool top,
                                 std::string& out) const {
  const int depth = entries_[first]->Depth;
  std::string array = "\r\nHM_Array" + name + " = [" +
                      (top ? "\r\n[,29,78,,,,,,,1,1,0,1,0,1,,,]" : "\r\n[]");
  std::vector<std::pair<std::string, size_t>> subArrays;  // name, entry index
  int k = 0;
  for (size_t i = first; i < entries_.size(); ++i) {
    const TWebMenuEntry& entry = *entries_[i];
    if (entry.Depth < depth || (!top && !Below(entry, parentPath))) break;
    if (entry.Depth > depth) continue;
    ++k;
    const bool hasChildren = i + 1 < entries_.size() && entries_[i + 1]->Depth > entry.Depth &&
                             Below(*entries_[i + 1], ChildPrefix(entry.Path));
    const bool hasSubArray = !entry.SubEntries.empty() || hasChildren;
    array += MenuItem(entry.Caption,
                      BuildURL(host, entry.Path, {"action", "steps", "do"},
                               {entry.Action, entry.Steps, ""}, "", true),
                      hasSubArray);
    if (hasSubArray) subArrays.emplace_back(name + "_" + std::to_string(k), i);
  }
  array += "\r\n]\r\n";
  out += array;

  for (const auto& [subName, index] : subArrays) {
    const TWebMenuEntry& entry = *entries_[index];
    if (!entry.SubEntries.empty()) {
      std::string items = "\r\nHM_Array" + subName + " = [\r\n[]";
      for (const TWebMenuSubEntry& sub : entry.SubEntries) {
        items += MenuItem(sub.Caption,
                          BuildURL(host, entry.Path, {"action", "steps", "do"},
                                   {sub.Action, sub.Steps, sub.Do}, "", true),
                          false);
      }
      out += items + "\r\n]\r\n";
    } else {
      WriteArray(host, subName, index + 1, ChildPrefix(entry.Path), false, out);
    }
  }
}

}  // namespace tovenmarsh::web

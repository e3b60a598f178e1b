// The application's menu: a tree of entries by path ("/admin/mail/companies"), each with an
// action, steps and a list of sub-entries, written out by TJavaScriptMenu as the HM_Array
// JavaScript arrays that the client-side menu script of template.html reads.
//
// Captions and URLs are written as escaped JavaScript string literals.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tovenmarsh::web {

struct TWebMenuSubEntry {
  std::string Action;
  std::string Steps;
  std::string Do;
  std::string Caption;
};

struct TWebMenuEntry {
  std::string Action;
  std::string Steps;
  std::string Caption;
  std::string Description;
  int Depth = 0;           // number of "/" in the path
  std::string Path;        // "/" when empty
  std::string ParentPath;  // the path up to its last "/"; "/" when that is empty
  std::vector<TWebMenuSubEntry> SubEntries;
};

class TWebMenu {
 public:
  TWebMenu() = default;
  virtual ~TWebMenu() = default;
  TWebMenu(const TWebMenu&) = delete;
  TWebMenu& operator=(const TWebMenu&) = delete;

  // The entry stays valid as long as the menu.
  TWebMenuEntry& AddEntry(const std::string& path, const std::string& caption,
                          const std::string& steps, const std::string& action,
                          const std::string& description);
  void AddSubEntry(TWebMenuEntry& entry, const std::string& caption, const std::string& doCode,
                   const std::string& steps, const std::string& action);
  // Orders the entries path component by component (upper-cased, over the shorter
  // component's length); when no difference is found the smaller depth comes first.
  void Sort();

  int Count() const { return static_cast<int>(entries_.size()); }
  const TWebMenuEntry& Entry(int index) const { return *entries_.at(static_cast<size_t>(index)); }

  // The script with links to the host that BuildURL takes when given none.
  std::string GetScript() const { return GetScript(""); }
  // The script with links to host (BuildURL's rule when empty).
  virtual std::string GetScript(std::string_view /*host*/) const { return ""; }

  // Negative, 0 or positive as a sorts before, with or after b.
  static int CompareEntries(const TWebMenuEntry& a, const TWebMenuEntry& b);

 protected:
  std::vector<std::unique_ptr<TWebMenuEntry>> entries_;
};

class TJavaScriptMenu : public TWebMenu {
 public:
  // "HM_Array1" for the top level and "HM_Array1_k..." for each sub-array, as assignments of
  // nested array literals; "" for an empty menu. Links are absolute ("http://" + host).
  using TWebMenu::GetScript;
  std::string GetScript(std::string_view host) const override;

 private:
  void WriteArray(std::string_view host, const std::string& name, size_t first,
                  const std::string& parentPath, bool top, std::string& out) const;
};

}  // namespace tovenmarsh::web

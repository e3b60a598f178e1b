// The password dialog: asks for table passwords when an encrypted table is opened and the
// session has no password handler. It edits the session's passwords through
// TFenSessionPasswords, which TFenSession implements.
//
// The dialog is a small controller with the rules of the form (caption "Enter password"): an
// edit box, "&Add", "&Remove", "Re&move all", "&OK" and "Cancel". A prompter drives it until it
// closes; the process-wide prompter is replaceable. The default prompter answers "Cancel" at
// once, so a server thread never waits for a user who is not there (the engine then fails the
// open with its password error).
#pragma once

#include <functional>
#include <string>

namespace tovenmarsh::dataset {

// The table passwords of the session a dialog serves.
class TFenSessionPasswords {
 public:
  virtual void AddPassword(const std::string& password) = 0;
  virtual void RemovePassword(const std::string& password) = 0;
  virtual void RemoveAllPasswords() = 0;

 protected:
  ~TFenSessionPasswords() = default;
};

enum class TModalResult { mrNone, mrOK, mrCancel };

class TFenPasswordDialog {
 public:
  explicit TFenPasswordDialog(TFenSessionPasswords& session);

  static constexpr const char* kCaption = "Enter password";

  TFenSessionPasswords& Session() const { return session_; }
  const std::string& EditText() const { return edit_; }
  // Typing into the edit box.
  void SetEditText(std::string text) { edit_ = std::move(text); }

  // Enablement: "&Add" and "&Remove" while the box holds text; "&OK" while it holds text or a
  // password has been added; "Re&move all" always.
  bool AddEnabled() const { return !edit_.empty(); }
  bool RemoveEnabled() const { return !edit_.empty(); }
  bool RemoveAllEnabled() const { return true; }
  bool OKEnabled() const { return !edit_.empty() || added_; }

  // The buttons. A disabled button does nothing.
  void ClickAdd();
  void ClickRemove();
  void ClickRemoveAll();
  void ClickOK();
  void ClickCancel();

  bool PasswordAdded() const { return added_; }
  TModalResult ModalResult() const { return result_; }
  bool Closed() const { return result_ != TModalResult::mrNone; }

 private:
  TFenSessionPasswords& session_;
  std::string edit_;
  bool added_ = false;
  TModalResult result_ = TModalResult::mrNone;
};

// Drives one shown dialog until it closes (a prompter that returns without closing it counts
// as "Cancel").
using TFenPasswordPrompter = std::function<void(TFenPasswordDialog&)>;

// Replaces the process-wide prompter; an empty one restores the default. Returns the previous.
TFenPasswordPrompter SetPasswordPrompter(TFenPasswordPrompter prompter);

// Shows the dialog for the session; true when it was closed with OK.
bool PasswordDialog(TFenSessionPasswords& session);

}  // namespace tovenmarsh::dataset

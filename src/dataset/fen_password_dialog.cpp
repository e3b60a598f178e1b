// The password dialog's rules and the replaceable prompter that shows it.
#include "dataset/fen_password_dialog.h"

#include <mutex>
#include <utility>

namespace tovenmarsh::dataset {

namespace {

std::mutex gPrompterLock;
TFenPasswordPrompter gPrompter;  // empty: the default prompter

void DefaultPrompter(TFenPasswordDialog& dialog) { dialog.ClickCancel(); }

}  // namespace

TFenPasswordDialog::TFenPasswordDialog(TFenSessionPasswords& session) : session_(session) {}

void TFenPasswordDialog::ClickAdd() {
  if (!AddEnabled() || Closed()) return;
  session_.AddPassword(edit_);
  added_ = true;
  edit_.clear();
}

void TFenPasswordDialog::ClickRemove() {
  if (!RemoveEnabled() || Closed()) return;
  session_.RemovePassword(edit_);
  edit_.clear();
}

void TFenPasswordDialog::ClickRemoveAll() {
  if (Closed()) return;
  session_.RemoveAllPasswords();
}

void TFenPasswordDialog::ClickOK() {
  if (!OKEnabled() || Closed()) return;
  if (!edit_.empty()) session_.AddPassword(edit_);
  result_ = TModalResult::mrOK;
}

void TFenPasswordDialog::ClickCancel() {
  if (Closed()) return;
  result_ = TModalResult::mrCancel;
}

TFenPasswordPrompter SetPasswordPrompter(TFenPasswordPrompter prompter) {
  std::lock_guard<std::mutex> lock(gPrompterLock);
  std::swap(gPrompter, prompter);
  return prompter;
}

bool PasswordDialog(TFenSessionPasswords& session) {
  TFenPasswordPrompter prompter;
  {
    std::lock_guard<std::mutex> lock(gPrompterLock);
    prompter = gPrompter;
  }
  TFenPasswordDialog dialog(session);
  if (prompter)
    prompter(dialog);
  else
    DefaultPrompter(dialog);
  return dialog.ModalResult() == TModalResult::mrOK;
}

}  // namespace tovenmarsh::dataset

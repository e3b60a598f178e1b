// The password dialog: button enablement, what each button does to the session's passwords,
// how it closes, and the replaceable prompter (whose default answers no at once).
#include <gtest/gtest.h>

#include <string>

#include "dataset/fen_password_dialog.h"
#include "dataset/fen_session.h"

namespace tovenmarsh::dataset {
namespace {

class FenPasswordDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { session_.SetSessionName("DialogSession"); }
  void TearDown() override { SetPasswordPrompter(nullptr); }
  TFenSession session_;
};

TEST_F(FenPasswordDialogTest, EnablementFollowsTheEditBoxAndAddedPasswords) {
  TFenPasswordDialog d(session_);
  EXPECT_STREQ(TFenPasswordDialog::kCaption, "Enter password");
  struct Expect {
    bool add, remove, ok;
  };
  auto check = [&](Expect e, const char* when) {
    EXPECT_EQ(d.AddEnabled(), e.add) << when;
    EXPECT_EQ(d.RemoveEnabled(), e.remove) << when;
    EXPECT_EQ(d.OKEnabled(), e.ok) << when;
    EXPECT_TRUE(d.RemoveAllEnabled()) << when;
  };
  check({false, false, false}, "initially");
  d.SetEditText("x");
  check({true, true, true}, "typed");
  d.SetEditText("");
  check({false, false, false}, "cleared");
  d.SetEditText("first");
  d.ClickAdd();
  EXPECT_EQ(d.EditText(), "");
  check({false, false, true}, "after add");
  EXPECT_FALSE(d.Closed());
}

TEST_F(FenPasswordDialogTest, ButtonsChangeTheSessionsPasswords) {
  TFenPasswordDialog d(session_);
  d.ClickAdd();  // disabled: nothing
  EXPECT_FALSE(d.PasswordAdded());
  d.SetEditText("alpha");
  d.ClickAdd();
  d.SetEditText("beta");
  d.ClickAdd();
  EXPECT_TRUE(d.PasswordAdded());
  EXPECT_TRUE(session_.HasPassword("alpha"));
  EXPECT_TRUE(session_.HasPassword("beta"));
  d.SetEditText("alpha");
  d.ClickRemove();
  EXPECT_EQ(d.EditText(), "");
  EXPECT_FALSE(session_.HasPassword("alpha"));
  d.ClickRemoveAll();
  EXPECT_FALSE(session_.HasPassword("beta"));
  d.SetEditText("gamma");
  d.ClickOK();
  EXPECT_EQ(d.ModalResult(), TModalResult::mrOK);
  EXPECT_TRUE(session_.HasPassword("gamma"));
}

TEST_F(FenPasswordDialogTest, CancelAddsNothingAndOKNeedsSomething) {
  TFenPasswordDialog d(session_);
  d.ClickOK();  // disabled
  EXPECT_FALSE(d.Closed());
  d.SetEditText("typed");
  d.ClickCancel();
  EXPECT_EQ(d.ModalResult(), TModalResult::mrCancel);
  EXPECT_FALSE(session_.HasPassword("typed"));
  d.ClickOK();  // closed already: no change
  EXPECT_EQ(d.ModalResult(), TModalResult::mrCancel);
}

TEST_F(FenPasswordDialogTest, PrompterDecidesTheAnswer) {
  // The default prompter answers no at once.
  EXPECT_FALSE(PasswordDialog(session_));
  SetPasswordPrompter([](TFenPasswordDialog& d) {
    d.SetEditText("from-user");
    d.ClickOK();
  });
  EXPECT_TRUE(PasswordDialog(session_));
  EXPECT_TRUE(session_.HasPassword("from-user"));
  // A prompter that leaves the dialog open counts as Cancel.
  SetPasswordPrompter([](TFenPasswordDialog& d) { d.SetEditText("left"); });
  EXPECT_FALSE(PasswordDialog(session_));
  // The session's password callback shows the dialog when no handler is set.
  SetPasswordPrompter([](TFenPasswordDialog& d) {
    d.SetEditText("again");
    d.ClickAdd();
    d.ClickOK();
  });
  TFenPasswordRequest request{&session_, 0};
  EXPECT_TRUE(TFenSession::PasswordCallback(&request, 0));
  EXPECT_TRUE(session_.HasPassword("again"));
  SetPasswordPrompter(nullptr);
  EXPECT_FALSE(PasswordDialog(session_));
}

}  // namespace
}  // namespace tovenmarsh::dataset

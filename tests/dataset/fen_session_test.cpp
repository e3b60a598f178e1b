// Sessions: the default session, names, activation and its failures, settings reaching the
// engine session, passwords, auto session names, the per-thread engine lock and the
// password callback's limit.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "dataset/database_error.h"
#include "dataset/fen_password_dialog.h"
#include "dataset/fen_session.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "platform/paths.h"

namespace tovenmarsh::dataset {
namespace {

std::string ErrorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const EDatabaseError& e) {
    return e.Message();
  }
  return "(none)";
}

TEST(FenSessionTest, DefaultSessionIsFoundByTheEmptyName) {
  TFenSession& def = Sessions().DefaultSession();
  EXPECT_TRUE(def.IsDefault());
  EXPECT_EQ(def.SessionName(), "Default");
  EXPECT_EQ(Sessions().FindSession(""), &def);
  EXPECT_EQ(Sessions().FindSession("dEfAuLt"), &def);
  EXPECT_EQ(&Sessions().GetSession(""), &def);
  EXPECT_EQ(ErrorText([] { Sessions().GetSession("Nowhere"); }), "Session name Nowhere is not valid.");
  // A second session is never the default one.
  TFenSession other;
  EXPECT_FALSE(other.IsDefault());
}

TEST(FenSessionTest, NamesAreUniqueWithoutRegardToCase) {
  TFenSession a, b;
  a.SetSessionName("Alpha");
  EXPECT_EQ(ErrorText([&] { b.SetSessionName("ALPHA"); }), "Session name ALPHA already exists.");
  b.SetSessionName("Beta");
  EXPECT_EQ(Sessions().FindSession("alpha"), &a);
  a.SetActive(true);
  EXPECT_EQ(ErrorText([&] { a.SetSessionName("Gamma"); }), "Cannot perform this operation on an active session.");
  a.SetActive(false);
  a.SetSessionName("Gamma");
  EXPECT_EQ(Sessions().FindSession("Alpha"), nullptr);
}

TEST(FenSessionTest, OpeningWithoutNameFailsAndLeavesTheSessionClosed) {
  TFenSession s;
  int startups = 0;
  s.SetOnStartup([&](TFenSession&) { ++startups; });
  EXPECT_EQ(ErrorText([&] { s.SetActive(true); }), "Session name is missing.");
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(startups, 1);
  s.SetSessionName("Started");
  s.OpenSession();
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(startups, 2);
  // Opening a session opens the default one first.
  EXPECT_TRUE(Sessions().DefaultSession().Active());
  EXPECT_TRUE(engine::EngineStarted());
  s.CloseSession();
  EXPECT_FALSE(s.Active());
}

TEST(FenSessionTest, SettingsReachTheEngineSession) {
  TFenSession s;
  s.SetSessionName("Settings");
  engine::TDataSession* e = s.GetEngineSession();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->LockRetryCount, 15);
  EXPECT_EQ(e->LockWaitTime, 100);
  EXPECT_FALSE(e->ForceBufferFlush);
  EXPECT_FALSE(e->StrictChangeDetection);
  // No private directory given: the system's temporary folder, not the working directory.
  EXPECT_EQ(e->GetPrivateDir(), platform::SystemTempFolder());
  EXPECT_NE(e->GetPrivateDir(), e->WorkingDir());

  // Changed while active: at once.
  s.SetLockRetryCount(3);
  s.SetLockWaitTime(7);
  s.SetForceBufferFlush(true);
  s.SetStrictChangeDetection(true);
  s.SetLanguageID(1031);
  s.SetSortID(1);
  s.SetPrivateDir("/var/tmp");
  EXPECT_EQ(e->LockRetryCount, 3);
  EXPECT_EQ(e->LockWaitTime, 7);
  EXPECT_TRUE(e->ForceBufferFlush);
  EXPECT_TRUE(e->StrictChangeDetection);
  EXPECT_EQ(e->LanguageId, 1031);
  EXPECT_EQ(e->SortId, 1);
  EXPECT_EQ(e->GetPrivateDir().rfind("/var/tmp", 0), 0u);

  // Changed while inactive: stored, copied at the next open.
  s.SetActive(false);
  s.SetLockRetryCount(9);
  s.SetLanguageID(0);
  EXPECT_EQ(s.LockRetryCount(), 9);
  engine::TDataSession* again = s.GetEngineSession();
  EXPECT_EQ(again->LockRetryCount, 9);
  EXPECT_EQ(again->LockWaitTime, 7);
  EXPECT_EQ(again->LanguageId, 0);
  EXPECT_EQ(s.EngineVersion(), "2.06");
}

TEST(FenSessionTest, PasswordsOpenTheSessionAndCompareExactly) {
  TFenSession s;
  s.SetSessionName("Passwords");
  s.AddPassword("Secret");
  EXPECT_TRUE(s.Active());
  s.AddPassword("secret");  // differs in case: a second password
  s.AddPassword("");        // ignored
  EXPECT_TRUE(s.HasPassword("Secret"));
  EXPECT_TRUE(s.HasPassword("secret"));
  EXPECT_FALSE(s.HasPassword("SECRET"));
  s.RemovePassword("Secret");
  EXPECT_FALSE(s.HasPassword("Secret"));
  EXPECT_TRUE(s.HasPassword("secret"));
  // Cut to the engine's 255 characters.
  s.AddPassword(std::string(300, 'p'));
  EXPECT_TRUE(s.HasPassword(std::string(255, 'p')));
  s.RemoveAllPasswords();
  EXPECT_FALSE(s.HasPassword("secret"));
}

TEST(FenSessionTest, FindOrOpenSessionMakesOneActiveSessionPerName) {
  const int before = Sessions().Count();
  TFenSession& made = Sessions().FindOrOpenSession("Pooled7");
  EXPECT_TRUE(made.Active());
  EXPECT_EQ(Sessions().Count(), before + 1);
  EXPECT_EQ(&Sessions().FindOrOpenSession("POOLED7"), &made);
  EXPECT_EQ(Sessions().Count(), before + 1);
}

// Auto numbers are process-wide, so the whole story runs in one test.
TEST(FenSessionTest, AutoSessionNamesAreNumberedAcrossOwners) {
  TFenComponentOwner ownerA, ownerB, ownerC;
  auto a = std::make_unique<TFenSession>(&ownerA);
  a->SetName("Form");
  a->SetAutoSessionName(true);
  EXPECT_EQ(a->SessionName(), "Form_1");
  EXPECT_EQ(ErrorText([&] { a->SetSessionName("Other"); }),
            "Cannot perform this operation on the active auto-session.");
  EXPECT_EQ(ErrorText([&] { TFenSession second(&ownerA); }), "This auto-session already exists.");

  TFenSession b(&ownerB);
  b.SetName("Module");
  b.SetAutoSessionName(true);
  EXPECT_EQ(b.SessionName(), "Module_2");
  b.SetName("Renamed");  // renaming the component makes the name again
  EXPECT_EQ(b.SessionName(), "Renamed_2");

  // Destroying keeps the number taken; switching the auto name off gives it back.
  a.reset();
  TFenSession c(&ownerC);
  c.SetName("C");
  c.SetAutoSessionName(true);
  EXPECT_EQ(c.SessionName(), "C_3");
  b.SetAutoSessionName(false);
  TFenComponentOwner ownerD;
  TFenSession d(&ownerD);
  d.SetName("D");
  d.SetAutoSessionName(true);
  EXPECT_EQ(d.SessionName(), "D_2");

  // Only inactive sessions, and only one session per owner.
  TFenComponentOwner ownerE;
  TFenSession e1(&ownerE), e2(&ownerE);
  e1.SetName("E");
  EXPECT_EQ(ErrorText([&] { e1.SetAutoSessionName(true); }),
            "The active auto-session can be the only active session.");
  TFenSession active;
  active.SetSessionName("ActiveOne");
  active.SetActive(true);
  EXPECT_EQ(ErrorText([&] { active.SetAutoSessionName(true); }),
            "Cannot perform this operation on an active session.");
}

TEST(FenSessionTest, NestedLocksEnterTheEngineLockOnceAndLeaveAfterTheLast) {
  TFenSession s;
  s.SetSessionName("Nested");
  auto otherThreadCanEnter = [] {
    bool entered = false;
    std::thread t([&] {
      entered = Sessions().EngineLock().try_lock();
      if (entered) Sessions().EngineLock().unlock();
    });
    t.join();
    return entered;
  };
  s.Lock();
  s.Lock();
  EXPECT_EQ(s.LockDepth(), 2);
  EXPECT_EQ(engine::EngineSession(), s.GetEngineSession());
  s.Unlock();
  EXPECT_FALSE(otherThreadCanEnter());
  s.Unlock();
  EXPECT_EQ(s.LockDepth(), 0);
  EXPECT_TRUE(otherThreadCanEnter());
  // An Unlock without a Lock of this thread leaves nothing it did not enter.
  s.Unlock();
  EXPECT_TRUE(otherThreadCanEnter());
  s.Lock();
  EXPECT_EQ(s.LockDepth(), 1);
  s.Unlock();
}

TEST(FenSessionTest, LockOfOneThreadIsNotSharedWithAnotherThreadOfTheSameSession) {
  TFenSession& shared = Sessions().DefaultSession();
  shared.Lock();
  int depthSeenByOther = -1;
  bool otherGotIn = true;
  std::thread t([&] {
    depthSeenByOther = shared.LockDepth();
    otherGotIn = Sessions().EngineLock().try_lock();
    if (otherGotIn) Sessions().EngineLock().unlock();
  });
  t.join();
  EXPECT_EQ(depthSeenByOther, 0);
  EXPECT_FALSE(otherGotIn);
  shared.Unlock();
}

TEST(FenSessionTest, PasswordCallbackAsksTheHandlerAFewTimesAtMost) {
  TFenSession s;
  s.SetSessionName("Prompted");
  int asked = 0;
  // A handler that always answers "continue" without giving the password.
  s.SetOnPassword([&](TFenSession&, bool& doContinue) {
    ++asked;
    doContinue = true;
  });
  TFenPasswordRequest request{&s, 0};
  int answeredTrue = 0;
  for (int i = 0; i < 100 && TFenSession::PasswordCallback(&request, 0); ++i) ++answeredTrue;
  EXPECT_EQ(answeredTrue, TFenSession::kMaxPasswordAttempts);
  EXPECT_EQ(asked, TFenSession::kMaxPasswordAttempts);

  // The handler's Continue starts false and is the answer.
  s.SetOnPassword([&](TFenSession& session, bool& doContinue) {
    EXPECT_FALSE(doContinue);
    session.AddPassword("pw");
  });
  TFenPasswordRequest second{&s, 0};
  EXPECT_FALSE(TFenSession::PasswordCallback(&second, 0));
  EXPECT_TRUE(s.HasPassword("pw"));

  // No handler: the dialog, whose default prompter answers no at once.
  s.SetOnPassword(nullptr);
  TFenPasswordRequest third{&s, 0};
  EXPECT_FALSE(TFenSession::PasswordCallback(&third, 0));
  EXPECT_FALSE(TFenSession::PasswordCallback(nullptr, 0));
}


TEST(FenSessionTest, ClosingTheDefaultSessionClosesTheOthersFirst) {
  TFenSession s;
  s.SetSessionName("Dependent");
  s.SetActive(true);
  TFenSession& def = Sessions().DefaultSession();
  def.SetActive(false);
  EXPECT_FALSE(s.Active());
  EXPECT_FALSE(engine::EngineStarted());
  // Any later use starts it again.
  s.Lock();
  EXPECT_TRUE(def.Active());
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(engine::EngineSession(), s.GetEngineSession());
  s.Unlock();
}

}  // namespace
}  // namespace tovenmarsh::dataset

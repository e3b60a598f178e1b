// The record-set layer's engine error: exact message texts, the error entry, the class it is
// caught as, and engine exceptions turned into it.
#include <gtest/gtest.h>

#include "dataset/database_error.h"
#include "dataset/fen_engine_error.h"
#include "engine/base/engine_error.h"

namespace tovenmarsh::dataset {
namespace {

TEST(FenEngineErrorTest, MessageIsPrefixCodeAndEngineText) {
  struct Case {
    int code;
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {8708, "some text", "Fen Engine Error # 8708 some text"},
      {10258, "", "Fen Engine Error # 10258 "},
      // The code is shown as an unsigned 16-bit number.
      {-1, "x", "Fen Engine Error # 65535 x"},
      {65536 + 7, "y", "Fen Engine Error # 7 y"},
  };
  for (const Case& c : cases) {
    EFenEngineError e(c.code, c.text);
    EXPECT_EQ(e.Message(), c.message) << c.code;
    ASSERT_EQ(e.ErrorCount(), 1);
    EXPECT_EQ(e.Errors(0).ErrorCode, c.code);
    EXPECT_EQ(e.Errors(0).Text, c.text);
    EXPECT_EQ(e.ErrorCode(), c.code);
  }
}

TEST(FenEngineErrorTest, RaisedWithTheEngineTextOfTheLastError) {
  engine::SetEngineErrorInfo(engine::kErrRecordChanged, "account.dat", "", "", "");
  try {
    RaiseFenError(8708);
    FAIL() << "no exception";
  } catch (const EDatabaseError& e) {  // caught as the framework's database error
    EXPECT_STREQ(e.ClassName(), "EFenEngineError");
    EXPECT_EQ(e.Message(),
              "Fen Engine Error # 8708 Record has been changed or deleted by another user, session, or table "
              "cursor in table 'account.dat'");
    const auto* fen = dynamic_cast<const EFenEngineError*>(&e);
    ASSERT_NE(fen, nullptr);
    EXPECT_EQ(fen->Errors(0).ErrorCode, 8708);
  }
  engine::ClearEngineErrorInfo();
}

TEST(FenEngineErrorTest, CheckEngineResultPassesZeroAndRaisesTheRest) {
  EXPECT_EQ(CheckEngineResult(0), 0);
  struct Case {
    int result;
    int raised;
  };
  // Negative results of directory operations are raised as their positive codes.
  for (const Case c : {Case{8709, 8709}, Case{-11013, 11013}, Case{-11010, 11010}}) {
    try {
      CheckEngineResult(c.result);
      ADD_FAILURE() << c.result;
    } catch (const EFenEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), c.raised);
      EXPECT_EQ(e.Message().rfind("Fen Engine Error # " + std::to_string(c.raised) + " ", 0), 0u) << e.Message();
    }
  }
}

TEST(FenEngineErrorTest, EngineExceptionsBecomeTheLayersException) {
  EXPECT_EQ(TranslateEngineErrors([] { return 5; }), 5);
  try {
    TranslateEngineErrors([]() -> int { engine::RaiseEngineError(engine::kErrRecordInUse, "mailbox.dat"); });
    FAIL() << "no exception";
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10258);
    EXPECT_EQ(e.Message(), "Fen Engine Error # 10258 Record in table 'mailbox.dat' is in use by another user");
  }
  // Other exceptions pass unchanged.
  EXPECT_THROW(TranslateEngineErrors([] { throw EDatabaseError("x"); }), EDatabaseError);
  try {
    TranslateEngineErrors([] { throw EDatabaseError("x"); });
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.ClassName(), "EDatabaseError");
  }
}

}  // namespace
}  // namespace tovenmarsh::dataset

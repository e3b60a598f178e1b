// BLOB streams of tables over real files: memo text and binary values written, posted,
// reopened and read back; the open-value budget across many posts and cancels; stream
// positions, bounds and engine failures; misuse; and a random-operation check of a stream
// against a plain byte-string model.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dataset/database_error.h"
#include "dataset/fen_blob_stream.h"
#include "dataset/fen_engine_error.h"
#include "dataset/fen_session.h"
#include "dataset/fen_table.h"
#include "platform/paths.h"
#include "platform/stream.h"

namespace tovenmarsh::dataset {
namespace {

using platform::SeekOrigin;

std::string ErrorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const platform::Exception& e) {
    return e.Message();
  }
  return "(none)";
}

int EngineCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

std::string Bytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(random() & 0xFF);
  return out;
}

class FenBlobStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = platform::SystemTempFolder() + "fenblobXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    TFenTable t;
    t.SetTableName(folder_ + "notes");
    t.FieldDefs().Add("no", ftInteger, 0, true);
    t.FieldDefs().Add("note", ftMemo);
    t.FieldDefs().Add("data", ftBlob);
    t.IndexDefs().Add("", "no", ixPrimary | ixUnique);
    t.CreateTable();
  }
  void TearDown() override {
    tables_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  TFenTable& Open() {
    tables_.push_back(std::make_unique<TFenTable>());
    TFenTable& t = *tables_.back();
    t.SetTableName(folder_ + "notes");
    t.Open();
    return t;
  }

  static void AddNote(TFenTable& t, int no, const std::string& note) {
    t.Append();
    t.FieldByName("no").SetAsInteger(no);
    t.FieldByName("note").SetAsString(note);
    t.Post();
  }

  static std::unique_ptr<platform::TStream> Stream(TFenTable& t, const char* field, TBlobStreamMode mode) {
    return t.CreateBlobStream(t.FieldByName(field), mode);
  }

  std::string folder_;
  std::vector<std::unique_ptr<TFenTable>> tables_;
};

TEST_F(FenBlobStreamTest, MemoTextIsStoredReplacedAndClearedByEmptyText) {
  TFenTable& t = Open();
  AddNote(t, 1, "first note");
  AddNote(t, 2, "");
  t.First();
  EXPECT_EQ(t.FieldByName("note").AsString(), "first note");
  t.Next();
  EXPECT_TRUE(t.FieldByName("note").IsNull());

  // Assigning "" clears a memo that holds text; the chain goes, the field reads null.
  t.First();
  t.Edit();
  t.FieldByName("note").SetAsString("");
  EXPECT_TRUE(t.Modified());
  EXPECT_TRUE(t.FieldByName("note").IsNull());
  t.Post();
  // And a null memo written in an edit reads as a value before it is posted.
  t.Next();
  t.Edit();
  t.FieldByName("note").SetAsString("second");
  EXPECT_FALSE(t.FieldByName("note").IsNull());
  EXPECT_EQ(t.FieldByName("note").Value().AsString(), "second");
  t.Next();  // the browse-mode check posts the memo change
  // Clearing the field drops a change still open and the stored value alike.
  AddNote(t, 3, "stored");
  t.Edit();
  t.FieldByName("note").SetAsString("pending");
  t.FieldByName("note").Clear();
  EXPECT_TRUE(t.FieldByName("note").IsNull());
  t.Post();
  EXPECT_TRUE(t.FieldByName("note").IsNull());

  t.Close();
  TFenTable& again = Open();
  EXPECT_TRUE(again.FieldByName("note").IsNull());
  EXPECT_EQ(again.FieldByName("note").AsString(), "");
  again.Next();
  EXPECT_EQ(again.FieldByName("note").AsString(), "second");
  EXPECT_EQ(static_cast<TBlobField&>(again.FieldByName("note")).BlobSize(), 6);
  again.Next();
  EXPECT_EQ(again.FieldByName("no").AsInteger(), 3);
  EXPECT_TRUE(again.FieldByName("note").IsNull());
}

TEST_F(FenBlobStreamTest, AThousandPostsEachWritingAMemoSucceed) {
  // Exclusive: the same BLOB calls without a disk flush per post, to keep the test quick.
  tables_.push_back(std::make_unique<TFenTable>());
  TFenTable& t = *tables_.back();
  t.SetTableName(folder_ + "notes");
  t.SetExclusive(true);
  t.Open();
  for (int i = 1; i <= 1000; ++i) AddNote(t, i, "note " + std::to_string(i));
  // Edits post the modified path; cancelled edits must give their open values back too.
  t.First();
  for (int i = 1; i <= 100; ++i, t.Next()) {
    t.Edit();
    t.FieldByName("note").SetAsString("edited " + std::to_string(i));
    t.FieldByName("data").SetAsString(std::string(1, static_cast<char>(i)));
    t.Post();
  }
  t.First();
  for (int i = 0; i < 100; ++i) {
    t.Edit();
    t.FieldByName("note").SetAsString("never stored");
    t.Cancel();
    t.Append();
    t.FieldByName("note").SetAsString("never inserted");
    t.Cancel();
  }
  EXPECT_EQ(t.RecordCount(), 1000);
  t.Close();

  TFenTable& again = Open();
  int no = 0;
  for (again.First(); !again.Eof(); again.Next()) {
    ++no;
    ASSERT_EQ(again.FieldByName("no").AsInteger(), no);
    const std::string expected = (no <= 100 ? "edited " : "note ") + std::to_string(no);
    ASSERT_EQ(again.FieldByName("note").AsString(), expected);
    if (no <= 100) {
      ASSERT_EQ(again.FieldByName("data").AsString(), std::string(1, static_cast<char>(no)));
    }
  }
  EXPECT_EQ(no, 1000);
}

TEST_F(FenBlobStreamTest, OneMegabyteValuesRoundTrip) {
  const std::string value = Bytes(1 << 20, 7);
  std::string text(1 << 20, ' ');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (i * 7919) % 26);
  TFenTable& t = Open();
  t.Append();
  t.FieldByName("no").SetAsInteger(1);
  t.FieldByName("note").SetAsString(text);  // a memo as text
  {
    // Loading from another stream, in the uneven pieces that CopyFrom hands over.
    platform::TStringStream source(value);
    auto blob = Stream(t, "data", TBlobStreamMode::bmWrite);
    EXPECT_EQ(blob->CopyFrom(source, 0), static_cast<int64_t>(value.size()));
  }
  t.Post();
  t.Close();

  // The BLOB file on disk holds at least the value.
  bool found = false;
  for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
    std::string name = entry.path().filename().string();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "notes.blb") {
      found = true;
      EXPECT_GE(entry.file_size(), 2 * value.size());
    }
  }
  EXPECT_TRUE(found);

  TFenTable& again = Open();
  EXPECT_TRUE(again.FieldByName("note").AsString() == text);
  auto blob = Stream(again, "data", TBlobStreamMode::bmRead);
  EXPECT_EQ(blob->Size(), static_cast<int64_t>(value.size()));
  platform::TMemoryStream target;  // saving into another stream
  target.CopyFrom(*blob, 0);
  EXPECT_TRUE(target.Bytes() == value);
}

// A field loads the whole of a stream (from its start, whatever its position) and saves its
// whole value at the stream's position; loading an empty stream clears the value.
TEST_F(FenBlobStreamTest, FieldsLoadFromAndSaveToStreams) {
  TFenTable& t = Open();
  AddNote(t, 1, "old text");
  const std::string data = Bytes(70000, 7);  // more than one copy chunk
  platform::TMemoryStream source;
  source.WriteBuffer(data.data(), data.size());  // left at its end
  auto& blob = static_cast<TBlobField&>(t.FieldByName("data"));
  EXPECT_EQ(ErrorText([&] { blob.LoadFromStream(source); }), "Dataset not in edit or insert mode");
  t.Edit();
  blob.LoadFromStream(source);
  t.Post();

  TFenTable& again = Open();
  auto& saved = static_cast<TBlobField&>(again.FieldByName("data"));
  platform::TMemoryStream target;
  target.WriteBuffer("head", 4);
  saved.SaveToStream(target);
  ASSERT_EQ(target.Size(), static_cast<int64_t>(4 + data.size()));
  EXPECT_EQ(std::string(static_cast<const char*>(target.Memory()) + 4, data.size()), data);

  // A memo the same way, then cleared by an empty stream.
  auto& note = static_cast<TBlobField&>(again.FieldByName("note"));
  platform::TStringStream text("new text");
  again.Edit();
  note.LoadFromStream(text);
  again.Post();
  EXPECT_EQ(again.FieldByName("note").AsString(), "new text");
  platform::TMemoryStream empty;
  again.Edit();
  note.LoadFromStream(empty);
  again.Post();
  EXPECT_TRUE(again.FieldByName("note").IsNull());
  platform::TMemoryStream none;
  note.SaveToStream(none);
  EXPECT_EQ(none.Size(), 0);
}

TEST_F(FenBlobStreamTest, ReadsSeeksAndBounds) {
  const std::string value = Bytes(120, 3);
  TFenTable& t = Open();
  t.Append();
  t.FieldByName("no").SetAsInteger(1);
  Stream(t, "data", TBlobStreamMode::bmWrite)->WriteBuffer(value.data(), value.size());
  t.Post();

  auto s = Stream(t, "data", TBlobStreamMode::bmRead);
  char buffer[200];
  EXPECT_EQ(s->Seek(90, SeekOrigin::Beginning), 90);
  EXPECT_EQ(s->Read(buffer, 100), 30u);  // the end comes first
  EXPECT_EQ(std::string(buffer, 30), value.substr(90));
  EXPECT_EQ(s->Position(), 120);
  EXPECT_EQ(s->Read(buffer, 10), 0u);
  EXPECT_EQ(s->Seek(0, SeekOrigin::End), 120);
  EXPECT_EQ(s->Seek(-20, SeekOrigin::Current), 100);
  EXPECT_EQ(s->Seek(1000, SeekOrigin::Beginning), 1000);  // beyond the end reads nothing
  EXPECT_EQ(s->Read(buffer, 10), 0u);

  // Positions outside 0 .. 2^32-1 are refused and leave the position alone.
  struct Bad {
    int64_t offset;
    SeekOrigin origin;
  };
  const Bad bad[] = {{-1, SeekOrigin::Beginning},         {-1001, SeekOrigin::Current},
                     {-121, SeekOrigin::End},             {0x100000000ll, SeekOrigin::Beginning},
                     {INT64_MAX, SeekOrigin::Current},    {INT64_MIN, SeekOrigin::Current},
                     {0xFFFFFFFFll - 119, SeekOrigin::End}};
  for (const Bad& b : bad) {
    EXPECT_THROW(s->Seek(b.offset, b.origin), platform::EStreamError) << b.offset;
    EXPECT_EQ(s->Position(), 1000) << b.offset;
  }
  EXPECT_EQ(s->Seek(0xFFFFFFFFll, SeekOrigin::Beginning), 0xFFFFFFFFll);  // the last offset itself
  EXPECT_EQ(s->Read(buffer, 10), 0u);

  // Editing the record closes what the read stream held open; the stream is stale after it.
  t.Edit();
  EXPECT_EQ(EngineCode([&] { s->Read(buffer, 1); }), 10030);
  s.reset();
  // A write that would end beyond the last offset is an engine error, not a wrapped offset.
  auto w = Stream(t, "data", TBlobStreamMode::bmReadWrite);
  w->Seek(0xFFFFFFFFll - 1, SeekOrigin::Beginning);
  EXPECT_EQ(EngineCode([&] { w->Write("abc", 3); }), 10029);
  EXPECT_EQ(w->Size(), 120);
  w.reset();
  t.Cancel();
}

TEST_F(FenBlobStreamTest, WriteModesTruncationAndOverwritingInPlace) {
  TFenTable& t = Open();
  AddNote(t, 1, "hello world");

  // Read-write keeps the value; an overwrite of the same size is stored.
  t.Edit();
  {
    auto s = Stream(t, "note", TBlobStreamMode::bmReadWrite);
    EXPECT_EQ(s->Size(), 11);
    s->WriteString("HELLO");
    EXPECT_EQ(s->Position(), 5);
  }
  t.Post();
  EXPECT_EQ(t.FieldByName("note").AsString(), "HELLO world");

  // Truncate cuts at the position, SetSize cuts or zero-extends.
  t.Edit();
  {
    auto s = Stream(t, "note", TBlobStreamMode::bmReadWrite);
    s->Seek(5, SeekOrigin::Beginning);
    static_cast<TFenBlobStream&>(*s).Truncate();
    EXPECT_EQ(s->Size(), 5);
    s->SetSize(7);
    EXPECT_EQ(s->Size(), 7);
    s->SetSize(2);
    EXPECT_EQ(s->Position(), 2);
    EXPECT_THROW(s->SetSize(-1), platform::EStreamError);
  }
  t.Post();
  EXPECT_EQ(t.FieldByName("note").AsString(), "HE");

  // Write mode empties the value before the first write.
  t.Edit();
  {
    auto s = Stream(t, "note", TBlobStreamMode::bmWrite);
    EXPECT_EQ(s->Size(), 0);
    s->WriteString("new");
  }
  t.Post();
  EXPECT_EQ(t.FieldByName("note").AsString(), "new");

  // Cancel drops every change, including an emptying.
  t.Edit();
  Stream(t, "note", TBlobStreamMode::bmWrite);
  EXPECT_EQ(t.FieldByName("note").AsString(), "");
  t.Cancel();
  EXPECT_EQ(t.FieldByName("note").AsString(), "new");
  t.Close();
  EXPECT_EQ(Open().FieldByName("note").AsString(), "new");
}

TEST_F(FenBlobStreamTest, MisuseAndClosedValuesAreRefused) {
  TFenTable& t = Open();
  // An empty data set in browse state reads nothing.
  {
    auto s = Stream(t, "note", TBlobStreamMode::bmRead);
    char c;
    EXPECT_EQ(s->Read(&c, 1), 0u);
    EXPECT_EQ(s->Size(), 0);
  }
  AddNote(t, 1, "text");

  struct Case {
    const char* what;
    std::function<void()> action;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"write stream in browse state", [&] { Stream(t, "note", TBlobStreamMode::bmWrite); },
       "Dataset not in edit or insert mode"},
      {"read-write stream in browse state", [&] { Stream(t, "note", TBlobStreamMode::bmReadWrite); },
       "Dataset not in edit or insert mode"},
      {"memo assignment in browse state", [&] { t.FieldByName("note").SetAsString("x"); },
       "Dataset not in edit or insert mode"},
      {"stream on a field that is no BLOB", [&] { Stream(t, "no", TBlobStreamMode::bmRead); },
       "Field 'no' is not a BLOB field"},
      {"write through a read stream", [&] { Stream(t, "note", TBlobStreamMode::bmRead)->WriteString("x"); },
       "Field 'note' cannot be modified"},
  };
  for (const Case& c : cases) EXPECT_EQ(ErrorText(c.action), c.message) << c.what;

  t.FieldByName("note").SetReadOnly(true);
  t.Edit();
  EXPECT_EQ(ErrorText([&] { Stream(t, "note", TBlobStreamMode::bmWrite); }), "Field 'note' cannot be modified");
  t.Cancel();
  t.FieldByName("note").SetReadOnly(false);

  // A stream kept past Post or Cancel names a closed value: its writes fail, never "succeed".
  for (bool post : {true, false}) {
    t.Edit();
    auto s = Stream(t, "note", TBlobStreamMode::bmReadWrite);
    s->WriteString("changed");
    post ? t.Post() : t.Cancel();
    EXPECT_EQ(EngineCode([&] { s->WriteString("late"); }), 10030) << post;
    char c;
    EXPECT_EQ(EngineCode([&] { s->Read(&c, 1); }), 10030) << post;
    s.reset();  // going away after the close releases nothing twice
  }
  EXPECT_EQ(t.FieldByName("note").AsString(), "changed");
  EXPECT_FALSE(t.Modified());

  // The message names the table and field.
  t.Edit();
  auto s = Stream(t, "note", TBlobStreamMode::bmReadWrite);
  t.Cancel();
  const std::string text = ErrorText([&] { s->WriteString("x"); });
  EXPECT_EQ(text.rfind("Fen Engine Error # 10030 ", 0), 0u) << text;
}

TEST_F(FenBlobStreamTest, AFailedPostKeepsTheValuesUntilCancel) {
  TFenTable& t = Open();
  AddNote(t, 1, "one");
  t.Append();
  t.FieldByName("no").SetAsInteger(1);  // duplicate key
  t.FieldByName("note").SetAsString("dup");
  t.FieldByName("data").SetAsString("bytes");
  EXPECT_NE(EngineCode([&] { t.Post(); }), 0);
  EXPECT_EQ(t.State(), TDataSetState::dsInsert);
  EXPECT_EQ(t.FieldByName("note").AsString(), "dup");  // still open and changed
  t.FieldByName("no").SetAsInteger(2);
  t.Post();  // the retry stores them
  t.Append();
  t.FieldByName("no").SetAsInteger(2);
  t.FieldByName("note").SetAsString("lost");
  EXPECT_NE(EngineCode([&] { t.Post(); }), 0);
  t.Cancel();
  AddNote(t, 3, "three");  // nothing of the cancelled insert travels with this one
  t.Close();

  TFenTable& again = Open();
  std::vector<std::string> notes, data;
  for (again.First(); !again.Eof(); again.Next()) {
    notes.push_back(again.FieldByName("note").AsString());
    data.push_back(again.FieldByName("data").AsString());
  }
  EXPECT_EQ(notes, (std::vector<std::string>{"one", "dup", "three"}));
  EXPECT_EQ(data, (std::vector<std::string>{"", "bytes", ""}));
}

// Random seeks, writes, reads, truncations and size changes on one stream agree with a byte
// string, before and after the value is posted and reread.
TEST_F(FenBlobStreamTest, RandomOperationsMatchAByteStringModel) {
  TFenTable& t = Open();
  AddNote(t, 1, "seed");
  std::mt19937 random(20261210);
  std::string model = "seed";
  for (int round = 0; round < 6; ++round) {
    t.Edit();
    {
      auto s = Stream(t, "note", TBlobStreamMode::bmReadWrite);
      auto& blob = static_cast<TFenBlobStream&>(*s);
      int64_t pos = 0;
      for (int op = 0; op < 150; ++op) {
        const int64_t size = static_cast<int64_t>(model.size());
        switch (random() % 5) {
          case 0: {
            pos = static_cast<int64_t>(random() % static_cast<uint32_t>(size + 40));
            ASSERT_EQ(s->Seek(pos, SeekOrigin::Beginning), pos);
            break;
          }
          case 1: {
            const std::string bytes = Bytes(random() % 3000, static_cast<uint32_t>(random()));
            s->WriteBuffer(bytes.data(), bytes.size());
            if (!bytes.empty()) {
              if (pos + static_cast<int64_t>(bytes.size()) > size) model.resize(static_cast<size_t>(pos) + bytes.size(), '\0');
              model.replace(static_cast<size_t>(pos), bytes.size(), bytes);
            }
            pos += static_cast<int64_t>(bytes.size());
            break;
          }
          case 2: {
            const size_t n = random() % 2000;
            std::string got(n, '\0');
            got.resize(s->Read(got.data(), n));
            const std::string want = pos >= size ? "" : model.substr(static_cast<size_t>(pos), n);
            ASSERT_TRUE(got == want) << op;
            pos += static_cast<int64_t>(got.size());
            break;
          }
          case 3: {
            if (random() % 4 != 0) break;  // rarer: keeps values growing
            blob.Truncate();
            model.resize(static_cast<size_t>(pos), '\0');
            break;
          }
          case 4: {
            const int64_t to = static_cast<int64_t>(random() % static_cast<uint32_t>(size + 100));
            s->SetSize(to);
            model.resize(static_cast<size_t>(to), '\0');
            pos = std::min(pos, to);
            break;
          }
        }
        ASSERT_EQ(s->Position(), pos);
        ASSERT_EQ(s->Size(), static_cast<int64_t>(model.size()));
      }
    }
    t.Post();
    ASSERT_TRUE(t.FieldByName("note").AsString() == model) << round;
  }
  t.Close();
  EXPECT_TRUE(Open().FieldByName("note").AsString() == model);
}

}  // namespace
}  // namespace tovenmarsh::dataset

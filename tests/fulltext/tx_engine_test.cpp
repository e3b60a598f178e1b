// The engine base: property rules, the state broadcast, word parsing with pair entries, the
// stored-properties stream (the application's settings written and read back exactly, a reader
// that refuses every damaged or cut stream), and reading a word's bits through a words link.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fulltext/filer.h"
#include "fulltext/message_pump.h"
#include "fulltext/tx_bits.h"
#include "fulltext/tx_engine.h"
#include "fulltext/tx_utils.h"

namespace tovenmarsh::fulltext {
namespace {

std::vector<std::string>* gLog = nullptr;
void Log(const std::string& entry) {
  if (gLog != nullptr) gLog->push_back(entry);
}

class StubTextLink : public TtxTextLink {
 public:
  StubTextLink(int32_t low, int32_t high) : low_(low), high_(high) { stateMask_ |= StateOf(esVerifying); }
  void StateEntered(TtxEngine&, int bit) override { Log("text+" + std::to_string(bit)); }
  void StateLeft(TtxEngine&, int bit) override { Log("text-" + std::to_string(bit)); }

 protected:
  int32_t FindLowestIndex() override { return low_; }
  int32_t FindHighestIndex() override { return high_; }
  int32_t low_, high_;
};

struct Row {
  std::string word;
  int32_t segment;
  std::vector<uint8_t> data;  // the record without its stamp
};

class StubWordsLink : public TtxWordsLink {
 public:
  void StateEntered(TtxEngine&, int bit) override {
    Log("words+" + std::to_string(bit));
    if (failOnEnter) throw std::runtime_error("part failed");
  }
  void StateLeft(TtxEngine&, int bit) override { Log("words-" + std::to_string(bit)); }
  void ReadProperties(platform::TStream& stream) override {
    ++propertyReads;
    stream.WriteString(properties);
  }
  void WriteProperties(platform::TStream& stream) override {
    stream.SetPosition(0);
    properties.assign(static_cast<size_t>(stream.Size()), '\0');
    stream.ReadBuffer(properties.data(), properties.size());
  }
  bool Locate(const std::string& word, int32_t, bool) override {
    for (current = 0; current < rows.size(); ++current)
      if (rows[current].word == word) return true;
    return false;
  }
  bool Next() override { return ++current < rows.size(); }
  std::string Word() override { return current < rows.size() ? rows[current].word : ""; }
  int32_t Segment() override { return rows[current].segment; }
  int32_t ReadBits(uint8_t* buffer, size_t length) override {
    const auto& d = rows[current].data;
    if (d.size() > length - 4) throw std::runtime_error("too small");
    std::copy(d.begin(), d.end(), buffer + 4);
    return static_cast<int32_t>(d.size());
  }

  std::string properties;
  int propertyReads = 0;
  bool failOnEnter = false;
  std::vector<Row> rows;
  size_t current = 0;
};

class StubCache : public TtxBaseCache {
 public:
  StubCache() { stateMask_ |= StateOf(esCollecting); }
  void StateEntered(TtxEngine&, int bit) override { Log("cache+" + std::to_string(bit)); }
  void StateLeft(TtxEngine&, int bit) override { Log("cache-" + std::to_string(bit)); }
};

class RecordingEngine : public TtxReadEngine {
 public:
  std::vector<std::string> words;

 protected:
  void ProcessWord(const std::string& word) override { words.push_back(word); }
};

class BuildEngine : public TtxEngine {
 public:
  BuildEngine() { stateMask_ |= StateOf(esCollecting) | StateOf(esWriting); }
  bool IsBuildEngine() const override { return true; }
};

struct Wired {
  StubTextLink text{10, 109};
  StubWordsLink words;
  StubCache cache;
  template <class E>
  void Wire(E& e) {
    e.SetTextLink(&text);
    e.SetWordsLink(&words);
    e.SetCache(&cache);
  }
};

TEST(TtxEngine, PropertyRules) {
  RecordingEngine e;
  BuildEngine b;
  EXPECT_EQ(e.Version(), 2.09);
  e.SetSegmentSize(100);
  EXPECT_EQ(e.SegmentSize(), 112);
  for (int32_t v : {0, -5, 2147483633}) {
    e.SetSegmentSize(v);
    EXPECT_EQ(e.SegmentSize(), TtxEngine::kUnsegmented) << v;
  }
  e.SetSegmentSize(2147483632);
  EXPECT_EQ(e.SegmentSize(), 2147483632);
  e.SetMinWordLen(3);
  e.SetMinWordLen(0);
  e.SetMinWordLen(-2);
  EXPECT_EQ(e.MinWordLen(), 3);
  try {
    e.SetAnsi(false);
    FAIL();
  } catch (const ETextIndex& x) {
    EXPECT_EQ(x.Message(), "ReadOnly property");
  }
  b.SetAnsi(false);
  EXPECT_FALSE(b.Ansi());
  std::vector<std::string> many(501, "w");
  EXPECT_THROW(b.SetOmitList(many), ETextIndex);
  e.SetOmitList(many);  // only the build engine is limited
  many.pop_back();
  b.SetOmitList(many);

  // Delimiters.
  EXPECT_EQ(e.WordDelims(), kDefaultWordDelims);
  EXPECT_EQ(e.Delimiters().count(), 36u);
  e.SetWordDelims("<<<");
  EXPECT_EQ(e.Delimiters().count(), 33u);
  EXPECT_TRUE(e.Delimiters().test(0) && e.Delimiters().test(31) && e.Delimiters().test('<'));
  e.SetWordDelims(">>>x");
  EXPECT_EQ(e.Delimiters().count(), 128u + 2u);
  e.SetWordDelims("");
  EXPECT_EQ(e.WordDelims(), kDefaultWordDelims);
  const char* app = "<<< ,.;:?![]{}()<>/+*=\\|&#%$^^~`\"";
  EXPECT_EQ(std::string(app).size(), 33u);
  e.SetWordDelims(app);
  EXPECT_EQ(e.WordDelims(), app);
}

TEST(TtxEngine, StateBroadcastOrderAndMasks) {
  std::vector<std::string> log;
  gLog = &log;
  Wired w;
  BuildEngine e;
  w.Wire(e);
  int changes = 0;
  e.OnStateChange = [&changes](TtxEngine&, TEngineState) { ++changes; };
  e.SetState(StateOf(esBuilding) | StateOf(esCollecting));
  EXPECT_EQ(log, (std::vector<std::string>{"words+0", "text+0", "cache+0", "cache+1"}));
  EXPECT_EQ(e.Bits().Size(), 100);  // the bits object sized itself from the text link
  EXPECT_GE(e.WorkBufferSize(), static_cast<size_t>(e.Bits().MaxPackedSize()));
  EXPECT_EQ(e.WorkBufferSize() % 16, 0u);
  log.clear();
  e.SetState(StateOf(esBuilding) | StateOf(esCollecting));  // the same state fires nothing
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(changes, 1);
  e.SetState(StateOf(esWriting));
  EXPECT_EQ(log, (std::vector<std::string>{"words+2", "cache-0", "words-0", "text-0", "cache-1"}));
  EXPECT_EQ(e.Bits().Size(), 1);  // leaving the build shrinks the bits
  log.clear();
  e.SetState(StateOf(esWriting) | StateOf(esVerifying));  // not in the engine's mask
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(changes, 3);

  // The new state holds even when a part raises.
  w.words.failOnEnter = true;
  EXPECT_THROW(e.SetState(StateOf(esUpdating)), std::runtime_error);
  EXPECT_EQ(e.State(), StateOf(esUpdating));
  e.Abort();
  EXPECT_TRUE(e.Aborted());
  gLog = nullptr;
}

TEST(TtxEngine, IndexValuesAndSegments) {
  Wired w;
  RecordingEngine e;
  w.Wire(e);
  e.SetSegmentSize(100);  // 112
  e.SetIndexValue(10);
  EXPECT_EQ(e.CurrentSegment(), 0);
  EXPECT_EQ(e.BitNumber(), 0);
  e.SetIndexValue(130);
  EXPECT_EQ(e.CurrentSegment(), 1);
  EXPECT_EQ(e.BitNumber(), 8);
  // Below the lowest value (10), also exactly one segment below it (bit 0 of segment -1).
  for (const int32_t below : {5, 10 - 112, 10 - 2 * 112}) {
    try {
      e.SetIndexValue(below);
      FAIL() << below;
    } catch (const ETextIndex& x) {
      EXPECT_EQ(x.Code(), txeInvalidParameter) << below;
    }
  }
  EXPECT_EQ(e.CurrentSegment(), 1);  // a refused value changes nothing
}

TEST(TtxEngine, ParsingWithPairEntries) {
  Wired w;
  RecordingEngine e;
  w.Wire(e);
  TStoredProperties p = e.StoredProperties();
  p.pairFlag = true;
  e.ApplyStoredProperties(p);
  e.StartField();
  e.ParseString("red, green\r\nblue");
  e.StartField();
  e.ParseString("yellow");
  EXPECT_EQ(e.words, (std::vector<std::string>{"RED", "GREEN", ".REDGREEN.", "BLUE", ".GREENBLUE.", "YELLOW"}));

  // Too short or vetoed words are not indexed but still pair with the next one.
  e.words.clear();
  e.SetMinWordLen(3);
  e.OnAcceptWord = [](TtxEngine&, const std::string& word, bool& accept) { accept = word != "BAD"; };
  e.StartField();
  e.ParseString("ab bad cde");
  EXPECT_EQ(e.words, (std::vector<std::string>{".ABBAD.", "CDE", ".BADCDE."}));

  // Long pairs are cut to fit the key field; words to the key field size.
  EXPECT_EQ(e.MakePairKey("ABCDEFGHIJ", "KLMNOPQRST"), ".ABCDEFGHIKLMNOPQRS.");
  EXPECT_EQ(e.MakePairKey("AB", "CD"), ".ABCD.");
  e.words.clear();
  e.OnAcceptWord = nullptr;
  e.StartField();
  e.AddWord(std::string(30, 'z'), true);
  EXPECT_EQ(e.words, (std::vector<std::string>{std::string(20, 'Z')}));

  // An own tokenizer replaces NextWord; one that makes no progress cannot hang the parse.
  e.words.clear();
  e.OnParseWord = [](TtxEngine&, const char*& pos, size_t& remaining, std::string& word, bool) {
    word.assign(pos, 4);
    pos += 4;
    remaining -= 4;
  };
  e.StartField();
  e.ParseString("abcdefgh");
  EXPECT_EQ(e.words, (std::vector<std::string>{"ABCD", "EFGH", ".ABCDEFGH."}));
  e.OnParseWord = [](TtxEngine&, const char*&, size_t&, std::string&, bool) {};
  e.ParseString("stuck");
}

// The parser against a model: NextWord over an upper-cased copy, words cut to the key size.
// Random texts of word bytes, delimiters and Latin-1 letters, with words longer than the
// tokenizer's limit; an engine that stops wanting words gets exactly the model's first ones.
class StoppingEngine : public RecordingEngine {
 public:
  size_t limit = SIZE_MAX;
  bool WantsWords() const override { return words.size() < limit; }
};

TEST(TtxEngine, ParsedWordsMatchTheTokenizerModel) {
  Wired w;
  StoppingEngine e;
  w.Wire(e);
  uint32_t seed = 12345;
  const auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  const std::string alphabet = "abcXYZ019 ,.\r\n\t-_\xe9\xc0\xff\x01";
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const size_t length = next() % 200;
    for (size_t i = 0; i < length; ++i) {
      // Now and then a run far longer than the longest word handed out.
      if (next() % 50 == 0) text.append(45 + next() % 10, 'q');
      else text.push_back(alphabet[next() % alphabet.size()]);
    }
    std::string mapped = text;
    UpperMap(mapped);
    std::vector<std::string> model;
    const char* position = mapped.data();
    size_t remaining = mapped.size();
    for (;;) {
      std::string word = NextWord(position, remaining, kMaxParsedWordLength, e.Delimiters());
      if (word.empty()) break;
      if (word.size() > 20) word.resize(20);  // the stub words table's key size
      model.push_back(word);
    }
    e.words.clear();
    e.limit = round % 3 == 0 ? next() % 4 : SIZE_MAX;
    e.StartField();
    e.ParseString(text);
    if (model.size() > e.limit) model.resize(e.limit);
    ASSERT_EQ(e.words, model) << "round " << round << ": " << text;
  }
}

// The stored properties of the application's index, as the build writes them.
TStoredProperties ApplicationSettings() {
  TStoredProperties p;
  p.fieldNames = {"description", "to", "from", "replyto", "fromdomain", "content"};
  p.indexFieldName = "no";
  p.minWordLen = 3;
  p.omitWords = {};
  p.segmentSize = 0;
  p.wordDelims = "<<< ,.;:?![]{}()<>/+*=\\|&#%$^^~`\"";
  p.ansi = false;
  p.pairFlag = false;
  p.hasPairFlag = true;
  return p;
}

TEST(StoredProperties, ApplicationSettingsRoundTrip) {
  Wired built;
  BuildEngine build;
  built.Wire(build);
  built.text.SetFieldNames(ApplicationSettings().fieldNames);
  built.text.SetIndexFieldName("no");
  build.SetAnsi(false);
  build.SetMinWordLen(3);
  build.SetWordDelims(ApplicationSettings().wordDelims);
  build.SetOmitList({"the", "\xE9t\xE9"});
  platform::TMemoryStream stream;
  build.WriteProperties(stream);
  built.words.WriteProperties(stream);

  // Tagged values, integers in their shortest width.
  const std::string& bytes = built.words.properties;
  EXPECT_EQ(bytes.substr(0, 5), std::string("\x03\x2A\x08\x02\x20", 5));
  EXPECT_EQ(bytes.substr(5, 14), std::string("\x01\x06\x0B" "description", 14));

  // A search engine reads them (Ansi included: stored values are not refused by setters).
  Wired searched;
  searched.words.properties = bytes;
  RecordingEngine search;
  searched.Wire(search);
  search.ReadProperties();
  search.ReadProperties();  // read once per opened words table
  EXPECT_EQ(searched.words.propertyReads, 1);
  EXPECT_EQ(search.StoredVersion(), kStoredPropertiesVersion);
  EXPECT_EQ(searched.text.FieldNames(), ApplicationSettings().fieldNames);
  EXPECT_EQ(searched.text.IndexFieldName(), "no");
  EXPECT_EQ(search.MinWordLen(), 3);
  EXPECT_FALSE(search.Ansi());
  EXPECT_FALSE(search.Segmented());
  EXPECT_EQ(search.WordDelims(), ApplicationSettings().wordDelims);
  EXPECT_EQ(search.OmitList(), (std::vector<std::string>{"THE", "\xC9T\xC9"}));
  EXPECT_FALSE(search.PairFlag());

  // Writing what was read gives the same bytes; the parsed form matches field by field.
  platform::TMemoryStream again;
  search.WriteProperties(again);
  EXPECT_EQ(again.Bytes(), bytes);
  platform::TMemoryStream plain;
  WriteStoredProperties(plain, ApplicationSettings());
  plain.SetPosition(0);
  EXPECT_EQ(ReadStoredProperties(plain), ApplicationSettings());

  // A reset makes the next read engine read them again.
  search.Reset();
  search.ReadProperties();
  EXPECT_EQ(searched.words.propertyReads, 2);

  // An empty stream changes nothing.
  platform::TMemoryStream empty;
  search.SetMinWordLen(7);
  search.ReadProperties(empty);
  EXPECT_EQ(search.MinWordLen(), 7);
}

TEST(StoredProperties, OlderVersions) {
  auto write = [](int32_t version, bool withPair) {
    platform::TMemoryStream s;
    TFilerWriter w(s);
    w.WriteInteger(version);
    w.WriteInteger(32);
    w.WriteListBegin();
    w.WriteString("body");
    w.WriteListEnd();
    if (version == 200) w.WriteBoolean(true);  // the extra flag of that version
    w.WriteString("id");
    w.WriteInteger(2);
    w.WriteListBegin();
    w.WriteListEnd();
    w.WriteInteger(1000);
    w.WriteString("");
    w.WriteBoolean(true);
    if (withPair) w.WriteBoolean(true);
    s.SetPosition(0);
    return ReadStoredProperties(s);
  };
  const auto v200 = write(200, false);
  ASSERT_TRUE(v200);
  EXPECT_EQ(v200->indexFieldName, "id");
  EXPECT_FALSE(v200->hasPairFlag);
  const auto v2040 = write(2040, true);
  ASSERT_TRUE(v2040);
  EXPECT_TRUE(v2040->pairFlag);
  Wired w;
  RecordingEngine e;
  w.Wire(e);
  e.ApplyStoredProperties(*v2040);
  EXPECT_EQ(e.SegmentSize(), 1008);
  EXPECT_EQ(e.WordDelims(), kDefaultWordDelims);  // empty means the default
  EXPECT_TRUE(e.PairFlag());
}

// Every cut and many damaged versions of the stream are refused without touching the engine.
TEST(StoredProperties, ReaderIsBoundsChecked) {
  platform::TMemoryStream full;
  TStoredProperties p = ApplicationSettings();
  p.omitWords = {"A", std::string(300, 'L')};  // a long string (4-byte length)
  WriteStoredProperties(full, p);
  const std::string bytes = full.Bytes();
  for (size_t cut = 1; cut < bytes.size(); ++cut) {
    platform::TStringStream s(bytes.substr(0, cut));
    Wired w;
    RecordingEngine e;
    w.Wire(e);
    EXPECT_THROW(e.ReadProperties(s), platform::EReadError) << cut;
    EXPECT_EQ(e.MinWordLen(), 1);
    EXPECT_TRUE(w.text.FieldNames().empty());
  }
  // A long string's length far beyond the stream.
  std::string huge = bytes;
  const size_t at = huge.find(std::string("\x0C\x2C\x01\x00\x00", 5));
  ASSERT_NE(at, std::string::npos);
  huge[at + 4] = '\x7F';
  platform::TStringStream s(huge);
  EXPECT_THROW(ReadStoredProperties(s), platform::EReadError);
  // Wrong tags.
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string bad = bytes;
    bad[i] = '\x05';
    platform::TStringStream t(bad);
    try {
      ReadStoredProperties(t);
    } catch (const platform::EReadError&) {
    }
  }
}

TEST(Filer, TaggedValues) {
  const struct { int32_t value; std::string bytes; } ints[] = {
      {0, std::string("\x02\x00", 2)}, {127, "\x02\x7F"}, {-128, "\x02\x80"},
      {128, std::string("\x03\x80\x00", 3)}, {-32768, std::string("\x03\x00\x80", 3)},
      {32768, std::string("\x04\x00\x80\x00\x00", 5)}, {INT32_MIN, std::string("\x04\x00\x00\x00\x80", 5)},
  };
  for (const auto& c : ints) {
    platform::TMemoryStream s;
    TFilerWriter(s).WriteInteger(c.value);
    EXPECT_EQ(s.Bytes(), c.bytes) << c.value;
    s.SetPosition(0);
    EXPECT_EQ(TFilerReader(s).ReadInteger(), c.value);
  }
  platform::TMemoryStream s;
  TFilerWriter w(s);
  w.WriteString(std::string(255, 'a'));
  w.WriteString(std::string(256, 'b'));
  w.WriteBoolean(false);
  w.WriteBoolean(true);
  w.WriteListBegin();
  w.WriteListEnd();
  EXPECT_EQ(s.Bytes().substr(0, 2), "\x06\xFF");
  EXPECT_EQ(s.Bytes().substr(257, 5), std::string("\x0C\x00\x01\x00\x00", 5));
  EXPECT_EQ(s.Bytes().substr(s.Bytes().size() - 4), std::string("\x08\x09\x01\x00", 4));
  s.SetPosition(0);
  TFilerReader r(s);
  EXPECT_EQ(r.ReadString().size(), 255u);
  EXPECT_THROW(r.ReadInteger(), platform::EReadError);  // a string is no integer
}

TEST(TtxReadEngine, ReadWordBitsUnsegmentedAndSegmented) {
  auto packed = [](int32_t size, std::initializer_list<int32_t> bits) {
    TtaBits set(size - 1);
    for (int32_t b : bits) set.SetBit(b);
    std::vector<uint8_t> record(static_cast<size_t>(set.MaxPackedSize()));
    record.resize(static_cast<size_t>(set.Pack(record.data())));
    return std::vector<uint8_t>(record.begin() + 4, record.end());
  };
  Wired w;
  RecordingEngine e;
  w.Wire(e);
  e.SetState(StateOf(esSearching));  // sizes the bits to the 100 documents
  w.words.rows = {{"RED", 0, packed(100, {1, 50, 99})}};
  ASSERT_TRUE(w.words.Locate("RED", -1, false));
  e.ReadWordBits();
  EXPECT_EQ(e.Bits().Count(), 3);
  EXPECT_TRUE(e.Bits().TestBit(99));

  w.words.SetSegmented(true);
  e.SetSegmentSize(32);
  w.words.rows = {{"BLUE", 0, packed(32, {0, 31})}, {"BLUE", 2, packed(32, {5})}, {"GREEN", 0, packed(32, {7})}};
  ASSERT_TRUE(w.words.Locate("BLUE", -1, false));
  e.ReadWordBits();
  EXPECT_EQ(e.Bits().Count(), 3);
  EXPECT_TRUE(e.Bits().TestBit(0) && e.Bits().TestBit(31) && e.Bits().TestBit(69));
  EXPECT_FALSE(e.Bits().TestBit(7));
  EXPECT_EQ(w.words.Word(), "GREEN");
}

// A link that reports more bytes than the buffer holds (or a negative count) is refused before
// the record is read, instead of unpacking past the end of the work buffer.
TEST(TtxReadEngine, ReadWordBitsRefusesALengthBeyondTheBuffer) {
  class MiscountingLink : public StubWordsLink {
   public:
    int32_t claimed = 0;
    int32_t ReadBits(uint8_t* buffer, size_t length) override {
      StubWordsLink::ReadBits(buffer, length);
      return claimed;
    }
  };
  StubTextLink text{10, 109};
  MiscountingLink words;
  RecordingEngine e;
  e.SetTextLink(&text);
  e.SetWordsLink(&words);
  e.SetState(StateOf(esSearching));
  TtaBits set(99);
  set.SetBit(3);
  std::vector<uint8_t> record(static_cast<size_t>(set.MaxPackedSize()));
  record.resize(static_cast<size_t>(set.Pack(record.data())));
  // The stored size field claims far more than the row holds.
  PutRecordInt(record.data(), kRecSizeAt, 1 << 20);
  words.rows = {{"RED", 0, std::vector<uint8_t>(record.begin() + 4, record.end())}};
  const struct {
    int32_t claimed;
    int code;
  } cases[] = {{1 << 20, txeDecompressBufferTooSmall}, {-8, txeInconsistentBlobSize}};
  for (const auto& c : cases) {
    words.claimed = c.claimed;
    for (const bool segmented : {false, true}) {
      words.SetSegmented(segmented);
      ASSERT_TRUE(words.Locate("RED", -1, false));
      try {
        e.ReadWordBits();
        ADD_FAILURE() << c.claimed << " segmented " << segmented;
      } catch (const ETextIndex& x) {
        EXPECT_EQ(x.Code(), c.code) << c.claimed;
      }
    }
  }
}

TEST(MessagePump, IsANoOpUntilAHookIsInstalled) {
  ProcessMessages();
  int calls = 0;
  auto previous = SetMessagePump([&calls] { ++calls; });
  ProcessMessages();
  ProcessMessages();
  EXPECT_EQ(calls, 2);
  SetMessagePump(previous);
  ProcessMessages();
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace tovenmarsh::fulltext

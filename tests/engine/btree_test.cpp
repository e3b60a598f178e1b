// B+-tree: golden split points, free-page reuse, and a random-operation model check of all
// four leaf packings, unique and non-unique, against std::multimap; the inline bytewise key
// comparison against memcmp.
#include "engine/store/btree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>

namespace tovenmarsh::engine {
namespace {

using namespace index_format;

struct ECorruptPage : std::runtime_error {
  ECorruptPage() : std::runtime_error("index page buffers corrupt") {}
};

// Pages in memory with the index file's free-list rules; every page ever made stays listed
// so that the test can check that each one is reachable or free.
class TMemoryPageStore : public TPageStore {
 public:
  explicit TMemoryPageStore(TIndexShape shape) : shape_(shape) {}

  TPage* FetchPage(uint32_t offset) override {
    if (offset == 0 || offset % kPageSize != 0 || offset >= end_) RaiseCorrupt();
    TPage* page = pages_.at(offset).get();
    ++page->Pins;
    return page;
  }
  void ReleasePage(TPage* page) override {
    ASSERT_GT(page->Pins, 0);
    --page->Pins;
  }
  TPage* NewPage() override {
    TPage* page;
    if (freeHead_ != 0) {
      page = pages_.at(freeHead_).get();
      if (!page->Free) RaiseCorrupt();
      freeHead_ = page->Next;
    } else {
      auto fresh = std::make_unique<TPage>();
      page = fresh.get();
      fresh->Offset = end_;
      pages_[end_] = std::move(fresh);
      end_ += kPageSize;
    }
    const uint32_t offset = page->Offset;
    const int pins = page->Pins;
    page->Setup(shape_);
    page->Offset = offset;
    page->Pins = pins + 1;
    page->Dirty = true;
    return page;
  }
  void FreePage(TPage* page) override {
    const uint32_t offset = page->Offset;
    const int pins = page->Pins;
    page->Setup(shape_);
    page->Offset = offset;
    page->Pins = pins;
    page->Free = true;
    page->Next = freeHead_;
    page->Dirty = true;
    freeHead_ = offset;
  }
  void MarkDirty(TPage* page) override { page->Dirty = true; }
  uint32_t RootOffset() override { return root_; }
  void SetRootOffset(uint32_t offset) override { root_ = offset; }
  const TIndexShape& Shape() override { return shape_; }
  [[noreturn]] void RaiseCorrupt() override { throw ECorruptPage(); }

  uint32_t EndOffset() const { return end_; }
  uint32_t FreeHead() const { return freeHead_; }
  TPage& Page(uint32_t offset) { return *pages_.at(offset); }
  const std::map<uint32_t, std::unique_ptr<TPage>>& Pages() const { return pages_; }

 private:
  TIndexShape shape_;
  std::map<uint32_t, std::unique_ptr<TPage>> pages_;
  uint32_t end_ = kHeaderSize;
  uint32_t root_ = 0;
  uint32_t freeHead_ = 0;
};

using TKey = std::vector<uint8_t>;

TKey NumberKey(uint32_t k, uint32_t n) {
  TKey key(k, 0);
  for (uint32_t i = 0; i < 4 && i < k; ++i) key[i] = static_cast<uint8_t>(n >> (24 - 8 * i));
  return key;
}

// Checks everything the tree promises against the model: structure, order, counts, links,
// pages accounted for, ranks, packing round trips, no pins left.
void CheckAgainstModel(TMemoryPageStore& store, TBTree& tree, const std::multimap<TKey, uint32_t>& model,
                       std::mt19937& rng) {
  std::vector<uint32_t> reached;
  int64_t records = -1;
  const std::string fault = tree.Verify(&reached, &records);
  ASSERT_EQ(fault, "");
  ASSERT_EQ(records, static_cast<int64_t>(model.size()));

  // Every page is in the tree or on the one free list, never both, never twice.
  std::set<uint32_t> accounted(reached.begin(), reached.end());
  ASSERT_EQ(accounted.size(), reached.size());
  for (uint32_t f = store.FreeHead(); f != 0; f = store.Page(f).Next) {
    ASSERT_TRUE(store.Page(f).Free);
    ASSERT_TRUE(accounted.insert(f).second) << "page " << f << " both reachable and free, or a free-list loop";
  }
  ASSERT_EQ(accounted.size(), store.Pages().size());

  // Leaf chain from the leftmost leaf equals the model in order.
  if (store.RootOffset() != 0) {
    uint32_t off = store.RootOffset();
    while (!store.Page(off).IsLeaf()) off = store.Page(off).Reference(1);
    auto it = model.begin();
    uint32_t prev = 0;
    for (; off != 0; off = store.Page(off).Next) {
      TPage& leaf = store.Page(off);
      ASSERT_EQ(leaf.Prev, prev);
      for (int i = 1; i <= leaf.Count(); ++i, ++it) {
        ASSERT_NE(it, model.end());
        ASSERT_EQ(TKey(leaf.Key(i), leaf.Key(i) + leaf.KeySize()), it->first);
        ASSERT_EQ(leaf.Reference(i), it->second);
      }
      prev = off;
    }
    ASSERT_EQ(it, model.end());
  }

  // Sequence numbers equal ranks.
  if (!model.empty()) {
    std::vector<const std::pair<const TKey, uint32_t>*> sample;
    for (int s = 0; s < 20; ++s) {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      int64_t seq = 0;
      uint32_t rec = 0;
      ASSERT_EQ(tree.Find(it->first.data(), &rec, &seq), TBTree::kDone);
      ASSERT_EQ(rec, it->second);
      ASSERT_EQ(seq, std::distance(model.begin(), it) + 1);
      uint32_t atRec = 0;
      ASSERT_EQ(tree.AtSequence(seq, &atRec, nullptr), TBTree::kDone);
      ASSERT_EQ(atRec, rec);
    }
  }

  // Cursor positioning: seeks land where the model's bounds are, steps follow its order.
  for (int s = 0; s < 10; ++s) {
    TKey probe(store.Shape().KeySize, 0);
    if (!model.empty() && s % 2 == 0) {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      probe = it->first;
    } else {
      for (auto& b : probe) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : 'A' + rng() % 4);
    }
    const bool after = s % 3 == 0;
    TTreePosition at;
    ASSERT_EQ(tree.Seek(probe.data(), after, &at), TBTree::kDone);
    auto it = after ? model.upper_bound(probe) : model.lower_bound(probe);
    ASSERT_EQ(at.Sequence, std::distance(model.begin(), it) + 1);
    ASSERT_EQ(at.AtEnd(), it == model.end());
    for (int step = 0; step < 30 && it != model.end(); ++step) {
      ASSERT_FALSE(at.AtEnd());
      ASSERT_EQ(TKey(at.Key(), at.Key() + store.Shape().KeySize), it->first);
      ASSERT_EQ(at.RecordNumber(), it->second);
      ++it;
      const TBTree::TResult r = tree.Next(&at);
      ASSERT_EQ(r, it == model.end() ? TBTree::kNotFound : TBTree::kDone);
      if (r == TBTree::kNotFound) break;
    }
    if (!model.empty() && !at.AtEnd()) {
      const int64_t seq = at.Sequence;
      if (tree.Prior(&at) == TBTree::kDone) {
        ASSERT_EQ(at.Sequence, seq - 1);
        auto back = model.begin();
        std::advance(back, seq - 2);
        ASSERT_EQ(at.RecordNumber(), back->second);
      } else {
        ASSERT_EQ(seq, 1);
      }
    }
    if (!model.empty()) {
      const int64_t n = 1 + static_cast<int64_t>(rng() % model.size());
      ASSERT_EQ(tree.SeekSequence(n, &at), TBTree::kDone);
      auto nth = model.begin();
      std::advance(nth, n - 1);
      ASSERT_EQ(at.RecordNumber(), nth->second);
    }
  }

  // Stored form: every page packs into 4096 bytes and unpacks to the same entries.
  std::vector<uint8_t> bytes(kPageSize);
  for (const auto& [offset, page] : store.Pages()) {
    ASSERT_EQ(page->Pins, 0) << "page " << offset << " left pinned";
    ASSERT_TRUE(page->Pack(bytes.data())) << "page " << offset;
    TPage back;
    back.Setup(store.Shape());
    ASSERT_TRUE(back.Unpack(bytes.data())) << "page " << offset;
    ASSERT_EQ(back.Free, page->Free);
    ASSERT_EQ(back.Next, page->Next);
    if (page->Free) continue;
    ASSERT_EQ(back.Type, page->Type);
    ASSERT_EQ(back.Prev, page->Prev);
    ASSERT_EQ(back.Count(), page->Count());
    for (int i = 1; i <= page->Count(); ++i) {
      ASSERT_EQ(0, std::memcmp(back.Key(i), page->Key(i), page->KeySize()));
      ASSERT_EQ(back.Reference(i), page->Reference(i));
      if (!page->IsLeaf()) {
        ASSERT_EQ(back.EntryCount(i), page->EntryCount(i));
      }
    }
  }
}

struct TModelCase {
  uint8_t Compression;
  bool Unique;
  uint16_t KeySize;
  int Operations;
};

class BTreeModel : public ::testing::TestWithParam<TModelCase> {};

// Keys with long shared prefixes and runs of trailing zeros, so that every packing has work.
TKey MakeUserKey(std::mt19937& rng, uint32_t length, uint32_t range) {
  TKey key(length, 0);
  const uint32_t v = rng() % range;
  for (uint32_t i = 0; i < length && i < 3; ++i) key[i] = static_cast<uint8_t>('A' + i);
  const uint32_t at = length > 7 ? 3 : 0;
  for (uint32_t i = 0; i < 4 && at + i < length; ++i) key[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  const uint32_t tailStart = at + 4;
  if (tailStart < length) {
    const uint32_t filled = (v * 7) % (length - tailStart + 1);
    for (uint32_t i = 0; i < filled; ++i) key[tailStart + i] = static_cast<uint8_t>(1 + (v + i) % 250);
  }
  return key;
}

TEST_P(BTreeModel, RandomInsertsAndDeletesMatchMultimap) {
  const TModelCase c = GetParam();
  TIndexShape shape;
  shape.KeySize = c.KeySize;
  shape.Unique = c.Unique;
  shape.Compression = c.Compression;
  TMemoryPageStore store(shape);
  // The inline bytewise comparison that indexes of tables without a language use.
  TKeyOrder order;
  order.Bytewise = 1;
  TBTree tree(store, order);
  std::multimap<TKey, uint32_t> model;
  std::vector<TKey> live;  // the model's keys, for picking one at random
  std::mt19937 rng(1234 + c.Compression * 10 + c.Unique + c.KeySize);
  const uint32_t userLength = c.Unique ? c.KeySize : c.KeySize - kRecordIdSuffix;
  const uint32_t range = c.Unique ? 1000000 : 5000;
  uint32_t nextRecordId = 1;
  const int batch = 5000;
  for (int done = 0; done < c.Operations; done += batch) {
    // A cycle grows the tree, churns it, shrinks it and empties it.
    const int phase = (done / batch) % 8;
    const int insertPercent = phase < 4 ? 90 : (phase == 4 ? 50 : 10);
    for (int op = 0; op < batch; ++op) {
      if (static_cast<int>(rng() % 100) < insertPercent || live.empty()) {
        TKey key = MakeUserKey(rng, userLength, range);
        if (c.Unique && model.count(key)) continue;
        const uint32_t id = nextRecordId++;
        if (!c.Unique) {
          TKey suffix = NumberKey(4, id);
          key.insert(key.end(), suffix.begin(), suffix.end());
        }
        ASSERT_EQ(tree.Insert(key.data(), id), TBTree::kDone);
        model.emplace(key, id);
        live.push_back(key);
      } else {
        const size_t pick = rng() % live.size();
        std::swap(live[pick], live.back());
        ASSERT_EQ(tree.Delete(live.back().data()), TBTree::kDone);
        model.erase(model.find(live.back()));
        live.pop_back();
      }
    }
    if (phase == 7) {  // empty the tree completely once per cycle
      std::shuffle(live.begin(), live.end(), rng);
      for (const TKey& key : live) ASSERT_EQ(tree.Delete(key.data()), TBTree::kDone);
      live.clear();
      model.clear();
      ASSERT_EQ(store.RootOffset(), 0u);
    }
    ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(store, tree, model, rng)) << "after " << done + batch;
    // Absent keys are not found and not deleted.
    TKey absent(c.KeySize, 0xFF);
    ASSERT_EQ(tree.Delete(absent.data()), TBTree::kNotFound);
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllPackings, BTreeModel,
    ::testing::Values(TModelCase{kPackPlain, true, 10, 80000}, TModelCase{kPackPlain, true, 64, 80000},
                      TModelCase{kPackPlain, false, 68, 80000}, TModelCase{kPackLeading, true, 120, 80000},
                      TModelCase{kPackLeading, false, 120, 80000}, TModelCase{kPackTrailing, true, 120, 80000},
                      TModelCase{kPackTrailing, false, 120, 80000}, TModelCase{kPackBoth, true, 300, 80000},
                      TModelCase{kPackBoth, false, 300, 80000}, TModelCase{kPackBoth, false, 12, 80000},
                      TModelCase{kPackPlain, false, kMaxKeySize, 40000}),
    [](const ::testing::TestParamInfo<TModelCase>& info) {
      return "Mode" + std::to_string(info.param.Compression) + (info.param.Unique ? "Unique" : "NonUnique") +
             "K" + std::to_string(info.param.KeySize);
    });

// The inline comparison must order exactly as memcmp: every length around the 8-byte steps,
// the first difference at every position, bytes on both sides of 0x80, and reversed order.
TEST(KeyOrder, InlineBytewiseAgreesWithMemcmp) {
  auto sign = [](int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); };
  TKeyOrder ascending, descending;
  ascending.Bytewise = 1;
  descending.Bytewise = -1;
  std::mt19937 rng(99);
  for (uint32_t length = 1; length <= 40; ++length) {
    for (uint32_t at = 0; at <= length; ++at) {  // at == length: equal keys
      for (const auto& [x, y] : {std::pair{0x00, 0x01}, {0x7F, 0x80}, {0x80, 0xFF}, {0xFE, 0xFF}}) {
        TKey a(length), b;
        for (uint8_t& v : a) v = static_cast<uint8_t>(rng());
        b = a;
        if (at < length) {
          a[at] = static_cast<uint8_t>(x);
          b[at] = static_cast<uint8_t>(y);
          // Bytes after the first difference must not matter.
          for (uint32_t i = at + 1; i < length; ++i) b[i] = static_cast<uint8_t>(~a[i]);
        }
        const int expected = sign(std::memcmp(a.data(), b.data(), length));
        ASSERT_EQ(ascending(a.data(), b.data(), length), expected) << length << " " << at;
        ASSERT_EQ(ascending(b.data(), a.data(), length), -expected) << length << " " << at;
        ASSERT_EQ(descending(a.data(), b.data(), length), -expected) << length << " " << at;
        ASSERT_EQ(TKeyOrder{}(a.data(), b.data(), length), expected) << length << " " << at;
      }
    }
  }
}

// A page holds no counts while all of its entries' are 0 (leaves): the counts of node entries
// must still follow their entries through every move, into pages of either kind, and a page
// that gets its first count gives 0 to the entries it already had.
TEST(Page, EntryCountsFollowTheirEntriesThroughEveryMove) {
  using TEntries = std::vector<std::pair<uint32_t, int32_t>>;  // reference, count
  TIndexShape shape;
  shape.KeySize = 10;
  auto make = [&](const TEntries& entries) {
    TPage page;
    page.Setup(shape);
    for (const auto& [ref, count] : entries)
      page.InsertEntry(page.Count() + 1, NumberKey(10, ref).data(), ref, count);
    return page;
  };
  auto entries = [](const TPage& page) {
    TEntries out;
    for (int i = 1; i <= page.Count(); ++i) out.emplace_back(page.Reference(i), page.EntryCount(i));
    return out;
  };
  const TEntries counted = {{1, 5}, {2, 0}, {3, 7}, {4, 9}}, zero = {{11, 0}, {12, 0}}, none = {};
  struct TCase {
    const char* Name;
    TEntries From, To;
    bool Tail;  // MoveTailTo(3) (entries 3..) or MoveHeadTo(2) (entries 1..2)
  };
  const TCase cases[] = {
      {"counted tail into an empty page", counted, none, true},
      {"counted head into an empty page", counted, none, false},
      {"counted tail into a page without counts", counted, zero, true},
      {"counted head into a page without counts", counted, zero, false},
      {"tail without counts into a counted page", zero, counted, true},
      {"head without counts into a counted page", zero, counted, false},
      {"without counts into a page without counts", zero, zero, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TPage from = make(c.From), to = make(c.To);
    TEntries modelFrom = c.From, modelTo = c.To;
    if (c.Tail) {
      const size_t at = std::min<size_t>(2, modelFrom.size());
      modelTo.insert(modelTo.begin(), modelFrom.begin() + static_cast<ptrdiff_t>(at), modelFrom.end());
      modelFrom.erase(modelFrom.begin() + static_cast<ptrdiff_t>(at), modelFrom.end());
      from.MoveTailTo(static_cast<int>(at) + 1, to);
    } else {
      modelTo.insert(modelTo.end(), modelFrom.begin(), modelFrom.begin() + 2);
      modelFrom.erase(modelFrom.begin(), modelFrom.begin() + 2);
      from.MoveHeadTo(2, to);
    }
    EXPECT_EQ(entries(from), modelFrom);
    EXPECT_EQ(entries(to), modelTo);
    // A first count set later, and an entry inserted after it, leave the others as they were.
    to.SetEntryCount(1, 42);
    modelTo[0].second = 42;
    to.InsertEntry(2, NumberKey(10, 99).data(), 99, 0);
    modelTo.insert(modelTo.begin() + 1, {99, 0});
    from.FitEntries();
    to.DeleteEntry(to.Count());
    modelTo.pop_back();
    EXPECT_EQ(entries(from), modelFrom);
    EXPECT_EQ(entries(to), modelTo);
  }
}

TEST(BTree, LeafOfKeySizeTenSplits255Into128And128) {
  TIndexShape shape;
  shape.KeySize = 10;
  TMemoryPageStore store(shape);
  TBTree tree(store, TKeyOrder{});
  for (uint32_t i = 1; i <= 255; ++i) ASSERT_EQ(tree.Insert(NumberKey(10, i).data(), i), TBTree::kDone);
  EXPECT_EQ(store.Page(store.RootOffset()).Type, kRootLeaf);
  EXPECT_EQ(store.Page(store.RootOffset()).Count(), 255);
  ASSERT_EQ(tree.Insert(NumberKey(10, 256).data(), 256), TBTree::kDone);
  TPage& root = store.Page(store.RootOffset());
  ASSERT_EQ(root.Type, kRootNode);
  ASSERT_EQ(root.Count(), 2);
  EXPECT_EQ(store.Page(root.Reference(1)).Count(), 128);
  EXPECT_EQ(store.Page(root.Reference(2)).Count(), 128);
  EXPECT_EQ(store.Page(root.Reference(1)).Type, kLeaf);
  EXPECT_EQ(root.EntryCount(1), 128);
  EXPECT_EQ(root.EntryCount(2), 128);
  EXPECT_EQ(0, std::memcmp(root.Key(2), NumberKey(10, 129).data(), 10));
}

TEST(BTree, NonUniqueEqualKeysComeBackInRecordIdOrder) {
  TIndexShape shape;
  shape.KeySize = 6;
  shape.Unique = false;
  TMemoryPageStore store(shape);
  TBTree tree(store, TKeyOrder{});
  for (uint32_t id : {7u, 3u, 5u}) {
    TKey key = {0x01, 0x42};
    TKey suffix = NumberKey(4, id);
    key.insert(key.end(), suffix.begin(), suffix.end());
    ASSERT_EQ(tree.Insert(key.data(), id), TBTree::kDone);
  }
  TPage& leaf = store.Page(store.RootOffset());
  ASSERT_EQ(leaf.Count(), 3);
  EXPECT_EQ(leaf.Reference(1), 3u);
  EXPECT_EQ(leaf.Reference(2), 5u);
  EXPECT_EQ(leaf.Reference(3), 7u);
}

TEST(BTree, DeletingTheLastRecordFreesThePageAndTheNextInsertReusesIt) {
  TIndexShape shape;
  shape.KeySize = 8;
  TMemoryPageStore store(shape);
  TBTree tree(store, TKeyOrder{});
  ASSERT_EQ(tree.Insert(NumberKey(8, 1).data(), 1), TBTree::kDone);
  const uint32_t page = store.RootOffset();
  ASSERT_EQ(tree.Delete(NumberKey(8, 1).data()), TBTree::kDone);
  EXPECT_EQ(store.RootOffset(), 0u);
  EXPECT_EQ(store.FreeHead(), page);
  ASSERT_EQ(tree.Insert(NumberKey(8, 2).data(), 2), TBTree::kDone);
  EXPECT_EQ(store.RootOffset(), page);
  EXPECT_EQ(store.FreeHead(), 0u);
  EXPECT_EQ(store.EndOffset(), page + kPageSize);
}

TEST(BTree, LeadingCompressionHoldsFarMoreThanThePlainCapacity) {
  TIndexShape shape;
  shape.KeySize = 60;
  shape.Compression = kPackLeading;
  TMemoryPageStore store(shape);
  TBTree tree(store, TKeyOrder{});
  const uint32_t plain = LeafCapacity(60);  // 62
  uint32_t n = 0;
  while (n == 0 || store.Page(store.RootOffset()).Type == kRootLeaf) {
    TKey key(60, 'x');
    key[58] = static_cast<uint8_t>(n >> 8);
    key[59] = static_cast<uint8_t>(n);
    ASSERT_EQ(tree.Insert(key.data(), n + 1), TBTree::kDone);
    ++n;
  }
  // Each entry after the first packs to 2 + 2 + 4 bytes.
  EXPECT_GT(n, 4 * plain);
  std::vector<uint32_t> pages;
  int64_t records = 0;
  EXPECT_EQ(tree.Verify(&pages, &records), "");
  EXPECT_EQ(records, n);
}

TEST(BTree, DamagedTreeIsReportedNotFollowed) {
  TIndexShape shape;
  shape.KeySize = 10;
  TMemoryPageStore store(shape);
  TBTree tree(store, TKeyOrder{});
  for (uint32_t i = 1; i <= 1000; ++i) ASSERT_EQ(tree.Insert(NumberKey(10, i).data(), i), TBTree::kDone);
  TPage& root = store.Page(store.RootOffset());
  ASSERT_EQ(root.Type, kRootNode);
  // A child pointing back at the root: a loop.
  const uint32_t saved = root.Reference(1);
  root.SetReference(1, store.RootOffset());
  EXPECT_THROW(tree.Insert(NumberKey(10, 0).data(), 5000), ECorruptPage);
  std::vector<uint32_t> pages;
  int64_t records = 0;
  EXPECT_NE(tree.Verify(&pages, &records), "");
  root.SetReference(1, saved);
  EXPECT_EQ(tree.Verify(&pages, &records), "");
  // A wrong count beneath an entry.
  root.SetEntryCount(1, root.EntryCount(1) + 1);
  EXPECT_NE(tree.Verify(&pages, &records), "");
}

}  // namespace
}  // namespace tovenmarsh::engine

// B+-tree insertion with splits, deletion with merges and redistribution, counted searches and
// the structural verification walk.
#include "engine/store/btree.h"

#include <algorithm>
#include <map>
#include <set>

#include "platform/format.h"

namespace tovenmarsh::engine {

using namespace index_format;
using platform::Format;

TPageRef TBTree::Fetch(uint32_t offset) { return TPageRef(&store_, store_.FetchPage(offset)); }

TPageRef TBTree::FetchOrCorrupt(uint32_t offset) {
  TPageRef page = Fetch(offset);
  if (!page) store_.RaiseCorrupt();  // no retry while the writer lock is held
  return page;
}

void TBTree::CheckPageKind(const TPage& page, bool expectLeaf) {
  if (page.Free || page.Count() == 0 || page.IsRoot() || page.IsLeaf() != expectLeaf) store_.RaiseCorrupt();
}

bool TBTree::Descend(const uint8_t* key, TPath& path) {
  path.clear();
  uint32_t offset = store_.RootOffset();
  uint32_t parent = 0;
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxDepth) store_.RaiseCorrupt();
    TPageRef page = Fetch(offset);
    if (!page) {
      path.clear();
      return false;
    }
    if (page->Free || page->Count() == 0 || page->IsRoot() != (depth == 0)) store_.RaiseCorrupt();
    page->Parent = parent;
    if (page->IsLeaf()) {
      path.push_back({std::move(page), 0});
      return true;
    }
    const int pos = std::max(1, page->LastNotGreater(key, order_));
    parent = offset;
    offset = page->Reference(pos);
    path.push_back({std::move(page), pos});
  }
}

void TBTree::FixFirstKeyUpward(TPath& path, size_t level) {
  const uint32_t k = store_.Shape().KeySize;
  for (size_t l = level; l > 0; --l) {
    TPage& child = *path[l].Page;
    TPage& parent = *path[l - 1].Page;
    const int p = path[l - 1].Pos;
    if (child.Count() == 0 || std::memcmp(parent.Key(p), child.FirstKey(), k) == 0) break;
    parent.SetKey(p, child.FirstKey());
    store_.MarkDirty(&parent);
    if (p != 1) break;
  }
}

TBTree::TResult TBTree::Insert(const uint8_t* key, uint32_t recordNumber) {
  if (store_.RootOffset() == 0) {
    TPageRef page(&store_, store_.NewPage());
    page->Type = kRootLeaf;
    page->Prev = page->Next = 0;
    page->InsertEntry(1, key, recordNumber, 0);
    store_.MarkDirty(page.get());
    store_.SetRootOffset(page->Offset);
    return kDone;
  }
  TPath path;
  if (!Descend(key, path)) return kRetry;
  const size_t leafLevel = path.size() - 1;
  for (size_t l = 0; l < leafLevel; ++l) {
    TPage& node = *path[l].Page;
    node.SetEntryCount(path[l].Pos, node.EntryCount(path[l].Pos) + 1);
    store_.MarkDirty(&node);
  }
  TPage& leaf = *path[leafLevel].Page;
  const int at = leaf.LastNotGreater(key, order_) + 1;
  leaf.InsertEntry(at, key, recordNumber, 0);
  store_.MarkDirty(&leaf);
  path[leafLevel].Pos = at;
  if (at == 1) FixFirstKeyUpward(path, leafLevel);
  SplitUpward(path, leafLevel);
  return kDone;
}

void TBTree::SplitUpward(TPath& path, size_t level) {
  TPage& old = *path[level].Page;
  if (!old.Overflows()) return;
  const bool leaf = old.IsLeaf();
  const bool wasRoot = old.IsRoot();
  TPageRef fresh(&store_, store_.NewPage());
  const int n = old.Count();
  old.MoveTailTo(n - n / 2 + 1, *fresh);
  old.Type = fresh->Type = leaf ? kLeaf : kInnerNode;
  if (old.IsCompressedLeaf()) {
    // Move the split point one entry at a time until both halves pack into a page: towards the
    // new page while the old one is too big, back while the new one is; turning round means
    // the entries cannot be balanced.
    fresh->MoveHeadTo(fresh->Count(), old);
    std::vector<uint32_t> sizes;
    old.EntryPackedSizes(sizes);
    std::vector<uint64_t> prefix(sizes.size() + 1, 0);
    for (size_t i = 0; i < sizes.size(); ++i) prefix[i + 1] = prefix[i] + sizes[i];
    auto leftSize = [&](int m) { return prefix[m]; };
    auto rightSize = [&](int m) {  // entries m+1..n in a page of their own
      return prefix[n] - prefix[m + 1] + old.PackedSizeAsFirst(m + 1);
    };
    int m = n - n / 2;
    int direction = 0;
    for (;;) {
      const bool oldBig = leftSize(m) > kEntryArea;
      const bool newBig = rightSize(m) > kEntryArea;
      if (!oldBig && !newBig) break;
      if (oldBig && newBig) store_.RaiseCorrupt();
      if (oldBig) {
        if (direction < 0 || m <= 1) store_.RaiseCorrupt();
        direction = 1;
        --m;
      } else {
        if (direction > 0 || m >= n - 1) store_.RaiseCorrupt();
        direction = -1;
        ++m;
      }
    }
    old.MoveTailTo(m + 1, *fresh);
  }
  old.FitEntries();
  fresh->Prev = old.Offset;
  fresh->Next = old.Next;
  if (old.Next != 0) {
    TPageRef next = FetchOrCorrupt(old.Next);
    next->Prev = fresh->Offset;
    store_.MarkDirty(next.get());
  }
  old.Next = fresh->Offset;
  fresh->Parent = old.Parent;
  store_.MarkDirty(&old);
  store_.MarkDirty(fresh.get());
  if (wasRoot) {
    if (level != 0) store_.RaiseCorrupt();
    TPageRef root(&store_, store_.NewPage());
    root->Type = kRootNode;
    root->Prev = root->Next = 0;
    root->InsertEntry(1, old.FirstKey(), old.Offset, static_cast<int32_t>(old.RecordCount()));
    root->InsertEntry(2, fresh->FirstKey(), fresh->Offset, static_cast<int32_t>(fresh->RecordCount()));
    old.Parent = fresh->Parent = root->Offset;
    store_.MarkDirty(root.get());
    store_.SetRootOffset(root->Offset);
    return;
  }
  if (level == 0) store_.RaiseCorrupt();  // a split page without a parent
  TPage& parent = *path[level - 1].Page;
  const int p = path[level - 1].Pos;
  parent.SetEntryCount(p, static_cast<int32_t>(old.RecordCount()));
  parent.InsertEntry(p + 1, fresh->FirstKey(), fresh->Offset, static_cast<int32_t>(fresh->RecordCount()));
  store_.MarkDirty(&parent);
  SplitUpward(path, level - 1);
}

TBTree::TResult TBTree::Delete(const uint8_t* key) {
  if (store_.RootOffset() == 0) return kNotFound;
  TPath path;
  if (!Descend(key, path)) return kRetry;
  const size_t leafLevel = path.size() - 1;
  TPage& leaf = *path[leafLevel].Page;
  const int pos = leaf.LastNotGreater(key, order_);
  if (pos == 0 || order_(leaf.Key(pos), key, store_.Shape().KeySize) != 0) return kNotFound;
  for (size_t l = 0; l < leafLevel; ++l) {
    TPage& node = *path[l].Page;
    const int32_t c = node.EntryCount(path[l].Pos);
    if (c <= 0) store_.RaiseCorrupt();
    node.SetEntryCount(path[l].Pos, c - 1);
    store_.MarkDirty(&node);
  }
  path[leafLevel].Pos = pos;
  leaf.DeleteEntry(pos);
  store_.MarkDirty(&leaf);
  if (pos == 1) FixFirstKeyUpward(path, leafLevel);
  Rebalance(path, leafLevel);
  return kDone;
}

void TBTree::UnlinkAndFree(TPage& page) {
  if (page.Prev != 0) {
    TPageRef prev = FetchOrCorrupt(page.Prev);
    prev->Next = page.Next;
    store_.MarkDirty(prev.get());
  }
  if (page.Next != 0) {
    TPageRef next = FetchOrCorrupt(page.Next);
    next->Prev = page.Prev;
    store_.MarkDirty(next.get());
  }
  store_.FreePage(&page);
}

void TBTree::RemoveFromParent(TPath& path, size_t level) {
  if (level == 0) store_.RaiseCorrupt();
  TPage& parent = *path[level - 1].Page;
  const int p = path[level - 1].Pos;
  parent.DeleteEntry(p);
  store_.MarkDirty(&parent);
  if (p == 1 && parent.Count() > 0) FixFirstKeyUpward(path, level - 1);
  Rebalance(path, level - 1);
}

void TBTree::Rebalance(TPath& path, size_t level) {
  TPage& page = *path[level].Page;
  if (page.IsRoot()) {
    if (page.Count() == 0) {
      store_.FreePage(&page);
      store_.SetRootOffset(0);
    } else if (!page.IsLeaf() && page.Count() == 1) {
      TPageRef child = FetchOrCorrupt(page.Reference(1));
      if (child->Free || child->Count() == 0 || child->IsRoot()) store_.RaiseCorrupt();
      child->Type = child->IsLeaf() ? kRootLeaf : kRootNode;
      child->Prev = child->Next = 0;
      child->Parent = 0;
      store_.MarkDirty(child.get());
      store_.SetRootOffset(child->Offset);
      store_.FreePage(&page);
    }
    return;
  }
  if (level == 0) store_.RaiseCorrupt();
  if (page.IsCompressedLeaf()) {
    if (page.Count() == 0) {
      UnlinkAndFree(page);
      RemoveFromParent(path, level);
    }
    return;
  }
  const int cap = static_cast<int>(page.Capacity());
  if (page.Count() >= cap / 2) return;
  TPage& parent = *path[level - 1].Page;
  const int p = path[level - 1].Pos;
  const bool leaf = page.IsLeaf();
  if (p > 1) {
    TPageRef prev = FetchOrCorrupt(parent.Reference(p - 1));
    CheckPageKind(*prev, leaf);
    if (prev->Next != page.Offset || page.Prev != prev->Offset) store_.RaiseCorrupt();
    const int total = prev->Count() + page.Count();
    if (total < cap) {
      page.MoveHeadTo(page.Count(), *prev);
      parent.SetEntryCount(p - 1, static_cast<int32_t>(prev->RecordCount()));
      store_.MarkDirty(prev.get());
      store_.MarkDirty(&parent);
      UnlinkAndFree(page);
      RemoveFromParent(path, level);
      return;
    }
    const int keepPrev = (total + 1) / 2;
    if (prev->Count() > keepPrev) {
      prev->MoveTailTo(keepPrev + 1, page);
    } else if (prev->Count() < keepPrev) {
      page.MoveHeadTo(keepPrev - prev->Count(), *prev);
    }
    parent.SetEntryCount(p - 1, static_cast<int32_t>(prev->RecordCount()));
    parent.SetEntryCount(p, static_cast<int32_t>(page.RecordCount()));
    store_.MarkDirty(prev.get());
    store_.MarkDirty(&page);
    store_.MarkDirty(&parent);
    FixFirstKeyUpward(path, level);
    return;
  }
  if (parent.Count() > 1) {
    TPageRef next = FetchOrCorrupt(parent.Reference(2));
    CheckPageKind(*next, leaf);
    if (next->Prev != page.Offset || page.Next != next->Offset) store_.RaiseCorrupt();
    const int total = next->Count() + page.Count();
    if (total < cap) {
      page.MoveTailTo(1, *next);
      parent.SetKey(2, next->FirstKey());
      parent.SetEntryCount(2, static_cast<int32_t>(next->RecordCount()));
      store_.MarkDirty(next.get());
      store_.MarkDirty(&parent);
      UnlinkAndFree(page);
      RemoveFromParent(path, level);
      return;
    }
    const int keepThis = total / 2;
    if (page.Count() < keepThis) {
      next->MoveHeadTo(keepThis - page.Count(), page);
    } else if (page.Count() > keepThis) {
      page.MoveTailTo(keepThis + 1, *next);
    }
    parent.SetKey(2, next->FirstKey());
    parent.SetEntryCount(1, static_cast<int32_t>(page.RecordCount()));
    parent.SetEntryCount(2, static_cast<int32_t>(next->RecordCount()));
    store_.MarkDirty(next.get());
    store_.MarkDirty(&page);
    store_.MarkDirty(&parent);
    FixFirstKeyUpward(path, level);
    return;
  }
  // The only child of its parent (not seen in a sound tree): an empty page still leaves it.
  if (page.Count() == 0) {
    UnlinkAndFree(page);
    RemoveFromParent(path, level);
  }
}

TBTree::TResult TBTree::Find(const uint8_t* key, uint32_t* recordNumber, int64_t* sequence) {
  uint32_t offset = store_.RootOffset();
  if (offset == 0) return kNotFound;
  int64_t seq = 0;
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxDepth) store_.RaiseCorrupt();
    TPageRef page = Fetch(offset);
    if (!page) return kRetry;
    if (page->Free || page->Count() == 0) store_.RaiseCorrupt();
    if (page->IsLeaf()) {
      const int pos = page->LastNotGreater(key, order_);
      if (pos == 0 || order_(page->Key(pos), key, store_.Shape().KeySize) != 0) return kNotFound;
      if (recordNumber) *recordNumber = page->Reference(pos);
      if (sequence) *sequence = seq + pos;
      return kDone;
    }
    const int pos = std::max(1, page->LastNotGreater(key, order_));
    for (int i = 1; i < pos; ++i) seq += page->EntryCount(i);
    offset = page->Reference(pos);
  }
}

TBTree::TResult TBTree::Rank(const uint8_t* key, int64_t* sequence, bool after) {
  uint32_t offset = store_.RootOffset();
  int64_t seq = 0;
  if (offset == 0) {
    *sequence = 1;
    return kDone;
  }
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxDepth) store_.RaiseCorrupt();
    TPageRef page = Fetch(offset);
    if (!page) return kRetry;
    if (page->Free || page->Count() == 0) store_.RaiseCorrupt();
    const int wanted = after ? page->LastNotGreater(key, order_) + 1 : page->FirstNotBelow(key, order_);
    if (page->IsLeaf()) {
      *sequence = seq + wanted;
      return kDone;
    }
    // Equal keys may continue from the child before the first one wanted.
    const int pos = std::max(1, wanted - 1);
    for (int i = 1; i < pos; ++i) seq += page->EntryCount(i);
    offset = page->Reference(pos);
  }
}

TBTree::TResult TBTree::AtSequence(int64_t sequence, uint32_t* recordNumber, std::vector<uint8_t>* key) {
  uint32_t offset = store_.RootOffset();
  if (offset == 0 || sequence < 1) return kNotFound;
  int64_t rest = sequence;
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxDepth) store_.RaiseCorrupt();
    TPageRef page = Fetch(offset);
    if (!page) return kRetry;
    if (page->Free || page->Count() == 0) store_.RaiseCorrupt();
    if (page->IsLeaf()) {
      if (rest > page->Count()) return kNotFound;
      const int pos = static_cast<int>(rest);
      if (recordNumber) *recordNumber = page->Reference(pos);
      if (key) key->assign(page->Key(pos), page->Key(pos) + page->KeySize());
      return kDone;
    }
    int pos = 1;
    while (pos < page->Count() && rest > page->EntryCount(pos)) rest -= page->EntryCount(pos++);
    if (rest > page->EntryCount(pos)) return kNotFound;
    offset = page->Reference(pos);
  }
}

TBTree::TResult TBTree::RecordCount(int64_t* count) {
  const uint32_t offset = store_.RootOffset();
  *count = 0;
  if (offset == 0) return kDone;
  TPageRef page = Fetch(offset);
  if (!page) return kRetry;
  *count = page->RecordCount();
  return kDone;
}

TBTree::TResult TBTree::Seek(const uint8_t* key, bool after, TTreePosition* position) {
  uint32_t offset = store_.RootOffset();
  position->Leaf.Setup(store_.Shape());
  position->Pos = 1;
  position->Sequence = 1;
  if (offset == 0) return kDone;
  int64_t seq = 0;
  // The first entry above (after) or not below the key.
  auto firstWanted = [&](const TPage& page) {
    return after ? page.LastNotGreater(key, order_) + 1 : page.FirstNotBelow(key, order_);
  };
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxDepth) store_.RaiseCorrupt();
    TPageRef page = Fetch(offset);
    if (!page) return kRetry;
    if (page->Free || page->Count() == 0) store_.RaiseCorrupt();
    const int wanted = firstWanted(*page);
    if (page->IsLeaf()) {
      position->Leaf = *page;
      position->Leaf.Newer = position->Leaf.Older = nullptr;
      position->Leaf.Pins = 0;
      position->Pos = wanted;
      position->Sequence = seq + wanted;
      if (wanted > page->Count() && page->Next != 0) {
        // The entry wanted is the first of the next leaf.
        TPageRef next = Fetch(page->Next);
        if (!next) return kRetry;
        if (next->Free || next->Count() == 0 || !next->IsLeaf()) store_.RaiseCorrupt();
        position->Leaf = *next;
        position->Leaf.Newer = position->Leaf.Older = nullptr;
      position->Leaf.Pins = 0;
        position->Pos = 1;
      }
      return kDone;
    }
    const int pos = std::max(1, wanted - 1);
    for (int i = 1; i < pos; ++i) seq += page->EntryCount(i);
    offset = page->Reference(pos);
  }
}

TBTree::TResult TBTree::SeekSequence(int64_t sequence, TTreePosition* position) {
  uint32_t offset = store_.RootOffset();
  position->Leaf.Setup(store_.Shape());
  position->Pos = 1;
  position->Sequence = 1;
  if (offset == 0 || sequence < 1) return kNotFound;
  int64_t rest = sequence;
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxDepth) store_.RaiseCorrupt();
    TPageRef page = Fetch(offset);
    if (!page) return kRetry;
    if (page->Free || page->Count() == 0) store_.RaiseCorrupt();
    if (page->IsLeaf()) {
      if (rest > page->Count()) return kNotFound;
      position->Leaf = *page;
      position->Leaf.Newer = position->Leaf.Older = nullptr;
      position->Leaf.Pins = 0;
      position->Pos = static_cast<int>(rest);
      position->Sequence = sequence;
      return kDone;
    }
    int pos = 1;
    while (pos < page->Count() && rest > page->EntryCount(pos)) rest -= page->EntryCount(pos++);
    if (rest > page->EntryCount(pos)) return kNotFound;
    offset = page->Reference(pos);
  }
}

TBTree::TResult TBTree::Next(TTreePosition* position) {
  if (position->Leaf.Count() == 0) return kNotFound;
  if (position->Pos < position->Leaf.Count()) {
    ++position->Pos;
    ++position->Sequence;
    return kDone;
  }
  if (position->Leaf.Next == 0) return kNotFound;
  TPageRef next(&store_, store_.FetchPassing(position->Leaf.Next));
  if (!next) return kRetry;
  if (next->Free || next->Count() == 0 || !next->IsLeaf() || next->Prev != position->Leaf.Offset)
    store_.RaiseCorrupt();
  const bool fromEnd = position->Pos > position->Leaf.Count();
  position->Leaf = *next;
  position->Leaf.Newer = position->Leaf.Older = nullptr;
      position->Leaf.Pins = 0;
  position->Leaf.Pins = 0;
  position->Pos = fromEnd ? 2 : 1;
  ++position->Sequence;
  if (position->Pos > position->Leaf.Count()) return Next(position);
  return kDone;
}

TBTree::TResult TBTree::Prior(TTreePosition* position) {
  if (position->Leaf.Count() == 0) return kNotFound;
  if (position->Pos > 1) {
    position->Pos = std::min(position->Pos - 1, position->Leaf.Count());
    --position->Sequence;
    return kDone;
  }
  if (position->Leaf.Prev == 0) return kNotFound;
  TPageRef prior(&store_, store_.FetchPassing(position->Leaf.Prev));
  if (!prior) return kRetry;
  if (prior->Free || prior->Count() == 0 || !prior->IsLeaf() || prior->Next != position->Leaf.Offset)
    store_.RaiseCorrupt();
  position->Leaf = *prior;
  position->Leaf.Newer = position->Leaf.Older = nullptr;
      position->Leaf.Pins = 0;
  position->Pos = position->Leaf.Count();
  --position->Sequence;
  return kDone;
}

std::string TBTree::Verify(std::vector<uint32_t>* pages, int64_t* records) {
  const uint32_t k = store_.Shape().KeySize;
  pages->clear();
  *records = 0;
  const uint32_t root = store_.RootOffset();
  if (root == 0) return {};
  struct TLink {
    uint32_t Prev, Next;
  };
  std::map<uint32_t, TLink> links;
  std::vector<std::vector<uint32_t>> levels;
  std::set<uint32_t> seen;
  std::vector<uint8_t> lastLeafKey;
  int leafDepth = -1;
  std::string fault;

  // Depth-first, children in order, so every level's pages come out left to right.
  struct TWalker {
    TBTree& tree;
    uint32_t k;
    std::map<uint32_t, TLink>& links;
    std::vector<std::vector<uint32_t>>& levels;
    std::set<uint32_t>& seen;
    std::vector<uint8_t>& lastLeafKey;
    int& leafDepth;
    std::string& fault;
    std::vector<uint32_t>* pages;

    // Records beneath the page, or -1 after a fault.
    int64_t Walk(uint32_t offset, int depth, const uint8_t* parentKey) {
      if (depth >= kMaxDepth) return Fail(Format("tree deeper than %d at page %u", kMaxDepth, offset));
      if (!seen.insert(offset).second) return Fail(Format("page %u reached twice", offset));
      pages->push_back(offset);
      TPageRef page = tree.Fetch(offset);
      if (!page) return Fail("retry");
      if (page->Free || page->Count() == 0) return Fail(Format("empty or free page %u in the tree", offset));
      if (page->IsRoot() != (depth == 0)) return Fail(Format("page %u has type %d at depth %d", offset, page->Type, depth));
      if (parentKey && std::memcmp(parentKey, page->FirstKey(), k) != 0)
        return Fail(Format("parent key differs from the first key of page %u", offset));
      if (static_cast<int>(levels.size()) <= depth) levels.resize(depth + 1);
      levels[depth].push_back(offset);
      links[offset] = {page->Prev, page->Next};
      for (int i = 2; i <= page->Count(); ++i)
        if (tree.order_(page->Key(i - 1), page->Key(i), k) > 0)
          return Fail(Format("keys out of order in page %u at entry %d", offset, i));
      if (page->Overflows()) return Fail(Format("page %u holds more than fits", offset));
      if (page->IsLeaf()) {
        if (leafDepth < 0) leafDepth = depth;
        if (leafDepth != depth) return Fail(Format("leaf %u at depth %d, others at %d", offset, depth, leafDepth));
        if (!lastLeafKey.empty() && tree.order_(lastLeafKey.data(), page->FirstKey(), k) > 0)
          return Fail(Format("leaf %u starts below the previous leaf's last key", offset));
        lastLeafKey.assign(page->Key(page->Count()), page->Key(page->Count()) + k);
        return page->Count();
      }
      // Copy what is needed: the children's walk may evict this page from a small cache.
      const int n = page->Count();
      std::vector<uint8_t> keys(page->Key(1), page->Key(1) + static_cast<size_t>(n) * k);
      std::vector<uint32_t> children(n);
      std::vector<int32_t> counts(n);
      for (int i = 1; i <= n; ++i) {
        children[i - 1] = page->Reference(i);
        counts[i - 1] = page->EntryCount(i);
      }
      page.Reset();
      int64_t sum = 0;
      for (int i = 0; i < n; ++i) {
        const int64_t beneath = Walk(children[i], depth + 1, keys.data() + static_cast<size_t>(i) * k);
        if (beneath < 0) return -1;
        if (beneath != counts[i])
          return Fail(Format("entry %d of page %u counts %d records, %lld beneath", i + 1, offset, counts[i],
                             static_cast<long long>(beneath)));
        sum += beneath;
      }
      return sum;
    }
    int64_t Fail(std::string text) {
      if (fault.empty()) fault = std::move(text);
      return -1;
    }
  } walker{*this, k, links, levels, seen, lastLeafKey, leafDepth, fault, pages};

  const int64_t total = walker.Walk(root, 0, nullptr);
  if (total < 0) return fault;
  for (size_t d = 0; d < levels.size(); ++d) {
    const auto& level = levels[d];
    for (size_t i = 0; i < level.size(); ++i) {
      const TLink& link = links[level[i]];
      const uint32_t wantPrev = i == 0 ? 0 : level[i - 1];
      const uint32_t wantNext = i + 1 == level.size() ? 0 : level[i + 1];
      if (link.Prev != wantPrev || link.Next != wantNext)
        return Format("sibling links of page %u (prev %u, next %u) should be %u and %u", level[i], link.Prev,
                      link.Next, wantPrev, wantNext);
    }
  }
  *records = total;
  return {};
}

}  // namespace tovenmarsh::engine

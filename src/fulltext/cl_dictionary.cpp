// TClDictionary: chained hash buckets with move-to-front lookups.
#include "fulltext/cl_dictionary.h"

#include <bit>

#include "platform/win1252.h"

namespace tovenmarsh::fulltext {

const TClClass TClDictionary::kClass{"TClDictionary", &TClContainer::kClass};

int TClDictionary::DefaultEqual(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const uint8_t x = platform::Win1252Upper(static_cast<uint8_t>(a[i]));
    const uint8_t y = platform::Win1252Upper(static_cast<uint8_t>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

uint32_t TClDictionary::DefaultHash(std::string_view name, uint32_t hashSize) {
  uint32_t h = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const uint32_t c = platform::Win1252Upper(static_cast<uint8_t>(name[i]));
    h ^= std::rotl(c, static_cast<int>(i % 32));
  }
  return hashSize == 0 ? 0 : h % hashSize;
}

TClDictionary::TClDictionary(int32_t hashSize) : Equal(DefaultEqual), Hash(DefaultHash) {
  SetHashSize(hashSize);
}

TClDictionary::~TClDictionary() {
  try {
    ClearUnlocked();
  } catch (...) {
    // A failing DisposeData cannot stop the destruction; the nodes go anyway.
  }
}

int TClDictionary::DoEqual(std::string_view a, std::string_view b) {
  if (OnEqual) {
    int result = 1;
    OnEqual(*this, a, b, result);
    return result;
  }
  return Equal ? Equal(a, b) : DefaultEqual(a, b);
}

int32_t TClDictionary::HashSize() const {
  Guard guard(lock_);
  return static_cast<int32_t>(buckets_.size());
}

size_t TClDictionary::BucketOf(std::string_view name) const {
  const auto size = static_cast<uint32_t>(buckets_.size());
  const uint32_t h = Hash ? Hash(name, size) : DefaultHash(name, size);
  return h % size;  // a hook's result is kept inside the array
}

TClDictionary::Found TClDictionary::Lookup(std::string_view name) {
  Found found;
  found.bucket = BucketOf(name);
  for (std::unique_ptr<TClDictNode>* link = &buckets_[found.bucket]; *link; link = &(*link)->Next)
    if (DoEqual((*link)->Name, name) == 0) {
      found.link = link;
      break;
    }
  return found;
}

void TClDictionary::MoveToFront(Found& found) {
  std::unique_ptr<TClDictNode>& front = buckets_[found.bucket];
  if (found.link == &front) return;
  std::unique_ptr<TClDictNode> node = std::move(*found.link);
  *found.link = std::move(node->Next);
  node->Next = std::move(front);
  front = std::move(node);
  found.link = &front;
}

void TClDictionary::SetHashSize(int32_t n) {
  Guard guard(lock_);
  if (n < 1) RaiseContainerError(kClBadSize);
  if (static_cast<size_t>(n) == buckets_.size()) return;
  std::vector<std::unique_ptr<TClDictNode>> old = std::move(buckets_);
  buckets_ = std::vector<std::unique_ptr<TClDictNode>>(static_cast<size_t>(n));
  // Each node goes to the front of its new bucket, as adding it again would put it.
  for (auto& head : old) {
    while (head) {
      std::unique_ptr<TClDictNode> node = std::move(head);
      head = std::move(node->Next);
      std::unique_ptr<TClDictNode>& front = buckets_[BucketOf(node->Name)];
      node->Next = std::move(front);
      front = std::move(node);
    }
  }
}

void TClDictionary::AddUnlocked(std::string_view name, TClData data) {
  Found found = Lookup(name);
  if (found.link != nullptr) RaiseContainerError(kClDuplicateNode);
  auto node = std::make_unique<TClDictNode>();
  node->Name = std::string(name);
  node->Data = data;
  node->Next = std::move(buckets_[found.bucket]);
  buckets_[found.bucket] = std::move(node);
  ++count_;
}

void TClDictionary::Add(std::string_view name, TClData data) {
  Guard guard(lock_);
  AddUnlocked(name, data);
}

void TClDictionary::Delete(std::string_view name) {
  Guard guard(lock_);
  Found found = Lookup(name);
  if (found.link == nullptr) return;
  std::unique_ptr<TClDictNode> node = std::move(*found.link);
  *found.link = std::move(node->Next);
  --count_;
  DisposeNodeData(node.get());
}

bool TClDictionary::Exists(std::string_view name, TClData& data) {
  Guard guard(lock_);
  Found found = Lookup(name);
  if (found.link == nullptr) return false;
  MoveToFront(found);
  data = (*found.link)->Data;
  return true;
}

void TClDictionary::Update(std::string_view name, TClData data) {
  Guard guard(lock_);
  Found found = Lookup(name);
  if (found.link != nullptr) (*found.link)->Data = data;
}

bool TClDictionary::FindName(TClData data, std::string& name) const {
  Guard guard(lock_);
  for (const auto& head : buckets_)
    for (const TClDictNode* node = head.get(); node != nullptr; node = node->Next.get())
      if (node->Data == data) {
        name = node->Name;
        return true;
      }
  return false;
}

TClDictNode* TClDictionary::Iterate(const TIterateAction& action, void* data) {
  Guard guard(lock_);
  for (auto& head : buckets_)
    for (TClDictNode* node = head.get(); node != nullptr; node = node->Next.get())
      if (!action(*this, *node, data)) return node;
  return nullptr;
}

void TClDictionary::ClearUnlocked() {
  if (count_ == 0) return;
  for (auto& head : buckets_) {
    while (head) {
      std::unique_ptr<TClDictNode> node = std::move(head);
      head = std::move(node->Next);
      --count_;
      DoDisposeData(node->Data);
    }
  }
  count_ = 0;
}

void TClDictionary::Clear() {
  Guard guard(lock_);
  ClearUnlocked();
}

void TClDictionary::Assign(const TClDictionary& source) {
  if (&source == this) return;
  Guard guard(lock_);
  Guard sourceGuard(source.lock_);
  ClearUnlocked();
  for (const auto& head : source.buckets_)
    for (const TClDictNode* node = head.get(); node != nullptr; node = node->Next.get())
      AddUnlocked(node->Name, node->Data);
}

void TClDictionary::Assign(const std::vector<std::pair<std::string, TClData>>& items) {
  Guard guard(lock_);
  ClearUnlocked();
  for (const auto& [name, data] : items) AddUnlocked(name, data);
}

void TClDictionary::StoreToStream(platform::TStream& stream) {
  Guard guard(lock_);
  TFilerWriter writer(stream);
  writer.WriteString(ClassType().name);
  writer.WriteString(NodeClass().name);
  writer.WriteInteger(static_cast<int32_t>(buckets_.size()));
  writer.WriteListBegin();
  for (const auto& head : buckets_)
    for (const TClDictNode* node = head.get(); node != nullptr; node = node->Next.get()) {
      writer.WriteString(node->Name);
      DoStoreData(writer, node->Data);
    }
  writer.WriteListEnd();
}

void TClDictionary::LoadFromStream(platform::TStream& stream) {
  Guard guard(lock_);
  ClearUnlocked();
  TFilerReader reader(stream);
  const TClClass& cls = ReadRegisteredClass(reader, kClContainerClassUnregistered);
  if (&cls != &ClassType()) RaiseContainerError(kClClassNameDiffers);
  const TClClass& node = ReadRegisteredClass(reader, kClNodeClassUnregistered);
  if (&node != &NodeClass()) RaiseContainerError(kClNodeClassNameDiffers);
  SetHashSize(reader.ReadInteger());
  reader.ReadListBegin();
  while (!reader.EndOfList()) {
    const std::string name = reader.ReadString();
    TClData data = DoLoadData(reader);
    try {
      AddUnlocked(name, data);
    } catch (...) {
      DoDisposeData(data);
      throw;
    }
  }
  reader.ReadListEnd();
}

}  // namespace tovenmarsh::fulltext

// TClDictionary: a hashed dictionary of named nodes (name -> pointer-sized data).
//
// Promises: names are unique under Equal (adding one twice raises error 54); a lookup that
// finds a node moves it to the front of its bucket; data is never disposed by a rehash or by
// Update, only by Delete and Clear (through DisposeData / OnDisposeData).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fulltext/cl_container.h"

namespace tovenmarsh::fulltext {

class TClDictionary : public TClContainer {
 public:
  static const TClClass kClass;
  using TEqualHook = std::function<int(std::string_view, std::string_view)>;  // 0 = equal
  using THashHook = std::function<uint32_t(std::string_view, uint32_t hashSize)>;
  using TEqualEvent = std::function<void(TClDictionary&, std::string_view, std::string_view, int&)>;
  using TIterateAction = std::function<bool(TClDictionary&, TClDictNode&, void* data)>;

  explicit TClDictionary(int32_t hashSize);
  ~TClDictionary() override;

  const TClClass& ClassType() const override { return kClass; }
  const TClClass& NodeClass() const override { return TClDictNode::kClass; }

  virtual int DoEqual(std::string_view a, std::string_view b);

  int32_t HashSize() const;
  // n < 1: error 53. A new size rehashes every node (no data is disposed).
  void SetHashSize(int32_t n);

  void Add(std::string_view name, TClData data);
  void Delete(std::string_view name);
  bool Exists(std::string_view name, TClData& data);
  void Update(std::string_view name, TClData data);
  bool FindName(TClData data, std::string& name) const;
  // Every node, bucket 0 first and each bucket front to back, until the action answers false;
  // that node is returned (nullptr when none refused).
  TClDictNode* Iterate(const TIterateAction& action, void* data);
  void Clear() override;
  void Assign(const TClDictionary& source);
  void Assign(const std::vector<std::pair<std::string, TClData>>& items);

  // Stream form: class name, node class name, HashSize, a list of (name, data by DoStoreData).
  void LoadFromStream(platform::TStream& stream) override;
  void StoreToStream(platform::TStream& stream) override;

  // Case-insensitive (Windows-1252) comparison and the rotate-xor hash of the upper-cased name.
  static int DefaultEqual(std::string_view a, std::string_view b);
  static uint32_t DefaultHash(std::string_view name, uint32_t hashSize);

  TEqualHook Equal;
  THashHook Hash;
  TEqualEvent OnEqual;

 protected:
  struct Found {
    size_t bucket = 0;
    std::unique_ptr<TClDictNode>* link = nullptr;  // the owner pointing at the node
  };
  // The link that owns the node named name, or nothing (link nullptr).
  Found Lookup(std::string_view name);
  size_t BucketOf(std::string_view name) const;
  void MoveToFront(Found& found);
  void ClearUnlocked();
  void AddUnlocked(std::string_view name, TClData data);

  std::vector<std::unique_ptr<TClDictNode>> buckets_;
};

}  // namespace tovenmarsh::fulltext

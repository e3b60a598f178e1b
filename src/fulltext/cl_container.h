// Base of the container library: node classes, the registry of streamable classes, and the
// abstract container with its lock, data hooks and events.
//
// A container promises that each of its operations runs under its own (recursive) lock, so one
// container may be shared between threads. Data is one pointer-sized value per node; the
// container never owns what it points to but hands it to DisposeData when a node goes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "fulltext/cl_errors.h"
#include "fulltext/filer.h"

namespace tovenmarsh::fulltext {

using TClData = void*;

// A streamable class: its name and its parent (nullptr for a root).
struct TClClass {
  const char* name;
  const TClClass* parent;
};

// True when cls is ancestor or derives from it.
bool InheritsFrom(const TClClass* cls, const TClClass* ancestor);
// Registers a class for stream loading (idempotent); the container classes are registered
// from the start.
void RegisterClClass(const TClClass& cls);
// The registered class of that name (compared without regard to ASCII case), or nullptr.
const TClClass* FindClClass(std::string_view name);

class TClNode {
 public:
  static const TClClass kClass;
  virtual ~TClNode() = default;
  TClData Data = nullptr;
};

class TClDictNode : public TClNode {
 public:
  static const TClClass kClass;
  std::string Name;
  std::unique_ptr<TClDictNode> Next;  // next node of the same hash bucket
};

class TClContainer {
 public:
  static const TClClass kClass;

  using TCompareHook = std::function<int(TClData, TClData)>;
  using TDisposeHook = std::function<void(TClData)>;
  using TLoadHook = std::function<TClData(TFilerReader&)>;
  using TStoreHook = std::function<void(TFilerWriter&, TClData)>;
  using TCompareEvent = std::function<void(TClContainer&, TClData, TClData, int&)>;
  using TDisposeEvent = std::function<void(TClContainer&, TClData)>;
  using TLoadEvent = std::function<void(TClContainer&, TFilerReader&, TClData&)>;
  using TStoreEvent = std::function<void(TClContainer&, TFilerWriter&, TClData)>;

  TClContainer();
  virtual ~TClContainer() = default;
  TClContainer(const TClContainer&) = delete;
  TClContainer& operator=(const TClContainer&) = delete;

  virtual const TClClass& ClassType() const = 0;
  virtual const TClClass& NodeClass() const = 0;

  int32_t Count() const;
  virtual void Clear() = 0;

  // An event, when assigned, wins over the hook.
  virtual int DoCompare(TClData a, TClData b);
  virtual void DoDisposeData(TClData data);
  virtual TClData DoLoadData(TFilerReader& reader);        // neither set: error 60
  virtual void DoStoreData(TFilerWriter& writer, TClData data);  // neither set: error 59
  void DisposeNodeData(TClNode* node);

  virtual void LoadFromStream(platform::TStream& stream) = 0;
  virtual void StoreToStream(platform::TStream& stream) = 0;
  void LoadFromFile(const std::string& path);
  void StoreToFile(const std::string& path);

  std::recursive_mutex& Lock() const { return lock_; }

  TCompareHook Compare;  // starts as a function raising error 51
  TDisposeHook DisposeData;
  TLoadHook LoadData;
  TStoreHook StoreData;
  TCompareEvent OnCompare;
  TDisposeEvent OnDisposeData;
  TLoadEvent OnLoadData;
  TStoreEvent OnStoreData;

 protected:
  using Guard = std::lock_guard<std::recursive_mutex>;
  // Reads the class name at the start of a container stream and returns the registered class
  // (error 57 naming it when unregistered).
  static const TClClass& ReadRegisteredClass(TFilerReader& reader, int unregisteredError);

  int32_t count_ = 0;
  mutable std::recursive_mutex lock_;
};

}  // namespace tovenmarsh::fulltext

// Object pools: spare engine objects kept out of the allocator (record bitmaps here; the
// expression-token pool instantiates the same template over its token class).
//
// Contract: Take returns the last spare, cleared, or a new object; Release(nullptr) does
// nothing, otherwise the object becomes a spare and the caller's reference is set to nullptr.
// Spares are freed only when the pool is destroyed. Take and Release are thread-safe.
#pragma once

#include <mutex>

#include "engine/base/records_bitmap.h"
#include "engine/base/system_list.h"

namespace tovenmarsh::engine {

// T needs a default constructor and a Reset() that clears it.
template <class T>
class TObjectPool : public TEngineObject {
 public:
  explicit TObjectPool(int32_t capacity) : spares_(capacity) {}
  TObjectPool(const TObjectPool&) = delete;
  TObjectPool& operator=(const TObjectPool&) = delete;
  ~TObjectPool() {
    for (int32_t i = 0; i < spares_.Count(); ++i) delete spares_.GetAs<T>(i);
    spares_.Clear();
  }

  T* Take() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (spares_.Count() > 0) {
        T* object = spares_.GetAs<T>(spares_.Count() - 1);
        spares_.Delete(spares_.Count() - 1);
        object->Reset();
        return object;
      }
    }
    return new T();
  }

  void Release(T*& object) {
    if (object == nullptr) return;
    std::lock_guard<std::mutex> guard(lock_);
    spares_.Add(object);
    object = nullptr;
  }

  int32_t SpareCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return spares_.Count();
  }

 private:
  std::mutex lock_;
  TSystemList spares_;
};

using TRecordsBitmapStack = TObjectPool<TRecordsBitmap>;

// The process-wide bitmap pool (made by library start-up, engine_library.h).
TRecordsBitmap* NewRecordsBitmap();
void ReleaseRecordsBitmap(TRecordsBitmap*& bitmap);

}  // namespace tovenmarsh::engine

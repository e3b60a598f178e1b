// The engine heap: every object and buffer of the table engine and the SQL engine lives here.
//
// Contract: blocks are zero-filled when allocated, and bytes beyond the old size are zero after a
// reallocation. A refused request above 0 bytes raises engine error 11016 (insufficient
// memory). Every 1020 reallocations-or-frees taken together the heap is compacted (the C
// library is asked to return free memory to the system). Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace tovenmarsh::engine {

// Zero-filled block of size bytes; size 0 gives a valid unique block of no bytes.
void* EngineAlloc(size_t size);
// Resizes block (nullptr allocates); bytes beyond the old size are zero. Counts one operation.
void* EngineRealloc(void* block, size_t size);
// Frees the block (nullptr does nothing and does not count). Counts one operation.
void EngineFreeBlock(void* block);
// The usable size of a block as last requested (0 for nullptr).
size_t EngineBlockSize(const void* block);

// Frees the block the reference holds and sets the reference to nullptr.
template <class T>
void EngineFree(T*& reference) {
  if (reference == nullptr) return;
  EngineFreeBlock(const_cast<void*>(static_cast<const void*>(reference)));
  reference = nullptr;
}

// Keeps buffer at least size bytes, in multiples of step; never shrinks. A size below 1 frees the
// buffer and sets buffer and capacity to 0. A size or step beyond any heap block raises 11016.
void ResizeInSteps(int64_t size, int64_t step, void*& buffer, int64_t& capacity);

template <class T>
void ResizeInSteps(int64_t size, int64_t step, T*& buffer, int64_t& capacity) {
  void* raw = buffer;
  ResizeInSteps(size, step, raw, capacity);
  buffer = static_cast<T*>(raw);
}

// Reallocations and frees counted since the last compaction; compactions done so far.
uint32_t EngineHeapOperationCount();
uint64_t EngineHeapCompactionCount();
// Sets the operation counter to 0 (library start-up).
void ResetEngineHeapCounter();

inline constexpr uint32_t kEngineHeapCompactEvery = 1020;

// Base of engine classes whose instances live on the engine heap and start zero-filled.
class TEngineObject {
 public:
  static void* operator new(size_t size) { return EngineAlloc(size); }
  static void operator delete(void* block) noexcept { EngineFreeBlock(block); }
  static void* operator new[](size_t) = delete;
  static void operator delete[](void*) = delete;

 protected:
  TEngineObject() = default;
  ~TEngineObject() = default;
};

}  // namespace tovenmarsh::engine

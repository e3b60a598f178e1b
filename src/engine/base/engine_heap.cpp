// The engine heap over the C library's allocator. Each block carries a small header with its
// requested size, so a reallocation knows which bytes are new and zero-fills them.
#include "engine/base/engine_heap.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "engine/base/engine_error.h"

namespace tovenmarsh::engine {
namespace {

// Keeps the user block aligned for any type.
constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t)
                                                                      : sizeof(size_t);

// No engine structure comes near this; larger requests are refused as the heap would refuse
// them (and before an allocator that aborts on absurd sizes sees them).
constexpr size_t kMaxBlock = size_t{1} << 40;

std::atomic<uint32_t> gOperations{0};
std::atomic<uint64_t> gCompactions{0};

unsigned char* BaseOf(const void* block) {
  return static_cast<unsigned char*>(const_cast<void*>(block)) - kHeader;
}

size_t& SizeOf(unsigned char* base) { return *reinterpret_cast<size_t*>(base); }

void CountOperation() {
  uint32_t now = gOperations.fetch_add(1, std::memory_order_relaxed) + 1;
  if (now >= kEngineHeapCompactEvery) {
    gOperations.store(0, std::memory_order_relaxed);
    gCompactions.fetch_add(1, std::memory_order_relaxed);
    malloc_trim(0);
  }
}

[[noreturn]] void OutOfMemory() { RaiseEngineError(kErrOutOfMemory); }

}  // namespace

void* EngineAlloc(size_t size) {
  if (size >= kMaxBlock) OutOfMemory();
  auto* base = static_cast<unsigned char*>(std::calloc(1, kHeader + size));
  if (base == nullptr) OutOfMemory();
  SizeOf(base) = size;
  return base + kHeader;
}

void* EngineRealloc(void* block, size_t size) {
  if (block == nullptr) {
    void* fresh = EngineAlloc(size);
    CountOperation();
    return fresh;
  }
  if (size >= kMaxBlock) OutOfMemory();
  unsigned char* base = BaseOf(block);
  size_t old = SizeOf(base);
  auto* moved = static_cast<unsigned char*>(std::realloc(base, kHeader + size));
  if (moved == nullptr) OutOfMemory();
  if (size > old) std::memset(moved + kHeader + old, 0, size - old);
  SizeOf(moved) = size;
  CountOperation();
  return moved + kHeader;
}

void EngineFreeBlock(void* block) {
  if (block == nullptr) return;
  std::free(BaseOf(block));
  CountOperation();
}

size_t EngineBlockSize(const void* block) {
  if (block == nullptr) return 0;
  return SizeOf(BaseOf(block));
}

void ResizeInSteps(int64_t size, int64_t step, void*& buffer, int64_t& capacity) {
  if (size < 1) {
    if (capacity > 0 || buffer != nullptr) EngineFreeBlock(buffer);
    buffer = nullptr;
    capacity = 0;
    return;
  }
  if (step < 1) step = 1;
  // Beyond any block the heap gives; rounding such a size up would overflow.
  if (static_cast<uint64_t>(size) >= kMaxBlock || static_cast<uint64_t>(step) >= kMaxBlock) OutOfMemory();
  int64_t rounded = ((size + step - 1) / step) * step;
  if (capacity >= rounded && buffer != nullptr) return;
  buffer = buffer == nullptr ? EngineAlloc(static_cast<size_t>(rounded))
                             : EngineRealloc(buffer, static_cast<size_t>(rounded));
  capacity = rounded;
}

uint32_t EngineHeapOperationCount() { return gOperations.load(std::memory_order_relaxed); }
uint64_t EngineHeapCompactionCount() { return gCompactions.load(std::memory_order_relaxed); }
void ResetEngineHeapCounter() { gOperations.store(0, std::memory_order_relaxed); }

}  // namespace tovenmarsh::engine

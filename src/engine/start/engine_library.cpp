// Library start-up and shut-down: the process-wide bitmap pool, file list, collation-map cache
// and format-settings lock, and the accessors the rest of the engine uses to reach them.
#include "engine/start/engine_library.h"

#include <mutex>

#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/io/file_list.h"
#include "engine/base/object_pool.h"

namespace tovenmarsh::engine {
namespace {

constexpr int32_t kBitmapPoolCapacity = 512;

TRecordsBitmapStack* gBitmapPool = nullptr;
TLanguageCharMapsList* gCharMaps = nullptr;
std::recursive_mutex* gLocaleLock = nullptr;

}  // namespace

void InitializeEngineLibrary() {
  ResetEngineHeapCounter();
  if (gBitmapPool == nullptr) gBitmapPool = new TRecordsBitmapStack(kBitmapPoolCapacity);
  if (EngineFileList() == nullptr) CreateEngineFileList();
  if (gCharMaps == nullptr) gCharMaps = new TLanguageCharMapsList();
  if (gLocaleLock == nullptr) gLocaleLock = new std::recursive_mutex();
}

void FinalizeEngineLibrary() {
  delete gLocaleLock;
  gLocaleLock = nullptr;
  delete gCharMaps;
  gCharMaps = nullptr;
  FreeEngineFileList();
  delete gBitmapPool;
  gBitmapPool = nullptr;
}

bool EngineLibraryInitialized() { return gBitmapPool != nullptr; }

TRecordsBitmap* NewRecordsBitmap() {
  if (gBitmapPool == nullptr) RaiseEngineError(kErrEngineNotInitialized);
  return gBitmapPool->Take();
}

void ReleaseRecordsBitmap(TRecordsBitmap*& bitmap) {
  if (bitmap == nullptr) return;
  if (gBitmapPool == nullptr) {
    delete bitmap;
    bitmap = nullptr;
    return;
  }
  gBitmapPool->Release(bitmap);
}

void GetCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map) {
  if (gCharMaps == nullptr) RaiseEngineError(kErrEngineNotInitialized);
  gCharMaps->GetCharMap(languageId, sortId, map);
}

void EnterLocaleLock() {
  if (gLocaleLock == nullptr) RaiseEngineError(kErrEngineNotInitialized);
  gLocaleLock->lock();
}

void LeaveLocaleLock() {
  if (gLocaleLock != nullptr) gLocaleLock->unlock();
}

}  // namespace tovenmarsh::engine

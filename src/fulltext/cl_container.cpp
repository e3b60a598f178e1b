// Container base: class registry, hooks and events, file streaming.
#include "fulltext/cl_container.h"


namespace tovenmarsh::fulltext {

const TClClass TClNode::kClass{"TClNode", nullptr};
const TClClass TClDictNode::kClass{"TClDictNode", &TClNode::kClass};
const TClClass TClContainer::kClass{"TClContainer", nullptr};

TClContainer::TClContainer()
    : Compare([](TClData, TClData) -> int { RaiseContainerError(kClCompareUnassigned); }) {}

int32_t TClContainer::Count() const {
  Guard guard(lock_);
  return count_;
}

int TClContainer::DoCompare(TClData a, TClData b) {
  if (OnCompare) {
    int result = 0;
    OnCompare(*this, a, b, result);
    return result;
  }
  if (Compare) return Compare(a, b);
  RaiseContainerError(kClCompareUnassigned);
}

void TClContainer::DoDisposeData(TClData data) {
  if (OnDisposeData) {
    OnDisposeData(*this, data);
  } else if (DisposeData) {
    DisposeData(data);
  }
}

TClData TClContainer::DoLoadData(TFilerReader& reader) {
  if (OnLoadData) {
    TClData data = nullptr;
    OnLoadData(*this, reader, data);
    return data;
  }
  if (LoadData) return LoadData(reader);
  RaiseContainerError(kClLoadDataUnassigned);
}

void TClContainer::DoStoreData(TFilerWriter& writer, TClData data) {
  if (OnStoreData) {
    OnStoreData(*this, writer, data);
  } else if (StoreData) {
    StoreData(writer, data);
  } else {
    RaiseContainerError(kClStoreDataUnassigned);
  }
}

void TClContainer::DisposeNodeData(TClNode* node) {
  Guard guard(lock_);
  if (node != nullptr) DoDisposeData(node->Data);
}

void TClContainer::LoadFromFile(const std::string& path) {
  platform::TFileStream stream(path, platform::fmOpenRead);
  LoadFromStream(stream);
}

void TClContainer::StoreToFile(const std::string& path) {
  platform::TFileStream stream(path, platform::fmCreate);
  StoreToStream(stream);
}

const TClClass& TClContainer::ReadRegisteredClass(TFilerReader& reader, int unregisteredError) {
  const std::string name = reader.ReadString();
  const TClClass* cls = FindClClass(name);
  if (cls == nullptr) RaiseContainerError(unregisteredError, name);
  return *cls;
}

}  // namespace tovenmarsh::fulltext

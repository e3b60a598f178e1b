// TtxBase work buffer and the text link's cached index range.
#include "fulltext/tx_base.h"

#include "fulltext/tx_utils.h"

namespace tovenmarsh::fulltext {

void TtxBase::SetWorkBufferSize(size_t size) {
  if (size == 0) {
    std::vector<uint8_t>().swap(work_);
    return;
  }
  const auto rounded = static_cast<size_t>(RoundUp16(static_cast<int64_t>(size)));
  if (rounded != work_.size()) work_.resize(rounded, 0);
}

int32_t TtxTextLink::LowestIndex() {
  if (lowest_ == kUnknownIndex) lowest_ = FindLowestIndex();
  return lowest_;
}

int32_t TtxTextLink::HighestIndex() {
  if (highest_ == kUnknownIndex) highest_ = FindHighestIndex();
  return highest_;
}

}  // namespace tovenmarsh::fulltext

// Block buffering behind the MIME codecs (see mime_io.h).
#include "mail/message/mime_io.h"

#include <algorithm>

namespace tovenmarsh::mail::detail {
namespace {
constexpr size_t kReadBlock = 64 * 1024;
}  // namespace

ByteSource::ByteSource(platform::TStream& stream, int64_t limit)
    : stream_(&stream), remaining_(limit < 0 ? -1 : limit) {}

bool ByteSource::Refill() {
  if (stream_ == nullptr || remaining_ == 0) return false;
  if (!block_) block_ = std::make_unique<char[]>(kReadBlock);
  size_t want = kReadBlock;
  if (remaining_ > 0) want = static_cast<size_t>(std::min<int64_t>(remaining_, kReadBlock));
  const size_t got = stream_->Read(block_.get(), want);
  if (got == 0) {
    remaining_ = 0;
    return false;
  }
  if (remaining_ > 0) remaining_ -= static_cast<int64_t>(got);
  cur_ = block_.get();
  end_ = cur_ + got;
  return true;
}

ByteSink::ByteSink(platform::TStream& dest) : dest_(dest), block_(std::make_unique<char[]>(kBlock)) {}

void ByteSink::Put(std::string_view bytes) {
  while (!bytes.empty()) {
    if (used_ == kBlock) Flush();
    const size_t n = std::min(bytes.size(), kBlock - used_);
    std::copy_n(bytes.data(), n, block_.get() + used_);
    used_ += n;
    bytes.remove_prefix(n);
  }
}

void ByteSink::Flush() {
  if (used_ == 0) return;
  dest_.WriteBuffer(block_.get(), used_);
  used_ = 0;
}

}  // namespace tovenmarsh::mail::detail

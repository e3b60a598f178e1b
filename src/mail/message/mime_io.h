// Buffered byte access for the MIME codecs: a source that reads either a span in memory or a
// stream (up to a byte limit) in blocks, and a sink that gathers output into blocks before
// writing them to a stream. The codecs work byte by byte; these keep that cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/stream.h"

namespace tovenmarsh::mail::detail {

class ByteSource {
 public:
  // Reads the bytes of a span; the span must outlive the source.
  explicit ByteSource(std::string_view bytes)
      : cur_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  // Reads from the stream's position: at most limit bytes, or to its end when limit is negative.
  ByteSource(platform::TStream& stream, int64_t limit);

  // The next byte (0..255), or -1 at the end.
  int Get() {
    if (cur_ == end_ && !Refill()) return -1;
    return static_cast<unsigned char>(*cur_++);
  }
  // The next byte without taking it, or -1 at the end.
  int Peek() {
    if (cur_ == end_ && !Refill()) return -1;
    return static_cast<unsigned char>(*cur_);
  }
  // The bytes available now without another read (refilling when none are); empty at the end.
  std::string_view Chunk() {
    if (cur_ == end_ && !Refill()) return {};
    return {cur_, static_cast<size_t>(end_ - cur_)};
  }
  void Skip(size_t n) { cur_ += n; }

 private:
  bool Refill();

  const char* cur_ = nullptr;
  const char* end_ = nullptr;
  platform::TStream* stream_ = nullptr;
  int64_t remaining_ = 0;  // bytes the stream may still give; negative: unlimited
  std::unique_ptr<char[]> block_;
};

class ByteSink {
 public:
  explicit ByteSink(platform::TStream& dest);

  void Put(char c) {
    if (used_ == kBlock) Flush();
    block_[used_++] = c;
  }
  void Put(std::string_view bytes);
  // Writes what is gathered; must be called before the sink goes away.
  void Flush();

 private:
  static constexpr size_t kBlock = 64 * 1024;
  platform::TStream& dest_;
  std::unique_ptr<char[]> block_;
  size_t used_ = 0;
};

}  // namespace tovenmarsh::mail::detail

// TTCPBuffer: growable bytes, line taking and the dot-transparent stream transfers.
#include "core/tcp_buffer.h"

#include <algorithm>
#include <cstring>

namespace tovenmarsh::core {

namespace {

constexpr size_t kPieceSize = 1024;
constexpr std::string_view kEndOfData = "\r\n.\r\n";

// Tracks line starts across pieces: a line starts at the very beginning and after each CR LF.
struct LineStartTracker {
  bool atLineStart = true;
  bool previousCR = false;
  void Step(char c) {
    atLineStart = previousCR && c == '\n';
    previousCR = c == '\r';
  }
};

}  // namespace

TTCPBuffer::TTCPBuffer(int capacity) : receiveArea_(kReceiveAreaSize) {
  const long requested = capacity < 0 ? -static_cast<long>(capacity) : capacity;
  SetCapacity(requested >= static_cast<long>(kMinimumCapacity) ? static_cast<size_t>(requested) : kMinimumCapacity);
}

void TTCPBuffer::SetCapacity(size_t n) {
  n = std::max(n, kMinimumCapacity);
  data_.resize(n + 1);
  data_[n] = 0;
  capacity_ = n;
  length_ = 0;
}

void TTCPBuffer::Grow(size_t needed) {
  if (needed <= capacity_) return;
  // Doubling keeps a long series of appends linear overall.
  const size_t target = std::max(needed, capacity_ * 2);
  data_.resize(target + 1);
  data_[target] = 0;
  capacity_ = target;
}

void TTCPBuffer::AddBytes(const void* bytes, size_t count) {
  if (count == 0) return;
  Grow(length_ + count);
  std::memcpy(data_.data() + length_, bytes, count);
  length_ += count;
}

void TTCPBuffer::AddStream(platform::TStream& stream) { LoadFromStream(stream); }

bool TTCPBuffer::EndsWith(std::string_view tail) const {
  return length_ >= tail.size() && View().substr(length_ - tail.size()) == tail;
}

std::string TTCPBuffer::TakeLine() {
  if (length_ < 2) return std::string();
  const size_t lastStart = std::min(kMaxLineStart, length_ - 2);
  for (size_t i = 0; i <= lastStart; ++i) {
    if (data_[i] == '\r' && data_[i + 1] == '\n') {
      std::string line(data_.data(), i + 2);
      std::memmove(data_.data(), data_.data() + i + 2, length_ - (i + 2));
      length_ -= i + 2;
      return line;
    }
  }
  return std::string();
}

void TTCPBuffer::SaveToStream(platform::TStream& stream) {
  if (length_ > 0) stream.WriteBuffer(data_.data(), length_);
}

int64_t TTCPBuffer::LoadFromStream(platform::TStream& stream) {
  const int64_t rest = stream.Size() - stream.Position();
  if (rest > 0) Grow(length_ + static_cast<size_t>(rest));
  char piece[kPieceSize];
  for (;;) {
    const size_t n = stream.Read(piece, sizeof piece);
    if (n == 0) break;
    AddBytes(piece, n);
  }
  return std::max<int64_t>(0, stream.Size() - stream.Position());
}

void TTCPBuffer::SaveToStreamUnstuffed(platform::TStream& stream) {
  if (length_ == 0) return;
  std::string_view data = View();
  if (data.size() > 4 && data.substr(data.size() - kEndOfData.size()) == kEndOfData) {
    data.remove_suffix(kEndOfData.size());
  } else if (data == kEndOfData.substr(2)) {
    return;  // an empty message: only the end-of-data line
  }
  std::string out;
  out.reserve(kPieceSize + 1);
  LineStartTracker line;
  for (const char c : data) {
    const bool drop = line.atLineStart && c == '.';
    line.Step(c);
    if (drop) continue;
    out.push_back(c);
    if (out.size() >= kPieceSize) {
      stream.WriteBuffer(out.data(), out.size());
      out.clear();
    }
  }
  if (!out.empty()) stream.WriteBuffer(out.data(), out.size());
}

int64_t TTCPBuffer::LoadFromStreamStuffed(platform::TStream& stream) {
  const int64_t rest = stream.Size() - stream.Position();
  if (rest <= 0) return 0;
  Grow(length_ + static_cast<size_t>(rest) + kEndOfData.size());
  int64_t total = 0;
  char piece[kPieceSize];
  char stuffed[2 * kPieceSize];
  LineStartTracker line;
  for (;;) {
    const size_t n = stream.Read(piece, sizeof piece);
    if (n == 0) break;
    total += static_cast<int64_t>(n);
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
      const char c = piece[i];
      if (line.atLineStart && c == '.') stuffed[k++] = '.';
      stuffed[k++] = c;
      line.Step(c);
    }
    AddBytes(stuffed, k);
  }
  if (total == 0) return 0;
  AddText(kEndOfData);
  return total;
}

}  // namespace tovenmarsh::core

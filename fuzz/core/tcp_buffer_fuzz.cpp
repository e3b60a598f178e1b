// TTCPBuffer on arbitrary bytes: stuffing then unstuffing gives the message back, unstuffing
// any received bytes and taking lines never misbehave, and TakeLine only takes real lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/tcp_buffer.h"
#include "platform/stream.h"

using tovenmarsh::core::TTCPBuffer;
using tovenmarsh::platform::TStringStream;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  // Round trip.
  TStringStream message(input);
  TTCPBuffer wire(1024);
  wire.LoadFromStreamStuffed(message);
  if (!input.empty() && !wire.EndsWith("\r\n.\r\n")) std::abort();
  TStringStream back;
  wire.SaveToStreamUnstuffed(back);
  if (back.DataString() != input) std::abort();

  // Unstuffing whatever arrived.
  TTCPBuffer received(1024);
  received.AddText(input);
  TStringStream stored;
  received.SaveToStreamUnstuffed(stored);
  if (stored.DataString().size() > input.size()) std::abort();

  // Lines: each taken line ends with its first CR LF, and the bytes add up.
  size_t taken = 0;
  for (;;) {
    const std::string line = received.TakeLine();
    if (line.empty()) break;
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) std::abort();
    if (line.find("\r\n") != line.size() - 2) std::abort();
    if (line.size() > TTCPBuffer::kMaxLineStart + 2) std::abort();
    if (input.compare(taken, line.size(), line) != 0) std::abort();
    taken += line.size();
  }
  if (received.GetText() != input.substr(taken)) std::abort();
  return 0;
}

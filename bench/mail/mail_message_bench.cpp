// Parses and saves a 10 MB message holding a 9 MB base64 attachment (and, for the linear-growth
// check, the same shape at 2.5 and 5 MB); reports bytes per second and the process's peak
// resident memory after each size.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <random>
#include <string>

#include "mail/message/mail_message.h"
#include "mail/message/mime_codecs.h"

namespace {

using namespace tovenmarsh;

std::string MakeMessage(size_t totalBytes) {
  const size_t attachmentBase64 = totalBytes / 10 * 9;
  std::string binary(attachmentBase64 / 4 * 3, '\0');
  std::mt19937 rng(1);
  for (auto& c : binary) c = static_cast<char>(rng());
  platform::TStringStream encoded;
  mail::Base64Encode(binary, encoded, mail::kBase64LineLength);
  std::string text;
  const std::string line = "The quick brown fox jumps over the lazy dog, again and again.\r\n";
  while (text.size() + attachmentBase64 + 1000 < totalBytes) text += line;
  return "From: a@example.org\r\nTo: b@example.net\r\nSubject: big\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"big\"\r\n\r\n--big\r\nContent-Type: text/plain\r\n\r\n" +
         text + "\r\n--big\r\nContent-Type: application/zip; name=\"a.zip\"\r\nContent-Transfer-Encoding: "
                "base64\r\n\r\n" +
         encoded.DataString() + "\r\n--big--\r\n";
}

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_LoadAndSave(benchmark::State& state) {
  const std::string raw = MakeMessage(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    mail::TMailMessage message;
    platform::TStringStream in(raw);
    message.LoadFromStream(in);
    platform::TStringStream out;
    message.SaveToStream(out);
    benchmark::DoNotOptimize(out.DataString().size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(raw.size()));
  state.counters["message_MB"] = static_cast<double>(raw.size()) / 1e6;
  state.counters["peak_RSS_MB"] = PeakMegabytes();
}
// Smallest first, so each peak figure belongs to its size (the peak only grows).
BENCHMARK(BM_LoadAndSave)->Arg(2'500'000)->Arg(5'000'000)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

void BM_LoadOnly(benchmark::State& state) {
  const std::string raw = MakeMessage(10'000'000);
  for (auto _ : state) {
    mail::TMailMessage message;
    platform::TStringStream in(raw);
    message.LoadFromStream(in);
    benchmark::DoNotOptimize(message.PartCount());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(raw.size()));
}
BENCHMARK(BM_LoadOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

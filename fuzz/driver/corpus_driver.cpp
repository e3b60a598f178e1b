// Runs a libFuzzer-style target without libFuzzer: every file of the given folders first,
// then a fixed number of mutations of them (or of random bytes when the corpus is empty).
// The seed is fixed so that a failure found in CI is found again by the same command.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

void RunOne(const Bytes& input) {
  // Copy into an exactly sized heap block so that the address sanitizer sees overreads.
  auto block = std::make_unique<uint8_t[]>(input.size() + (input.empty() ? 1 : 0));
  if (!input.empty()) std::memcpy(block.get(), input.data(), input.size());
  LLVMFuzzerTestOneInput(block.get(), input.size());
}

Bytes Mutate(Bytes input, std::mt19937_64& rng) {
  std::uniform_int_distribution<int> op(0, 5);
  const int rounds = 1 + static_cast<int>(rng() % 4);
  for (int r = 0; r < rounds; ++r) {
    const size_t pos = input.empty() ? 0 : rng() % input.size();
    switch (op(rng)) {
      case 0:  // flip a bit
        if (!input.empty()) input[pos] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:  // set a byte to an interesting value
        if (!input.empty()) {
          static const uint8_t kValues[] = {0, 1, 0x7f, 0x80, 0xff, '\r', '\n', '.', '-', '=', '%', '"'};
          input[pos] = kValues[rng() % sizeof(kValues)];
        }
        break;
      case 2:  // insert random bytes
        for (size_t n = rng() % 16 + 1; n > 0; --n)
          input.insert(input.begin() + static_cast<std::ptrdiff_t>(pos), static_cast<uint8_t>(rng()));
        break;
      case 3:  // erase a run
        if (!input.empty()) {
          const size_t n = std::min(input.size() - pos, static_cast<size_t>(rng() % 32 + 1));
          input.erase(input.begin() + static_cast<std::ptrdiff_t>(pos),
                      input.begin() + static_cast<std::ptrdiff_t>(pos + n));
        }
        break;
      case 4:  // duplicate a run
        if (!input.empty()) {
          const size_t n = std::min(input.size() - pos, static_cast<size_t>(rng() % 64 + 1));
          Bytes run(input.begin() + static_cast<std::ptrdiff_t>(pos),
                    input.begin() + static_cast<std::ptrdiff_t>(pos + n));
          input.insert(input.begin() + static_cast<std::ptrdiff_t>(pos), run.begin(), run.end());
        }
        break;
      default:  // truncate
        input.resize(pos);
        break;
    }
  }
  if (input.size() > (1u << 20)) input.resize(1u << 20);
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  long iterations = 10000;
  std::vector<Bytes> corpus;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--iterations=", 0) == 0) {
      iterations = std::strtol(arg.c_str() + 13, nullptr, 10);
      continue;
    }
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else if (std::filesystem::is_regular_file(arg, ec)) {
      files.emplace_back(arg);
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
      std::ifstream in(path, std::ios::binary);
      corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  for (const auto& input : corpus) RunOne(input);

  std::mt19937_64 rng(0x746f76656eULL);
  for (long i = 0; i < iterations; ++i) {
    Bytes seed;
    if (!corpus.empty()) {
      seed = corpus[rng() % corpus.size()];
    } else {
      seed.resize(rng() % 256);
      for (auto& b : seed) b = static_cast<uint8_t>(rng());
    }
    RunOne(Mutate(std::move(seed), rng));
  }
  std::printf("%zu corpus inputs and %ld mutations ran clean\n", corpus.size(), iterations);
  return 0;
}

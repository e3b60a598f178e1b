// Runs a Python snippet (standard library only) as an independent oracle for the mail tests.
#pragma once

#include <string>
#include <vector>

namespace tovenmarsh::mail::testing {

// Runs python3 with `body`, which must define `oracle(records) -> list of bytes`; records are the
// inputs as bytes. Returns the outputs; fails the calling test (and returns empty) on any error.
std::vector<std::string> RunPythonOracle(const std::string& body, const std::vector<std::string>& inputs);

// The bytes as lower-case hexadecimal: how byte strings reach an oracle script intact.
std::string Hex(const std::string& bytes);

// Reads a file whole (empty when missing).
std::string ReadWholeFile(const std::string& path);

}  // namespace tovenmarsh::mail::testing

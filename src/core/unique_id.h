// Unique identifiers for file names and keys, and files created under them.
//
// An identifier has five upper-case hexadecimal groups joined by "_": the day number (8), the
// day's fraction times 10000 (8), the tick count (8), a 4-digit group and n (5): 37 characters.
// The 4-digit group comes from a process-wide counter mixed with one random seed, so two ids
// made within one clock tick differ.
#pragma once

#include <string>

namespace tovenmarsh::core {

std::string MakeUniqueId(int n);
// The temporary folder + MakeUniqueId(0).
std::string MakeTempFileName();
// Creates a new empty file folder + MakeUniqueId(n) + extension with exclusive creation,
// drawing a new id while the name is taken; returns its path. Raises platform::EFCreateError
// when the file cannot be created.
std::string CreateUniqueFile(const std::string& folder, int n, const std::string& extension = "");

}  // namespace tovenmarsh::core

// Table-file names on a case-sensitive file system.
//
// The engine spells file names the way the application wrote them ("account.dat") and derives
// the others from them ("account.IDX", "account.BLB"); it treats names as equal without regard to
// case and uses '\' as its directory separator. Linux distinguishes case, so every name gets one
// canonical on-disk spelling: '\' becomes '/', the path is made absolute, and the final component
// is lower-cased (ASCII letters only, so UTF-8 names stay intact). Directories are used as spelled.
// Lookups of existing files (open, exists, rename, delete) fall back to a case-insensitive search
// of the directory, so files written by other tools under another spelling are still found.
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::platform {

// Leading and trailing blanks removed (the engine compares names trimmed).
std::string TrimFileName(std::string_view name);

// ASCII letters lower-cased; every other byte as it is.
std::string FoldFileNameCase(std::string_view name);

// The canonical on-disk path of an engine file name (see the module comment). Empty when the
// trimmed name is empty or holds a NUL byte (no such file can exist).
std::string CanonicalFilePath(std::string_view name);

// True when the two engine names denote the same file: equal canonical paths.
bool SameFilePath(std::string_view a, std::string_view b);

// The spelling under which the file exists on disk: the canonical path when that exists, else the
// first directory entry (in byte order) whose name equals the final component without regard to
// case. When nothing matches, the canonical path. `found` tells which case applied.
std::string ResolveFilePath(std::string_view name, bool* found = nullptr);

// Directory part (up to and including the last '/') and final component of a canonical path.
std::string DirectoryOfPath(std::string_view path);
std::string FinalComponent(std::string_view path);

}  // namespace tovenmarsh::platform

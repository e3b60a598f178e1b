// Paths of the installation: the executable, its folder and the system's temporary folder.
// Folders are always returned with a trailing delimiter.
#pragma once

#include <cstdint>
#include <string>

namespace tovenmarsh::platform {

constexpr char PathDelimiter = '/';

// Full path of the running executable (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();
// The folder part of a path, up to and including its last delimiter ("" when there is none).
std::string ExtractFilePath(const std::string& path);
// The file name after the last delimiter.
std::string ExtractFileName(const std::string& path);
// path with a trailing delimiter added when it has none (an empty path stays empty).
std::string IncludeTrailingPathDelimiter(const std::string& path);

// The system's temporary folder ($TMPDIR, else /tmp) with a trailing delimiter; empty when the
// result would not fit in 128 characters, like the system call it stands for.
std::string SystemTempFolder();

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Creates one folder; its parent must exist. False on failure (also when it already exists).
bool CreateDir(const std::string& path);
// Bytes free for an unprivileged writer on the file system that holds path; -1 when it cannot
// be told.
int64_t FreeDiskSpace(const std::string& path);

}  // namespace tovenmarsh::platform

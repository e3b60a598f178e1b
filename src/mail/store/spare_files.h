// Spare files: finished queue and state files emptied and kept for the next new file of the
// queue, instead of being deleted and created anew.
//
// A new file costs the file system an inode. Some (ext4 without a journal among them) pass over
// every inode freed in the last minutes when they look for a free one, so under a steady flow of
// mail each create grew slower with every file deleted before it. A spare keeps its inode.
// Spares live in a subfolder of their own, never in the folders the queue scans; nothing in them
// is kept across a restart (the start removes them).
#pragma once

#include <string>

namespace tovenmarsh::mail {

inline constexpr const char* kSpareSubfolder = "spare/";

// Takes path out of its folder as deleting it would (false when it is still there): moved into
// spareFolder and emptied, and kept for TakeSpare; deleted when enough spares are kept already
// or the move fails.
bool RetireFile(const std::string& path, const std::string& spareFolder);

// A spare kept in spareFolder, now the caller's (an empty file; gone should the folder have
// been removed meanwhile); empty when there is none.
std::string TakeSpare(const std::string& spareFolder);

// Gives back a spare that TakeSpare handed out and that was not used.
void ReturnSpare(const std::string& spareFolder, std::string path);

}  // namespace tovenmarsh::mail

// The default web folder: the page template, the search form, the style sheet and the menu
// script that the pages need, compiled into the program from webroot/.
//
// Contract: InstallDefaultWebFiles writes into the web folder each default file that is
// missing there and never touches a file that exists (whatever its contents: the user may
// have changed it). A file it cannot write is logged and left out; the server still starts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tovenmarsh::web {

struct TDefaultWebFile {
  std::string name;
  std::string_view bytes;
};

const std::vector<TDefaultWebFile>& DefaultWebFiles();

// Writes the missing default files into folder (a path ending in "/"); the names written.
std::vector<std::string> InstallDefaultWebFiles(const std::string& folder);
// The same into the installation's web folder.
std::vector<std::string> InstallDefaultWebFiles();

}  // namespace tovenmarsh::web

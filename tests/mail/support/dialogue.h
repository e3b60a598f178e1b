// Drives a protocol object without a network: the greeting, then for each step the client's
// bytes as one read round, a run, and the bytes the object answered (with its farewell when
// the round ended the connection), compared with what the table expects.
#pragma once

#include <string>
#include <vector>

#include "core/tcp_server.h"

namespace tovenmarsh::mail::testing {

struct TDialogueStep {
  std::string client;    // one read round ("" for the greeting step)
  std::string expected;  // every byte answered to it
};

// Runs the steps; the first must have an empty client text and expects the greeting.
// Answers whether the connection was ended (QUIT or an exception).
bool RunDialogue(core::TTCPServer& server, const std::vector<TDialogueStep>& steps);
// One read round; answers the output (farewell included when the round ended the connection).
std::string Exchange(core::TTCPServer& server, const std::string& client, bool* ended = nullptr);

}  // namespace tovenmarsh::mail::testing

#include "support/dialogue.h"

#include <gtest/gtest.h>

#include "core/server_errors.h"

namespace tovenmarsh::mail::testing {

std::string Exchange(core::TTCPServer& server, const std::string& client, bool* ended) {
  server.Output().Clear();
  server.Input().Clear();
  server.Input().AddText(client);
  bool end = false;
  try {
    end = !server.Run();
  } catch (const core::ETCPServer&) {
    end = true;
  }
  std::string answer = server.Output().GetText();
  server.Output().Clear();
  if (end || server.CloseRequested()) {
    end = true;
    if (server.Farewell()) answer += server.Output().GetText();
    server.Output().Clear();
  }
  if (ended != nullptr) *ended = end;
  return answer;
}

bool RunDialogue(core::TTCPServer& server, const std::vector<TDialogueStep>& steps) {
  bool ended = false;
  for (size_t i = 0; i < steps.size(); ++i) {
    const TDialogueStep& step = steps[i];
    SCOPED_TRACE("step " + std::to_string(i) + ": " + step.client);
    if (i == 0 && step.client.empty()) {
      server.Output().Clear();
      EXPECT_TRUE(server.Greeting());
      EXPECT_EQ(server.Output().GetText(), step.expected);
      server.Output().Clear();
      continue;
    }
    EXPECT_FALSE(ended) << "the connection ended before this step";
    EXPECT_EQ(Exchange(server, step.client, &ended), step.expected);
  }
  return ended;
}

}  // namespace tovenmarsh::mail::testing

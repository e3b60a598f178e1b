#include "core/control_window.h"

#include <gtest/gtest.h>

#include <csignal>

#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/system_parameters.h"
#include "platform/exception.h"

namespace tovenmarsh::core {
namespace {

// A server that only records what the window asked of it.
struct FakeServer {
  bool running = false;
  bool failNextStart = false;
  bool failNextStop = false;
  std::vector<std::string> calls;

  TServerControl Control() {
    return TServerControl{[this] {
                            calls.push_back("start");
                            if (failNextStart) {
                              failNextStart = false;
                              throw platform::Exception("start failed");
                            }
                            running = true;
                          },
                          [this] {
                            calls.push_back("stop");
                            running = false;  // a stop always ends not running
                            if (failNextStop) {
                              failNextStop = false;
                              throw platform::Exception("stop failed");
                            }
                          },
                          [this] { return running; }};
  }
};

std::string Plain(const std::string& frame) { return std::regex_replace(frame, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "\n"); }

TEST(ControlWindow, CreationStartsTheServerAndTheButtonsFollowTheToggle) {
  FakeServer server;
  Tdialogfm window(Tdialogfm::TMode::Headless, server.Control());
  EXPECT_EQ(server.calls, std::vector<std::string>{"start"});
  EXPECT_EQ(window.StatusText(), "Server is running");
  EXPECT_FALSE(window.StartEnabled());
  EXPECT_TRUE(window.StopEnabled());

  window.StopButtonClick();
  EXPECT_EQ(window.StatusText(), "Server is not running");
  EXPECT_TRUE(window.StartEnabled());
  EXPECT_FALSE(window.StopEnabled());
  window.KeyPress('t');  // Stop is disabled now: nothing happens
  EXPECT_EQ(server.calls.size(), 2u);
  window.KeyPress('s');
  EXPECT_EQ(window.StatusText(), "Server is running");
  window.SvrOvcButtonHeaderClick();
  EXPECT_EQ(server.calls, (std::vector<std::string>{"start", "stop", "start", "stop"}));
}

TEST(ControlWindow, ClosingIsRefusedWhileRunning) {
  FakeServer server;
  Tdialogfm window(Tdialogfm::TMode::Headless, server.Control());
  window.ExitButtonClick();
  EXPECT_FALSE(window.Closed());
  EXPECT_EQ(window.StatusText(), "Stop server first to exit application");
  window.KeyPress('t');
  window.KeyPress('x');
  EXPECT_TRUE(window.Closed());
}

TEST(ControlWindow, AFailedStartShowsTheErrorAndCanBeTriedAgain) {
  FakeServer server;
  server.failNextStart = true;
  Tdialogfm window(Tdialogfm::TMode::Headless, server.Control());
  EXPECT_EQ(window.StatusText(), "Error has occurred, check logfile");
  EXPECT_TRUE(window.StartEnabled());
  EXPECT_FALSE(window.StopEnabled()) << "nothing runs that Stop could stop";
  EXPECT_THROW(
      {
        server.failNextStart = true;
        window.StartButtonClick();
      },
      platform::Exception);
  EXPECT_EQ(window.StatusText(), "Error has occurred, check logfile");
  window.KeyPress('S');
  EXPECT_EQ(window.StatusText(), "Server is running");
}

TEST(ControlWindow, AFailedStopStillLetsTheWindowClose) {
  FakeServer server;
  Tdialogfm window(Tdialogfm::TMode::Headless, server.Control());
  server.failNextStop = true;
  EXPECT_THROW(window.StopButtonClick(), platform::Exception);
  EXPECT_EQ(window.StatusText(), "Error has occurred, check logfile");
  // The server is stopped after all: Start is the button to press, and Stop does nothing
  // (it must not start the server again).
  EXPECT_TRUE(window.StartEnabled());
  EXPECT_FALSE(window.StopEnabled());
  window.KeyPress('t');
  EXPECT_EQ(server.calls, (std::vector<std::string>{"start", "stop"}));
  EXPECT_FALSE(server.running);
  EXPECT_TRUE(window.FormClose());
}

TEST(ControlWindow, DestructionStopsARunningServer) {
  FakeServer server;
  { Tdialogfm window(Tdialogfm::TMode::Headless, server.Control()); }
  EXPECT_EQ(server.calls, (std::vector<std::string>{"start", "stop"}));
  EXPECT_FALSE(server.running);
}

TEST(ControlWindow, SignalsRestartAndStopTheServerAndCloseTheWindow) {
  FakeServer server;
  Tdialogfm window(Tdialogfm::TMode::Headless, server.Control());
  // The window blocked these; they wait for its loop, which reads them in signal order.
  raise(SIGHUP);
  raise(SIGTERM);
  EXPECT_EQ(window.Run(), 0);
  EXPECT_TRUE(window.Closed());
  EXPECT_EQ(server.calls, (std::vector<std::string>{"start", "stop", "start", "stop"}));
}

TEST(ControlWindow, SigintClosesEvenWhenTheStopFails) {
  FakeServer server;
  Tdialogfm window(Tdialogfm::TMode::Headless, server.Control());
  server.failNextStop = true;
  raise(SIGINT);
  EXPECT_EQ(window.Run(), 1);
  EXPECT_TRUE(window.Closed());
  EXPECT_FALSE(server.running);
}

TEST(ControlWindow, SighupStartsAServerThatIsNotRunning) {
  FakeServer server;
  server.failNextStart = true;
  Tdialogfm window(Tdialogfm::TMode::Headless, server.Control());
  EXPECT_FALSE(server.running);
  raise(SIGHUP);
  raise(SIGTERM);
  EXPECT_EQ(window.Run(), 0);
  EXPECT_EQ(server.calls, (std::vector<std::string>{"start", "start", "stop"}));
}

TEST(ControlWindow, TimerCopiesTheCountersAndHidingStopsIt) {
  FakeServer server;
  Tdialogfm window(Tdialogfm::TMode::Headless, server.Control());
  CountConnection(true, ckSMTP);
  CountConnection(true, ckSMTP);
  CountConnection(false, ckSMTP);
  CountConnection(true, ckRelay);
  window.SysInfoTimerTimer();
  EXPECT_EQ(window.CurrentLabel(2), "1");
  EXPECT_EQ(window.PeakLabel(2), "2");
  EXPECT_EQ(window.CurrentLabel(5), "1");
  EXPECT_EQ(window.CurrentLabel(1), "0");
  CountConnection(false, ckRelay);

  EXPECT_TRUE(window.TimerEnabled());
  window.HideLabelClick();
  EXPECT_TRUE(window.Minimized());
  EXPECT_FALSE(window.TimerEnabled());
  EXPECT_NE(Plain(window.Render(80, 24)).find("tovenmarsh (hidden)"), std::string::npos);
  window.KeyPress('q');  // any key shows the window again
  EXPECT_FALSE(window.Minimized());
  EXPECT_TRUE(window.TimerEnabled());
}

TEST(ControlWindow, TerminalFrameShowsEveryTextAndTheSwitches) {
  FakeServer server;
  Tdialogfm window(Tdialogfm::TMode::Headless, server.Control());
  window.SysInfoTimerTimer();
  const std::string frame = Plain(window.Render(100, 30));
  for (const char* text : {"tovenmarsh", "[S] Start", "[T] Stop", "[X] Exit", "[H] Hide", "System information", "Now",
                           "Peak", "Threads", "HTTP connections", "SMTP connections", "POP3 connections",
                           "POPMail tasks", "Relay tasks", "[N] >>", "Server is running"}) {
    EXPECT_NE(frame.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(frame.find("About tovenmarsh "), std::string::npos);
  window.KeyPress('n');
  EXPECT_FALSE(window.SysInfoVisible());
  const std::string about = Plain(window.Render(100, 30));
  EXPECT_NE(about.find("About tovenmarsh "), std::string::npos);
  EXPECT_EQ(about.find("System information"), std::string::npos);
  window.KeyPress('>');
  EXPECT_TRUE(window.SysInfoVisible());
  // Every row of the window is equally wide (buttons dimmed or not, either group shown), and
  // it fits 80x24.
  window.KeyPress('t');
  for (int view = 0; view < 2; ++view) {
    const std::string raw = window.Render(80, 24);
    const std::regex position("\x1b\\[(\\d+);(\\d+)H");
    std::vector<std::string> rows;
    std::vector<int> lineNumbers;
    std::sregex_token_iterator parts(raw.begin(), raw.end(), position, {-1, 1});
    ++parts;  // what precedes the first row: the screen set-up
    for (std::sregex_token_iterator end; parts != end; ++parts) {
      lineNumbers.push_back(std::stoi(*parts));
      if (++parts == end) break;
      rows.push_back(std::regex_replace(std::string(*parts), std::regex("\x1b\\[[0-9;]*m"), ""));
    }
    ASSERT_GE(rows.size(), 16u);
    for (const std::string& r : rows) EXPECT_EQ(r.size(), rows.front().size()) << r;
    EXPECT_LE(lineNumbers.back(), 24);
    EXPECT_LE(rows.front().size(), 80u);
    window.KeyPress('n');
  }
}

}  // namespace
}  // namespace tovenmarsh::core

// The program entry: the control window, drawn in the terminal when there is one, else headless;
// the process ends when the window closes.
#include <string>
#include <vector>

#include "core/control_window.h"
#include "core/server_control.h"

int main(int argc, char** argv) {
  using tovenmarsh::core::Tdialogfm;
  tovenmarsh::core::SetProgramArguments(std::vector<std::string>(argv + 1, argv + argc));
  Tdialogfm window(tovenmarsh::core::HasTerminal() ? Tdialogfm::TMode::Terminal : Tdialogfm::TMode::Headless);
  return window.Run();
}

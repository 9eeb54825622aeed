#include "sim/scenario.h"

bool RunScenario(Simulator& simulator, std::istream& lines,
                 const std::function<void(double)>& sleep, std::string& error,
                 const std::function<bool()>& stop) {
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (stop && stop()) return true;
    Command command;
    std::string why;
    if (!ParseCommand(line, command, why) || !simulator.Execute(command, why)) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
    if (command.kind == Command::Kind::kWait) sleep(command.value);
  }
  return true;
}

#include "tools/cli/run_command.h"

#include "console/console_output.h"
#include "runtime/config_check.h"
#include "runtime/system_config.h"
#include "tools/replay/session_capture.h"

namespace cli {

int RunConfigured(const std::vector<std::string>& files, const PollingOptions& options,
                  std::ostream& out, std::ostream& err, const std::atomic<bool>& interrupted) {
  runtime::LoadedConfig loaded = runtime::LoadConfigFiles(files);
  std::vector<runtime::SystemConfig>& systems = loaded.systems;
  std::vector<runtime::ConfigProblem>& problems = loaded.problems;
  // What check refuses (also across files); a missing port is left to its
  // opening, which names the system's reason.
  runtime::RefuseSharedDataIds(systems, problems);
  runtime::RefuseSharedPorts(systems, problems);
  runtime::RefuseBadPorts(systems, problems, false);
  PollingSession session(WithFileSettings(options, loaded.settings), out, err);
  runtime::ConsoleOutput& output = session.Console();
  const int prepared = session.Prepare(systems, problems);
  if (prepared != 0) return prepared;
  runtime::Runtime& host = session.Host();
  replay::SessionCapture capture;
  std::string error;
  if (!options.capture.empty() &&
      !capture.Start(host, session.Store().get(), options.capture, error)) {
    output.Problem("", error);
    return replay::kCaptureFailed;
  }
  const int result = host.Run(interrupted);
  if (!capture.Finish(error)) {
    output.Problem("", error);
    return result == 0 ? replay::kCaptureFailed : result;
  }
  return result;
}

}  // namespace cli

#include "tools/cli/run_command.h"

#include "tools/replay/session_capture.h"
#include "tools/runtime/console_output.h"
#include "tools/runtime/system_config.h"

namespace cli {

int RunConfigured(const std::vector<std::string>& files, const PollingOptions& options,
                  std::ostream& out, std::ostream& err, const std::atomic<bool>& interrupted) {
  std::vector<runtime::SystemConfig> systems;
  std::vector<runtime::ConfigProblem> problems;
  for (const std::string& file : files) {
    runtime::LoadedConfig loaded = runtime::LoadConfigFile(file);
    for (runtime::SystemConfig& system : loaded.systems) systems.push_back(std::move(system));
    for (runtime::ConfigProblem& problem : loaded.problems) problems.push_back(std::move(problem));
  }
  runtime::RefuseRepeatedNames(systems, problems);  // also across files
  runtime::ConsoleOutput output(out, err, options.json, !options.quiet_log);
  runtime::Runtime host(ToRuntimeOptions(options), output);
  const int prepared = host.Prepare(systems, problems);
  if (prepared != 0) return prepared;
  replay::SessionCapture capture;
  std::string error;
  if (!options.capture.empty() && !capture.Start(host, options.capture, error)) {
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

#include "tools/cli/replay_command.h"

#include <iostream>

#include "tools/plugin_loader.h"
#include "tools/replay/replayer.h"
#include "tools/runtime/bounded_read.h"
#include "tools/runtime/exit_codes.h"

namespace cli {

CLI::App* AddReplayCommand(CLI::App& app, ReplayOptions& options) {
  CLI::App* command = app.add_subcommand(
      "replay", "drive one bus device from a JSON script and print every host call as JSON lines");
  command->fallthrough();
  command->add_option("script", options.script, "replay script (\"-\": standard input)")
      ->required();
  command->footer(
      "The script is at most " + std::to_string(replay::kMaxScriptBytes) +
      " bytes. SIGINT, SIGTERM and SIGHUP stop the replay after the running step.\nExit codes: 0 "
      "done; 1 the device cannot be made or refuses its configuration; 2 the script is wrong, "
      "cannot be read or is too large; 3 plug-in cannot be loaded; 6 interrupted by a signal; 7 "
      "the device failed with an exception.");
  return command;
}

int RunReplay(const ReplayOptions& options, const std::string& plugin_path, std::ostream& out,
              std::ostream& err, const std::atomic<bool>& interrupted) {
  std::string text, problem;
  const bool read =
      options.script == "-"
          ? runtime::ReadStreamBounded(std::cin, replay::kMaxScriptBytes, text, problem)
          : runtime::ReadFileBounded(options.script, replay::kMaxScriptBytes, text, problem);
  if (!read) {
    err << "korvan-host: replay: " << (options.script == "-" ? "standard input" : options.script)
        << ": " << problem << "\n";
    return replay::kScriptError;
  }
  replay::Script script;
  replay::ScriptError error;
  if (!replay::ParseScript(text, script, error)) {
    err << "korvan-host: replay: " << error.Text() << "\n";
    return replay::kScriptError;
  }
  PluginLoader loader;
  if (!loader.Load(plugin_path, problem)) {
    err << "korvan-host: " << problem << "\n";
    return runtime::exit_codes::kPlugin;
  }
  return replay::RunScript(script, loader.GetProviders(), out, err, &interrupted);
}

}  // namespace cli

#include "tools/cli/replay_command.h"

#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/plugin_loader.h"
#include "tools/replay/replayer.h"
#include "tools/runtime/exit_codes.h"

namespace cli {

CLI::App* AddReplayCommand(CLI::App& app, ReplayOptions& options) {
  CLI::App* command = app.add_subcommand(
      "replay", "drive one bus device from a JSON script and print every host call as JSON lines");
  command->fallthrough();
  command->add_option("script", options.script, "replay script (\"-\": standard input)")
      ->required();
  command->footer(
      "Exit codes: 0 done; 1 the device cannot be made or refuses its configuration; 2 the "
      "script is wrong; 3 plug-in cannot be loaded.");
  return command;
}

int RunReplay(const ReplayOptions& options, const std::string& plugin_path, std::ostream& out,
              std::ostream& err) {
  std::ostringstream text;
  if (options.script == "-") {
    text << std::cin.rdbuf();
  } else {
    std::ifstream file(options.script, std::ios::binary);
    if (!file) {
      err << "korvan-host: replay: cannot read " << options.script << "\n";
      return replay::kScriptError;
    }
    text << file.rdbuf();
  }
  replay::Script script;
  replay::ScriptError error;
  if (!replay::ParseScript(text.str(), script, error)) {
    err << "korvan-host: replay: " << error.Text() << "\n";
    return replay::kScriptError;
  }
  PluginLoader loader;
  std::string problem;
  if (!loader.Load(plugin_path, problem)) {
    err << "korvan-host: " << problem << "\n";
    return runtime::exit_codes::kPlugin;
  }
  return replay::RunScript(script, loader.GetProviders(), out, err);
}

}  // namespace cli

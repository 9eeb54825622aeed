#include "tools/cli/host_cli.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "records/vocabulary.h"
#include "runtime/exit_codes.h"
#include "tools/cli/alarms_command.h"
#include "tools/cli/check_command.h"
#include "tools/cli/decode_command.h"
#include "tools/cli/get_command.h"
#include "tools/cli/history_command.h"
#include "tools/cli/polling_options.h"
#include "tools/cli/providers_command.h"
#include "tools/cli/replay_command.h"
#include "tools/cli/run_command.h"
#include "tools/cli/simulate_command.h"
#include "tools/plugin_loader.h"

namespace cli {

namespace {

// The parser reports a word that names no command as a missing command (106);
// name the word instead and give the code of unexpected arguments.
int RefuseUnknownCommand(const CLI::App& app, int argc, const char* const* argv,
                         std::ostream& err) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--plugin") {
      ++i;  // its value
      continue;
    }
    if (arg.rfind("--plugin=", 0) == 0) continue;
    std::string commands;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
      commands += (commands.empty() ? "" : ", ") + command->get_name();
    if (arg.empty() || arg[0] != '-')
      err << "korvan-host: unknown command \"" << arg << "\" (commands: " << commands << ")\n";
    else
      err << "korvan-host: unknown option " << arg << " before the command (commands: " << commands
          << ")\n";
    return static_cast<int>(CLI::ExitCodes::ExtrasError);
  }
  return 0;
}

int RunCommand(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
               const std::atomic<bool>& interrupted) {
  CLI::App app{"korvan-host: monitoring-controller host for the KORVAN power-system plug-in"};
  PollingOptions polling;
  polling.plugin_path = DefaultPluginPath();
  // No default shown: it is a path of the machine the program runs on.
  app.add_option("--plugin", polling.plugin_path,
                 "plug-in library to load (default: " KORVAN_DEFAULT_PLUGIN
                 " beside the program, else in " KORVAN_PLUGIN_INSTALL_DIR " from it)");
  app.set_version_flag("--version", "korvan-host " KORVAN_VERSION);
  app.require_subcommand(1);
  app.footer(
      "SIGINT, SIGTERM and SIGHUP end polling cleanly (exit code 0, or 8 before --cycles N) and "
      "stop a replay (6).\n"
      "Exit codes: 0 done; 1 no power system can run, a port not opened; 2 database cannot be "
      "opened or is "
      "corrupt; 3 plug-in cannot be loaded; 4 simulator cannot start; 5 a capture file cannot "
      "be written; 6 replay interrupted; 7 unexpected failure; 8 --cycles N not reached by every "
      "system (communication lost, a configuration that does not fit, or --seconds or a signal "
      "first); 9 check: a file or system refused, run: every system refused by its configuration; "
      "10 the HTTP server cannot start (--http: a bad "
      "or taken address, a non-loopback address without an auth file, an unreadable auth "
      "file); 11 the MQTT uplink's URL, credentials or CA file wrong; 14 to 17 get: the server "
      "unreachable, no such system, no such value, stale values (korvan-host get --help); 18 the NUT server cannot start (--nut: a bad or "
      "taken address, a non-loopback address without a users file, an unreadable users file); 19 the SNMP agent's settings refused (--snmp-agentx). "
      "The "
      "command line's own "
      "(CLI11): 100 and "
      "above; 104 a value of the wrong type, 105 a value out of range or refused (such as a "
      "bad time or an unknown field), 106 a required option or the command missing, 107/108 "
      "options that need or exclude each other, 109 unexpected arguments (also an unknown "
      "command), 114 a wrong number of values.");

  CLI::App* providers = app.add_subcommand("providers", "list the plug-in's device providers");
  providers->fallthrough();

  std::vector<std::string> config_files;
  CLI::App* run = app.add_subcommand(
      "run", "poll the power systems of configuration files on their serial ports");
  run->fallthrough();
  run->add_option("--config", config_files, "configuration file (JSON; repeat for several files)")
      ->required();
  AddPollingOptions(*run, polling);

  SimulateOptions simulate;
  CLI::App* simulated = app.add_subcommand(
      "simulate", "start the built-in power-system simulator on a pseudo-terminal and poll it");
  simulated->fallthrough();
  simulated
      ->add_option("--ac", simulate.ac,
                   "channels of each AC unit, comma-separated (\"none\": no AC unit)")
      ->capture_default_str();
  simulated->add_option("--dc", simulate.dc_units, "DC units (0 to 3)")->capture_default_str();
  simulated->add_option("--rc", simulate.rectifier_modules, "rectifier modules")
      ->capture_default_str();
  simulated->add_option("--model", simulate.model, "model name the simulator reports")
      ->capture_default_str();
  simulated
      ->add_option("--data-id", simulate.data_id,
                   "data id of the power system (AC units 11, 12.., DC units 21, 22..)")
      ->capture_default_str();
  simulated->add_option("--scenario", simulate.scenario,
                        "scenario file of simulator commands played while polling");
  simulated->add_option("--set", simulate.settings,
                        "simulator command applied at start, e.g. \"rectifier-fault 2 on\" "
                        "(repeatable)");
  simulated->add_flag("--silent", simulate.silent, "the simulator does not answer");
  simulated
      ->add_option("--protocol-version", simulate.protocol_version,
                   "protocol version byte that both ends speak (21h: DC requests carry FFh)")
      ->capture_default_str();
  AddPollingOptions(*simulated, polling);

  ReplayOptions replay;
  CLI::App* replayed = AddReplayCommand(app, replay);
  DecodeOptions decode;
  CLI::App* decoded = AddDecodeCommand(app, decode);
  HistoryOptions history;
  CLI::App* listed = AddHistoryCommand(app, history);
  AlarmsOptions alarms;
  CLI::App* alarmed = AddAlarmsCommand(app, alarms);
  CheckOptions check;
  CLI::App* checked = AddCheckCommand(app, check);
  GetOptions get;
  CLI::App* got = AddGetCommand(app, get);
  CLI::App* named = app.add_subcommand(
      "list", "list the names of the values a power system reports, with unit and meaning");
  named->footer(
      "One line per name: NAME, UNIT (- for flags, states and counts), MEANING and SOURCE (the "
      "record type and field, and the point read's name; = for a standard name taken from "
      "another). {u} is an AC or DC unit's place in its system's configuration, {n} a channel, "
      "battery, fuse or module, both from 1.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&error))
      if (int code = RefuseUnknownCommand(app, argc, argv, err)) return code;
    return app.exit(error, out, err);
  }
  if (providers->parsed()) return ListProviders(polling.plugin_path, out, err);
  if (checked->parsed()) return RunCheck(check, polling.plugin_path, out, err);
  if (run->parsed()) return RunConfigured(config_files, polling, out, err, interrupted);
  if (replayed->parsed()) return RunReplay(replay, polling.plugin_path, out, err, interrupted);
  if (decoded->parsed()) return RunDecode(decode, std::cin, out, err);
  if (listed->parsed()) return RunHistory(history, out, err);
  if (alarmed->parsed()) return RunAlarms(alarms, out, err);
  if (got->parsed()) return RunGet(get, out, err);
  if (named->parsed()) {
    out << vocabulary::TableText();
    return runtime::exit_codes::kOk;
  }
  return RunSimulated(simulate, polling, out, err, interrupted);
}

}  // namespace

int RunHostCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
               const std::atomic<bool>& interrupted) {
  // The commands report what they expect to go wrong; anything else that
  // escapes them is reported here instead of aborting the program.
  try {
    return RunCommand(argc, argv, out, err, interrupted);
  } catch (const std::exception& failure) {
    err << "korvan-host: unexpected failure: " << failure.what() << "\n";
  } catch (...) {
    err << "korvan-host: unexpected failure\n";
  }
  return runtime::exit_codes::kUnexpected;
}

}  // namespace cli

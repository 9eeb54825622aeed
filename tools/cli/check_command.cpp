#include "tools/cli/check_command.h"

#include <unistd.h>

#include "http/http_settings.h"
#include "mqtt/mqtt_uplink.h"
#include "nut/nut_server.h"
#include "runtime/config_check.h"
#include "runtime/exit_codes.h"
#include "runtime/power_system.h"
#include "tools/cli/polling_options.h"
#include "tools/plugin_loader.h"

namespace cli {

CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options) {
  CLI::App* command = app.add_subcommand(
      "check", "validate configuration files as run would, without opening a port");
  command->fallthrough();
  command->add_option("--config", options.files, "configuration file (repeat for several files)")
      ->required();
  command->add_flag("--no-ports", options.no_ports,
                    "do not look at the serial ports (checking on another machine)");
  command
      ->add_option("--service-groups", options.service_groups,
                   "the groups korvan.service runs in (default dialout): as root, or with this "
                   "option, each port must be readable and writable by them")
      ->delimiter(',')
      ->each([&options](const std::string&) { options.service_groups_given = true; });
  command->footer(
      "Prints what each system will poll, and every problem on standard error.\n"
      "Exit codes: 0 every system is valid; 3 the plug-in cannot be loaded; 9 a file or a "
      "system is refused; 100 and above: wrong command line (106: no --config).");
  return command;
}

int RunCheck(const CheckOptions& options, const std::string& plugin_path, std::ostream& out,
             std::ostream& err) {
  runtime::LoadedConfig loaded = runtime::LoadConfigFiles(options.files);
  std::vector<runtime::SystemConfig>& systems = loaded.systems;
  std::vector<runtime::ConfigProblem>& problems = loaded.problems;
  runtime::RefuseSharedDataIds(systems, problems);
  runtime::RefuseSharedPorts(systems, problems);
  if (!options.no_ports) {
    runtime::RefuseBadPorts(systems, problems, true);
    // Root opens any port; the service, a user of its own, only what its groups may.
    if (geteuid() == 0 || options.service_groups_given) {
      std::vector<runtime::SystemConfig> kept;
      for (runtime::SystemConfig& system : systems) {
        std::string reason = runtime::ServiceAccessProblem(system.port, options.service_groups);
        if (reason.empty()) {
          kept.push_back(std::move(system));
        } else {
          problems.push_back({system.file, system.name, std::move(reason)});
        }
      }
      systems = std::move(kept);
    }
  }

  // The runtime's settings, refused for what would stop run (exit codes 10, 11).
  const PollingOptions settings = WithFileSettings(PollingOptions{}, loaded.settings);
  if (!settings.http_listen.empty()) {
    const std::string reason =
        http_output::CheckHttpSettings(settings.http_listen, settings.http_auth_file);
    if (!reason.empty()) problems.push_back({loaded.settings.http_file, "", reason});
  }
  if (!settings.nut_listen.empty()) {
    const std::string reason = nut::CheckNutSettings(settings.nut_listen, settings.nut_users_file,
                                                     settings.nut_low_battery.value_or(0));
    if (!reason.empty()) problems.push_back({loaded.settings.nut_file, "", reason});
  }
  if (!settings.snmp_agentx.empty()) {
    std::vector<std::string> names;
    for (const runtime::SystemConfig& system : loaded.systems) names.push_back(system.name);
    const std::string reason = snmp::CheckSnmpSettings(SnmpOptionsOf(settings), names);
    if (!reason.empty()) problems.push_back({loaded.settings.snmp_file, "", reason});
  }
  if (const std::optional<mqtt::UplinkOptions> uplink = ToUplinkOptions(settings)) {
    const std::string reason = mqtt::CheckUplinkOptions(*uplink);
    if (!reason.empty()) problems.push_back({loaded.settings.mqtt_file, "", reason});
  }

  PluginLoader loader;
  std::string error;
  if (!loader.Load(plugin_path, error)) {
    err << "korvan-host: check: " << error << "\n";
    return runtime::exit_codes::kPlugin;
  }
  // The bus device is made and configured as run makes it; its port stays closed.
  const ProviderList providers = loader.GetProviders();
  runtime::EventStream events;
  std::size_t ready = 0;
  for (const runtime::SystemConfig& system : systems) {
    runtime::ConfigProblem problem;
    if (!runtime::PowerSystem::Create(system, providers, events, {}, problem)) {
      problems.push_back(problem);
      continue;
    }
    out << runtime::PlanSummary(system) << "\n";
    ++ready;
  }
  for (const runtime::ConfigProblem& problem : problems) {
    err << "korvan-host: check: " << problem.Message() << "\n";
  }
  out << ready << (ready == 1 ? " system" : " systems") << " ready, " << problems.size()
      << (problems.size() == 1 ? " problem" : " problems") << "\n";
  return problems.empty() ? runtime::exit_codes::kOk : runtime::exit_codes::kConfigRefused;
}

}  // namespace cli

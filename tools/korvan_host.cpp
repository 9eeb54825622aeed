// korvan-host: loads the device plug-in as the monitoring controller does.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "host/kmx_spdevice.h"
#include "tools/plugin_loader.h"

namespace {

int ListProviders(const std::string& plugin_path) {
  PluginLoader loader;
  std::string error;
  if (!loader.Load(plugin_path, error)) {
    std::cerr << "korvan-host: " << error << "\n";
    return 1;
  }
  std::cout << "plug-in " << loader.Path() << "\n";
  ProviderList providers = loader.GetProviders();
  for (const std::shared_ptr<Provider>& provider : providers) {
    auto* factory = dynamic_cast<KMXSPDeviceProvider*>(provider.get());
    if (factory == nullptr) {
      std::cout << "  provider without a device factory\n";
      continue;
    }
    std::unique_ptr<KMXSPDevice> device(factory->create());
    std::cout << "  provider makes device type \"" << device->DeviceType() << "\"\n";
  }
  return providers.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"korvan-host: monitoring-controller host for the KORVAN power-system plug-in"};
  std::string plugin_path = DefaultPluginPath();
  app.add_option("--plugin", plugin_path, "plug-in library to load")->capture_default_str();
  app.require_subcommand(1);
  CLI::App* providers = app.add_subcommand("providers", "list the plug-in's device providers");
  CLI11_PARSE(app, argc, argv);
  if (providers->parsed()) return ListProviders(plugin_path);
  return 2;
}

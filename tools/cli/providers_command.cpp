#include "tools/cli/providers_command.h"

#include <memory>

#include "host/kmx_spdevice.h"
#include "host/provider.h"
#include "runtime/exit_codes.h"
#include "tools/plugin_loader.h"

namespace cli {

int ListProviders(const std::string& plugin_path, std::ostream& out, std::ostream& err) {
  PluginLoader loader;
  std::string error;
  if (!loader.Load(plugin_path, error)) {
    err << "korvan-host: " << error << "\n";
    return runtime::exit_codes::kPlugin;
  }
  out << "plug-in " << loader.Path() << "\n";
  ProviderList providers = loader.GetProviders();
  for (const std::shared_ptr<Provider>& provider : providers) {
    auto* factory = dynamic_cast<KMXSPDeviceProvider*>(provider.get());
    if (factory == nullptr) {
      out << "  provider without a device factory\n";
      continue;
    }
    std::unique_ptr<KMXSPDevice> device(factory->create());
    out << "  provider makes device type \"" << device->DeviceType() << "\"\n";
  }
  return providers.empty() ? runtime::exit_codes::kPlugin : runtime::exit_codes::kOk;
}

}  // namespace cli

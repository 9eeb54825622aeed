#include "tools/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "host/provider.h"

PluginLoader::~PluginLoader() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool PluginLoader::Load(const std::string& path, std::string& error) {
  path_ = path;
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    error = "cannot load plug-in " + path + ": " + (reason ? reason : "unknown error");
    return false;
  }
  dlerror();
  void* symbol = dlsym(handle_, kGetProvidersSymbol);
  if (symbol == nullptr) {
    error = "plug-in " + path + " does not export " + kGetProvidersSymbol;
    dlclose(handle_);
    handle_ = nullptr;
    return false;
  }
  get_providers_ = reinterpret_cast<GetProvidersFunction>(symbol);
  return true;
}

ProviderList PluginLoader::GetProviders() const {
  return get_providers_ ? get_providers_() : ProviderList{};
}

std::string DefaultPluginPath() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string directory = ".";
  if (length > 0) {
    std::string program(self, static_cast<std::size_t>(length));
    const std::size_t slash = program.rfind('/');
    if (slash != std::string::npos) directory = program.substr(0, slash);
  }
  const std::string beside = directory + "/" + KORVAN_DEFAULT_PLUGIN;
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return directory + "/" + KORVAN_PLUGIN_INSTALL_DIR + "/" + KORVAN_DEFAULT_PLUGIN;
}

std::shared_ptr<KMXSPDevice> MakeDevice(const ProviderList& providers, const std::string& type) {
  for (const std::shared_ptr<Provider>& provider : providers) {
    auto* factory = dynamic_cast<KMXSPDeviceProvider*>(provider.get());
    if (factory == nullptr) continue;
    std::shared_ptr<KMXSPDevice> device(factory->create());
    if (device && device->DeviceType() == type) return device;
  }
  return nullptr;
}

#pragma once

#include <memory>
#include <string>

#include "host/kmx_spdevice.h"
#include "host/plugin_entry.h"

// A device plug-in loaded with dlopen. The library stays loaded for the
// life of this object; providers and devices made from it must be released
// before it is.
class PluginLoader {
 public:
  PluginLoader() = default;
  ~PluginLoader();
  PluginLoader(const PluginLoader&) = delete;
  PluginLoader& operator=(const PluginLoader&) = delete;

  // Loads the library and resolves get_providers; false with a message naming
  // the path and the loader's reason.
  bool Load(const std::string& path, std::string& error);
  ProviderList GetProviders() const;
  const std::string& Path() const { return path_; }

 private:
  void* handle_ = nullptr;
  GetProvidersFunction get_providers_ = nullptr;
  std::string path_;
};

// A new device of device type `type` from the provider that makes it; null
// when none does.
std::shared_ptr<KMXSPDevice> MakeDevice(const ProviderList& providers, const std::string& type);

// The plug-in beside the running program (the build tree), else the one in the
// private library folder relative to it (an installed tree, wherever it is).
std::string DefaultPluginPath();

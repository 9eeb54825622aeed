#include <memory>
#include <vector>

#include "host/plugin_entry.h"
#include "plugin/providers.h"

// The entry point keeps its plain C name so that the host finds it with dlsym;
// it still returns a C++ value, as the host expects.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
  ProviderList providers;
  providers.reserve(4);
  providers.push_back(std::make_shared<KORVANProvider>());
  providers.push_back(std::make_shared<KORVAN_ACProvider>());
  providers.push_back(std::make_shared<KORVAN_DCProvider>());
  providers.push_back(std::make_shared<KORVAN_RCProvider>());
  return providers;
}

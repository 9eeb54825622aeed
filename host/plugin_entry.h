#pragma once

#include <memory>
#include <vector>

#include "host/provider.h"

// The one symbol a device plug-in exports. It returns one provider per kind of
// device the library implements; the caller shares their ownership.
using ProviderList = std::vector<std::shared_ptr<Provider>>;
using GetProvidersFunction = ProviderList (*)();
constexpr const char* kGetProvidersSymbol = "get_providers";

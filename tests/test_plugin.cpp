// The plug-in as the host sees it: loaded with dlopen, entered via get_providers.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "host/kmx_spdevice.h"
#include "host/plugin_entry.h"

namespace {

class LoadedPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(KORVAN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    get_providers_ = reinterpret_cast<GetProvidersFunction>(dlsym(handle_, kGetProvidersSymbol));
    ASSERT_NE(get_providers_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  void* handle_ = nullptr;
  GetProvidersFunction get_providers_ = nullptr;
};

TEST_F(LoadedPlugin, ReturnsFourProvidersInOrderOfDeviceTypes) {
  const ProviderList providers = get_providers_();
  ASSERT_EQ(providers.size(), 4u);
  const char* expected[] = {"korvan", "korvan-ac", "korvan-dc", "korvan-rc"};
  for (std::size_t i = 0; i < providers.size(); ++i) {
    auto* factory = dynamic_cast<KMXSPDeviceProvider*>(providers[i].get());
    ASSERT_NE(factory, nullptr) << "provider " << i;
    std::unique_ptr<KMXSPDevice> device(factory->create());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType(), expected[i]);
    EXPECT_TRUE(device->IsSupportDevice(expected[i]));
  }
}

TEST_F(LoadedPlugin, EachCallMakesNewProvidersAndEachCreateANewDevice) {
  const ProviderList first = get_providers_();
  const ProviderList second = get_providers_();
  ASSERT_EQ(first.size(), 4u);
  ASSERT_EQ(second.size(), 4u);
  std::set<const Provider*> distinct;
  for (const auto& provider : first) distinct.insert(provider.get());
  for (const auto& provider : second) distinct.insert(provider.get());
  EXPECT_EQ(distinct.size(), 8u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(typeid(*first[i]), typeid(*second[i]));
    EXPECT_EQ(first[i].use_count(), 1);
  }

  auto* factory = dynamic_cast<KMXSPDeviceProvider*>(first[1].get());
  ASSERT_NE(factory, nullptr);
  std::unique_ptr<KMXSPDevice> a(factory->create());
  std::unique_ptr<KMXSPDevice> b(factory->create());
  EXPECT_NE(a.get(), b.get());
}

TEST_F(LoadedPlugin, DevicesOutliveTheirProvider) {
  std::unique_ptr<KMXSPDevice> device;
  {
    ProviderList providers = get_providers_();
    device.reset(dynamic_cast<KMXSPDeviceProvider&>(*providers[3]).create());
  }
  EXPECT_EQ(device->DeviceType(), "korvan-rc");
}

}  // namespace

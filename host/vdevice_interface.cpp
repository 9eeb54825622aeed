#include "host/vdevice_interface.h"

#include <stdexcept>

float VDeviceInterface::Get_Value(unsigned int, const std::string&) const {
  throw std::out_of_range("数据未就绪");
}

bool VDeviceInterface::LoadFromCache(const std::string& blob) {
  return LoadFromCache(reinterpret_cast<const unsigned char*>(blob.data()),
                       static_cast<int>(blob.size()));
}

void VDeviceInterface::RoundDone() {}

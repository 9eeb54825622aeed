#include "bus/korvan.h"

KORVAN::KORVAN() : PMBusPower({"KORVAN3"}) {
  device_type_ = "korvan";
  baud_rate_ = 9600;
  port_option_ = 1;
  protocol_version_ = 0x20;
}

KORVAN::~KORVAN() = default;

// The SNMP agent of a build without net-snmp's agent library (a cross build
// whose target lacks it): the settings are refused with the reason.
#include "snmp/snmp_agent.h"

namespace snmp {

struct SnmpAgent::Agent {};

bool SnmpBuilt() {
  return false;
}

std::string CheckSnmpSettings(const SnmpOptions&, const std::vector<std::string>&) {
  return "SNMP agent: this korvan-host was built without net-snmp's agent library";
}

SnmpAgent::SnmpAgent() = default;
SnmpAgent::~SnmpAgent() = default;

bool SnmpAgent::Start(const SnmpOptions& options, runtime::Runtime&, std::string& error) {
  error = CheckSnmpSettings(options, {});
  return false;
}

void SnmpAgent::Stop() {}

}  // namespace snmp

#include "host/pmbus_protocol.h"

#include <algorithm>

namespace pmbus_reply {

std::vector<unsigned char> Build(std::uint8_t version, std::uint8_t address, std::uint8_t group,
                                 std::uint8_t return_code,
                                 const std::vector<unsigned char>& info) {
  const unsigned int length_id = static_cast<unsigned int>(info.size() * 2) & 0x0FFF;
  std::vector<unsigned char> record(kInfoOffset + info.size());
  record[0] = version;
  record[1] = address;
  record[kGroupOffset] = group;
  record[kReturnCodeOffset] = return_code;
  record[kLengthOffset] = static_cast<unsigned char>(length_id & 0xFF);
  record[kLengthOffset + 1] = static_cast<unsigned char>(length_id >> 8);
  std::copy(info.begin(), info.end(), record.begin() + kInfoOffset);
  return record;
}

}  // namespace pmbus_reply

namespace {

// Characters of a request frame: SOI, EOI and the hex pairs of VER, ADR,
// CID1, CID2, LENGTH (2), CHKSUM (2) and INFO.
std::size_t RequestFrameCharacters(int info_length) {
  return 2 + 2 * (8 + static_cast<std::size_t>(info_length));
}

// The longest reply this host waits for, in characters.
constexpr std::size_t kLongestReplyCharacters = 2 + 2 * (8 + 1024);

}  // namespace

PMBusProtocol::PMBusProtocol() = default;

PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value& config) {
  if (!KMXSPDevice::InitSetting(config)) return false;
  if (!config.isObject()) {
    InfoLog("PMBusProtocol: {} configuration is not a JSON object", data_id_);
    return false;
  }
  const Json::Value& address = config["address"];
  if (!address.isNull()) {
    if (!address.isUInt() || address.asUInt() > 0xFF) {
      InfoLog("PMBusProtocol: {} setting \"address\" must be a whole number 0..255", data_id_);
      return false;
    }
    address_ = static_cast<std::uint8_t>(address.asUInt());
  }
  const Json::Value& timeout = config["timeout_ms"];
  if (!timeout.isNull()) {
    if (!timeout.isUInt() || timeout.asUInt() == 0) {
      InfoLog("PMBusProtocol: {} setting \"timeout_ms\" must be a positive whole number",
              data_id_);
      return false;
    }
    SetReplyTimeout(std::chrono::milliseconds(timeout.asUInt()));
    timeout_configured_ = true;
  }
  return true;
}

int PMBusProtocol::process(unsigned char* data, unsigned int length) {
  return DeliverDecodedReply(data, length);
}

int PMBusProtocol::process_error() {
  const unsigned char return_code = reply_[pmbus_reply::kReturnCodeOffset];
  InfoLog("PMBusProtocol: {} reply in step {} has return code {:02X}h", data_id_, polling_step_,
          return_code);
  return 1;
}

void PMBusProtocol::write_pmbus_cmd(unsigned char group, unsigned char command) {
  write_pmbus_cmd(group, command, nullptr, 0);
}

void PMBusProtocol::write_pmbus_cmd(unsigned char group, unsigned char command,
                                    const unsigned char* info, int length) {
  if (info == nullptr || length < 0) length = 0;
  PMBusRequest request;
  request.version = protocol_version_;
  request.address = address_;
  request.group = group;
  request.command = command;
  request.info.assign(info, info + length);

  if (!timeout_configured_) {
    const std::size_t characters = RequestFrameCharacters(length) + kLongestReplyCharacters;
    const long long wire_ms = static_cast<long long>(characters * 10 * 1000 / std::max(1u, baud_rate_));
    SetReplyTimeout(std::chrono::milliseconds(1000 + wire_ms));
  }
  BeginExchange(RequestFrameCharacters(length));
  if (transport_) {
    transport_->SendRequest(request);
  } else {
    InfoLog("PMBusProtocol: {} no transport, request {:02X}h/{:02X}h not sent", data_id_, group,
            command);
  }
}

int PMBusProtocol::DeliverDecodedReply(const unsigned char* record, unsigned int size) {
  if (record == nullptr || size < pmbus_reply::kInfoOffset) {
    InfoLog("PMBusProtocol: {} reply record of {} bytes is too short", data_id_, size);
    return -1;
  }
  const unsigned int length_field =
      record[pmbus_reply::kLengthOffset] | (record[pmbus_reply::kLengthOffset + 1] << 8);
  if ((length_field >> 1) > size - pmbus_reply::kInfoOffset) {
    InfoLog("PMBusProtocol: {} reply record announces {} INFO bytes but holds {}", data_id_,
            length_field >> 1, size - pmbus_reply::kInfoOffset);
    return -1;
  }
  reply_record_.assign(record, record + size);
  reply_ = reply_record_.data();
  EndExchange();
  if (reply_[pmbus_reply::kReturnCodeOffset] != 0) return process_error();

  const std::int32_t step_answered = polling_step_;
  const int result = process_payload();
  // A cycle ended normally when a reply other than the first AC reply ended it.
  if (result == 0 && step_answered != 0) data_ready_ = true;
  return result;
}

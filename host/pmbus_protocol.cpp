#include "host/pmbus_protocol.h"

#include <algorithm>
#include <string>

namespace pmbus_reply {

std::vector<unsigned char> Build(std::uint8_t version, std::uint8_t address, std::uint8_t group,
                                 std::uint8_t return_code, const std::vector<unsigned char>& info) {
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

const char* ReturnCodeName(unsigned char return_code) {
  switch (return_code) {
    case 0x01:
      return "version error";
    case 0x02:
      return "check sum error";
    case 0x03:
      return "length check sum error";
    case 0x04:
      return "invalid CID2";
    case 0x05:
      return "command format error";
    case 0x06:
      return "invalid data";
    default:
      return "unknown return code";
  }
}

}  // namespace

std::optional<std::uint8_t> ParseProtocolVersion(const Json::Value& value) {
  if (value.isIntegral()) {
    if (!value.isUInt() || value.asUInt() > 0xFF) return std::nullopt;
    return static_cast<std::uint8_t>(value.asUInt());
  }
  if (!value.isString()) return std::nullopt;
  // One or two hex digits and the suffix h, as the protocol writes bytes.
  const std::string text = value.asString();
  if (text.size() < 2 || text.size() > 3 || (text.back() != 'h' && text.back() != 'H')) {
    return std::nullopt;
  }
  unsigned int byte = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const char c = text[i];
    unsigned int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned int>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned int>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned int>(c - 'a' + 10);
    } else {
      return std::nullopt;
    }
    byte = byte * 16 + digit;
  }
  return static_cast<std::uint8_t>(byte);
}

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
  const Json::Value& version = config["protocol_version"];
  if (!version.isNull()) {
    std::optional<std::uint8_t> byte = ParseProtocolVersion(version);
    if (!byte) {
      InfoLog(
          "PMBusProtocol: {} setting \"protocol_version\" must be a byte, as hex text such "
          "as \"21h\" or as a number 0..255",
          data_id_);
      return false;
    }
    protocol_version_ = *byte;
  }
  const Json::Value& timeout = config["timeout_ms"];
  if (!timeout.isNull()) {
    if (!timeout.isUInt() || timeout.asUInt() == 0) {
      InfoLog("PMBusProtocol: {} setting \"timeout_ms\" must be a positive whole number", data_id_);
      return false;
    }
    SetReplyTimeout(std::chrono::milliseconds(timeout.asUInt()));
    timeout_configured_ = true;
  }
  return true;
}

int PMBusProtocol::process(unsigned char* data, unsigned int length) {
  if (data == nullptr) return 0;
  const unsigned char* at = data;
  std::size_t left = length;
  int delivered = 0;
  while (decoder_.Next(at, left, decoded_)) {
    if (HandleFrame(decoded_)) ++delivered;
  }
  return delivered;
}

void PMBusProtocol::ClosePort() {
  decoder_.Clear();
  damaged_reply_ = false;
  KMXSPDevice::ClosePort();
}

bool PMBusProtocol::HandleFrame(const pmbus_frame::Decoder::Result& result) {
  using pmbus_frame::Drop;
  if (!result.ok) {
    DropFrame(result.reason, result.header ? &result.frame : nullptr);
    // A damaged frame while a request is outstanding is taken for its reply,
    // unless its header names another device.
    if (IsProcessing() && (!result.header || result.frame.address == address_)) {
      damaged_reply_ = true;
    }
    return false;
  }
  const pmbus_frame::Frame& frame = result.frame;
  if (frame.address != address_) {
    DropFrame(Drop::kWrongAddress, &frame);
    return false;
  }
  if (!IsProcessing()) {
    DropFrame(Drop::kUnsolicited, &frame);
    return false;
  }
  if (IsStalled()) {
    ExpireExchange();
    DropFrame(Drop::kLate, &frame);
    return false;
  }
  counters_.CountGood();
  // Decoded record: VER, ADR, CID1, RTN, LENID (LSB first), INFO.
  const unsigned int length_id = static_cast<unsigned int>(frame.info.size() * 2);
  frame_record_.resize(pmbus_reply::kInfoOffset + frame.info.size());
  frame_record_[0] = frame.version;
  frame_record_[1] = frame.address;
  frame_record_[pmbus_reply::kGroupOffset] = frame.cid1;
  frame_record_[pmbus_reply::kReturnCodeOffset] = frame.cid2;
  frame_record_[pmbus_reply::kLengthOffset] = static_cast<unsigned char>(length_id & 0xFF);
  frame_record_[pmbus_reply::kLengthOffset + 1] = static_cast<unsigned char>(length_id >> 8);
  std::copy(frame.info.begin(), frame.info.end(), frame_record_.begin() + pmbus_reply::kInfoOffset);
  DeliverDecodedReply(frame_record_.data(), static_cast<unsigned int>(frame_record_.size()));
  return true;
}

void PMBusProtocol::DropFrame(pmbus_frame::Drop reason, const pmbus_frame::Frame* frame) {
  counters_.CountDropped(reason);
  if (frame != nullptr) {
    InfoLog("PMBusProtocol: {} frame dropped ({}): ADR {:02X}h CID1 {:02X}h CID2 {:02X}h", data_id_,
            pmbus_frame::DropName(reason), frame->address, frame->cid1, frame->cid2);
  } else {
    InfoLog("PMBusProtocol: {} frame dropped ({})", data_id_, pmbus_frame::DropName(reason));
  }
}

bool PMBusProtocol::LineQuiet() {
  if (!damaged_reply_) return false;
  damaged_reply_ = false;
  if (!IsProcessing() || IsStalled()) return false;
  counters_.CountEarlyRepeat();
  InfoLog("PMBusProtocol: {} reply in step {} damaged; request repeated once the line went quiet",
          data_id_, polling_step_);
  EndExchange();
  return true;
}

int PMBusProtocol::process_error() {
  const unsigned char return_code = reply_[pmbus_reply::kReturnCodeOffset];
  InfoLog("PMBusProtocol: {} reply in step {} has return code {:02X}h ({})", data_id_,
          polling_step_, return_code, ReturnCodeName(return_code));
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

  if (!timeout_configured_) SetReplyTimeout(EffectiveReplyTimeout(length));
  damaged_reply_ = false;
  BeginExchange(pmbus_frame::WireBytes(static_cast<std::size_t>(length)));
  if (transport_) transport_->SendRequest(request);
  if (Port()) {
    pmbus_frame::Frame frame;
    frame.version = request.version;
    frame.address = request.address;
    frame.cid1 = group;
    frame.cid2 = command;
    frame.info = std::move(request.info);
    request_frame_ = pmbus_frame::Encode(frame);
    if (!SendData(reinterpret_cast<const unsigned char*>(request_frame_.data()),
                  static_cast<unsigned int>(request_frame_.size()))) {
      counters_.CountSendFailure();
      InfoLog("PMBusProtocol: {} request {:02X}h/{:02X}h not sent: serial line not open or failing",
              data_id_, group, command);
    }
  } else if (!transport_) {
    InfoLog("PMBusProtocol: {} no transport, request {:02X}h/{:02X}h not sent", data_id_, group,
            command);
  }
}

std::chrono::milliseconds PMBusProtocol::EffectiveReplyTimeout(int request_info_bytes) const {
  if (timeout_configured_) return ReplyTimeout();
  // 10 bits per character on an 8N1 line.
  const std::size_t characters =
      pmbus_frame::WireBytes(static_cast<std::size_t>(std::max(0, request_info_bytes))) +
      pmbus_frame::WireBytes(pmbus_frame::kMaxInfoBytes);
  const long long wire_ms =
      static_cast<long long>(characters * 10 * 1000 / std::max(1u, baud_rate_));
  return std::chrono::milliseconds(1000 + wire_ms);
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
  damaged_reply_ = false;
  // The observer may be replaced while the reply is handled.
  const std::shared_ptr<PMBusTransport> observer = transport_;
  if (observer) observer->ReplyReceived(reply_, size);
  EndExchange();
  int result = 0;
  if (reply_[pmbus_reply::kReturnCodeOffset] != 0) {
    counters_.CountErrorReply();
    result = process_error();
  } else {
    const std::int32_t step_answered = polling_step_;
    result = process_payload();
    // A cycle ended normally when a reply other than the first AC reply ended it.
    if (result == 0 && step_answered != 0) data_ready_ = true;
  }
  if (observer) observer->ReplyHandled(result);
  return result;
}

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "host/kmx_spdevice.h"
#include "host/pmbus_frame.h"

// One request as the frame layer sends it.
struct PMBusRequest {
  std::uint8_t version = 0;
  std::uint8_t address = 0;
  std::uint8_t group = 0;    // CID1
  std::uint8_t command = 0;  // CID2
  std::vector<std::uint8_t> info;
};

// Observer of the requests at the decoded level: tests and the replay tool
// attach one and answer with DeliverDecodedReply. It also sees every decoded
// reply that is handed on (to process_payload or process_error): before it is
// handled, and after, with the handler's result; requests sent in between are
// the reply's own (the capture tool tells them from polled ones).
class KMX_HOST_API PMBusTransport {
 public:
  virtual ~PMBusTransport();
  virtual void SendRequest(const PMBusRequest& request) = 0;
  virtual void ReplyReceived(const unsigned char* /*record*/, unsigned int /*size*/) {}
  virtual void ReplyHandled(int /*result*/) {}
};

// Decoded reply record, as the bus device reads it:
//   offset 0  VER
//   offset 1  ADR
//   offset 2  CID1, the reply's group code
//   offset 3  RTN, the return code
//   offset 4  length field, u16 least significant byte first; >> 1 is the INFO byte count
//   offset 6  INFO bytes
namespace pmbus_reply {
constexpr unsigned int kGroupOffset = 2;
constexpr unsigned int kReturnCodeOffset = 3;
constexpr unsigned int kLengthOffset = 4;
constexpr unsigned int kInfoOffset = 6;

// Builds a record with LENID = 2 × info size.
KMX_HOST_API std::vector<unsigned char> Build(std::uint8_t version, std::uint8_t address,
                                              std::uint8_t group, std::uint8_t return_code,
                                              const std::vector<unsigned char>& info);
}  // namespace pmbus_reply

// A protocol version byte from the configuration: hex text such as "21h", or
// a number 0..255; empty when it is neither.
KMX_HOST_API std::optional<std::uint8_t> ParseProtocolVersion(const Json::Value& value);

// The host's frame layer for the power system's request/reply protocol.
//
// Two paths, which may be used together:
// - Byte level (the runtime): write_pmbus_cmd frames each request
//   (pmbus_frame::Encode) and writes it to the attached serial port; the line
//   driver hands every received chunk to process(), which decodes the stream
//   and delivers each valid reply from this device's address while a request
//   is outstanding.
// - Decoded level (tests, replay): an attached PMBusTransport sees each
//   request as a PMBusRequest; replies come back as decoded records through
//   DeliverDecodedReply.
// A delivered reply ends the exchange; RTN 0 goes to process_payload, any
// other to process_error. Every outcome is counted in Quality().
class KMX_HOST_API PMBusProtocol : public KMXSPDevice {
 public:
  PMBusProtocol();
  ~PMBusProtocol() override;

  // Reads the frame layer's own settings: "address" (0..255, default 1),
  // "protocol_version" (the VER byte of requests, ParseProtocolVersion;
  // default the device's own) and "timeout_ms" (reply time-out; default 1 s
  // plus the wire time of the request and of the longest reply accepted, at
  // the line's baud rate).
  bool InitSetting(const Json::Value& config) override;
  // Received bytes from the line, in any chunking. Returns the number of
  // replies handed to process_payload or process_error.
  int process(unsigned char* data, unsigned int length) override;
  // Also forgets a partly received frame: a reopened line starts afresh.
  void ClosePort() override;

  // Handles one decoded reply.
  virtual int process_payload() = 0;
  // A reply with a return code other than 0.
  virtual int process_error();

  void write_pmbus_cmd(unsigned char group, unsigned char command);
  void write_pmbus_cmd(unsigned char group, unsigned char command, const unsigned char* info,
                       int length);

  // Host-side wiring and state.
  void AttachTransport(std::shared_ptr<PMBusTransport> transport) {
    transport_ = std::move(transport);
  }
  // Hands one decoded reply record to the device; returns what process_payload
  // (or process_error) returned, or -1 when the record is malformed.
  int DeliverDecodedReply(const unsigned char* record, unsigned int size);
  // The reply time-out that write_pmbus_cmd uses now.
  std::chrono::milliseconds EffectiveReplyTimeout(int request_info_bytes) const;
  std::uint8_t Address() const { return address_; }
  std::uint8_t ProtocolVersion() const { return protocol_version_; }
  std::int32_t PollingStep() const { return polling_step_; }
  // The line has been quiet for a while. When a damaged frame arrived for
  // the outstanding request, its reply is not coming: ends the exchange so
  // that the request goes out again now rather than after the time-out.
  // True when it did.
  bool LineQuiet();
  // A damaged frame arrived for the outstanding request: LineQuiet is due once
  // the line has been quiet for a while.
  bool ReplyDamaged() const { return damaged_reply_; }
  void SetPollingStep(std::int32_t step) { polling_step_ = step; }

 protected:
  const unsigned char* reply_ = nullptr;  // decoded record of the last reply
  std::int32_t polling_step_ = 0;         // owned by the bus device
  std::uint8_t protocol_version_ = 0x20;

 private:
  // One decoded frame from the line: dropped with a log line, or delivered.
  bool HandleFrame(const pmbus_frame::Decoder::Result& result);
  void DropFrame(pmbus_frame::Drop reason, const pmbus_frame::Frame* frame);

  std::shared_ptr<PMBusTransport> transport_;
  std::vector<unsigned char> reply_record_;
  pmbus_frame::Decoder decoder_;
  pmbus_frame::Decoder::Result decoded_;
  std::vector<unsigned char> frame_record_;  // decoded record built from a frame
  std::string request_frame_;
  std::uint8_t address_ = 1;
  bool timeout_configured_ = false;
  bool damaged_reply_ = false;  // a damaged frame arrived during this exchange
};

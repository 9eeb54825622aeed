#include "sim/simulator.h"

#include "sim/replies.h"

namespace {

constexpr std::uint8_t kNormal = 0x00;
constexpr std::uint8_t kVersionError = 0x01;
constexpr std::uint8_t kChecksumError = 0x02;
constexpr std::uint8_t kLengthChecksumError = 0x03;
constexpr std::uint8_t kInvalidCommand = 0x04;
constexpr std::uint8_t kFormatError = 0x05;

}  // namespace

Simulator::Simulator(SystemConfig config, bool wall_clock)
    : system_(std::move(config)),
      wall_clock_(wall_clock),
      last_request_(std::chrono::steady_clock::now()),
      random_(system_.Config().seed + 1) {}

void Simulator::Receive(const unsigned char* data, std::size_t length, std::string& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  while (decoder_.Next(data, length, decoded_)) Answer(decoded_, out);
}

void Simulator::Answer(const pmbus_frame::Decoder::Result& request, std::string& out) {
  const SystemConfig& config = system_.Config();
  if (!request.header || request.frame.address != config.address) return;
  ++stats_.requests;
  if (silent_) {
    ++stats_.silenced;
    return;
  }
  const pmbus_frame::Frame& frame = request.frame;
  if (!request.ok) {
    if (request.reason == pmbus_frame::Drop::kBadChecksum) Send(frame.cid1, kChecksumError, out);
    if (request.reason == pmbus_frame::Drop::kBadLengthChecksum) {
      Send(frame.cid1, kLengthChecksumError, out);
    }
    return;
  }
  if (frame.version != config.version) return Send(frame.cid1, kVersionError, out);
  if (frame.info.size() > 1 || (frame.info.size() == 1 && frame.info[0] != 0xFF)) {
    return Send(frame.cid1, kFormatError, out);
  }
  if (wall_clock_) {
    const auto now = std::chrono::steady_clock::now();
    system_.Advance(std::chrono::duration<double>(now - last_request_).count());
    last_request_ = now;
  }
  if (!replies::Build(system_, frame.cid1, frame.cid2, reply_.info)) {
    return Send(frame.cid1, kInvalidCommand, out);
  }
  Send(frame.cid1, kNormal, out);
  if (frame.cid2 == replies::kSwitches) system_.SwitchStatesSent(frame.cid1);
  if (frame.cid2 == replies::kAlarms) system_.AlarmStatesSent(frame.cid1);
}

void Simulator::Send(std::uint8_t cid1, std::uint8_t rtn, std::string& out) {
  reply_.version = system_.Config().version;
  reply_.address = system_.Config().address;
  reply_.cid1 = cid1;
  reply_.cid2 = rtn;
  if (rtn != kNormal) reply_.info.clear();
  std::string frame = pmbus_frame::Encode(reply_);
  ++stats_.answered;
  if (rtn != kNormal) ++stats_.errors;
  if (corrupt_rate_ > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < corrupt_rate_) {
    Corrupt(frame);
  }
  out += frame;
}

// Replaces one character between SOI and EOI with another hex digit, so that
// the check sums no longer fit.
void Simulator::Corrupt(std::string& frame) {
  ++stats_.corrupted;
  const std::size_t at = std::uniform_int_distribution<std::size_t>(1, frame.size() - 2)(random_);
  const char* digits = "0123456789ABCDEF";
  char replacement = digits[std::uniform_int_distribution<int>(0, 15)(random_)];
  if (replacement == frame[at]) replacement = frame[at] == '0' ? '1' : '0';
  frame[at] = replacement;
}

bool Simulator::Execute(const Command& command, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  using Kind = Command::Kind;
  bool done = true;
  switch (command.kind) {
    case Kind::kNone:
    case Kind::kWait:
      break;
    case Kind::kAcUnderVoltage:
      done = system_.SetAcUnderVoltage(command.unit, command.channel, command.on);
      break;
    case Kind::kMissingPhase:
      done = system_.SetMissingPhase(command.unit, command.channel, command.phase, command.on);
      break;
    case Kind::kRectifierFault:
      done = system_.SetRectifierFault(command.channel, command.on);
      break;
    case Kind::kBatteryFuse:
      done = system_.SetBatteryFuseFault(command.unit, command.channel, command.on);
      break;
    case Kind::kLowVoltageDisconnect1:
      done = system_.SetLowVoltageDisconnect1(command.unit, command.on);
      break;
    case Kind::kModel:
      system_.SetModel(command.text);
      break;
    case Kind::kRectifierCount:
      done = system_.SetRectifierCount(command.count);
      break;
    case Kind::kAcChannelCount:
      done = system_.SetAcChannelCount(command.unit, command.count);
      break;
    case Kind::kMainsFailure:
      system_.SetMainsFailure(command.on);
      break;
    case Kind::kDcVoltage:
      done = system_.SetDcVoltage(command.unit, static_cast<float>(command.value));
      break;
    case Kind::kSilent:
      silent_ = command.on;
      break;
    case Kind::kCorrupt:
      corrupt_rate_ = command.value;
      break;
  }
  if (!done) {
    error = command.kind == Kind::kRectifierCount || command.kind == Kind::kAcChannelCount
                ? "no such AC unit, or a reply would no longer fit a frame"
                : "no such unit, channel, module or fuse in this power system";
  }
  return done;
}

bool Simulator::Apply(const std::string& line, std::string& error) {
  Command command;
  return ParseCommand(line, command, error) && Execute(command, error);
}

void Simulator::Advance(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  system_.Advance(seconds);
}

Simulator::Stats Simulator::Statistics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

void Simulator::Inspect(const std::function<void(const PowerSystem&)>& look) const {
  std::lock_guard<std::mutex> lock(mutex_);
  look(system_);
}

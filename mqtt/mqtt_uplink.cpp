#include "mqtt/mqtt_uplink.h"

#include <fmt/format.h>
#include <mosquitto.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "runtime/local_time_text.h"
#include "runtime/thread_name.h"

namespace mqtt {

namespace {

// Message numbers reserved in the store at a time: the reserve is written
// again only when half of it is used.
constexpr std::int64_t kSeqBlock = 100000;
// Messages younger than this wait for the next commit: most are
// acknowledged by then and never touch the disk.
constexpr auto kStoreGrace = std::chrono::milliseconds(1000);
// Back-off between connection attempts. A broker that cannot be reached
// costs a refused TCP connection per attempt: it is tried at least every 4 s,
// so that the uplink is back within seconds of the broker. A broker that
// takes the connection and then refuses or drops it (bad credentials,
// another client with the same id) is tried ever less often, up to once a
// minute, until a connection lasts.
constexpr auto kFirstRetry = std::chrono::seconds(1);
constexpr auto kUnreachableRetry = std::chrono::seconds(4);
constexpr auto kLastRetry = std::chrono::seconds(60);
constexpr auto kLastingConnection = std::chrono::seconds(30);
// A connection the broker closes this soon after it was made hints at
// another client with the same id, which the broker lets take over the
// session. While such a conflict lasts, a connection counts as lasting only
// beyond the longest back-off of the other client, and the conflict is
// logged once.
constexpr auto kShortConnection = std::chrono::seconds(10);
constexpr auto kLastingInConflict = 2 * kLastRetry;

std::string Now() {
  return runtime::LocalTimeText(boost::posix_time::second_clock::local_time());
}

std::string Reason(int rc) {
  if (rc == MOSQ_ERR_EAI) return "cannot resolve the host name";
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return mosquitto_strerror(rc);
}

// Why the broker refused the connection (its CONNACK code).
std::string Refusal(int rc) {
  switch (rc) {
    case 1:
      return "unacceptable protocol version";
    case 2:
      return "client id rejected";
    case 3:
      return "broker unavailable";
    case 4:
      return "bad user name or password";
    case 5:
      return "not authorised";
    default:
      return "code " + std::to_string(rc);
  }
}

struct LibraryInit {
  LibraryInit() { mosquitto_lib_init(); }
};

}  // namespace

std::string CheckUplinkOptions(const UplinkOptions& options) {
  BrokerAddress address;
  std::string error;
  if (!ParseBrokerUrl(options.url, address, error)) return error;
  if (!options.credentials_file.empty()) {
    Credentials credentials;
    if (!ReadCredentials(options.credentials_file, credentials, error)) return error;
  }
  if (address.tls && options.ca_file.empty()) {
    return "MQTT URL " + options.url + ": mqtts:// needs a CA file (--mqtt-ca-file)";
  }
  if (!options.ca_file.empty() && !std::ifstream(options.ca_file)) {
    return "MQTT CA file " + options.ca_file + ": cannot open: " + std::strerror(errno);
  }
  if (!(options.replay_rate > 0 && options.replay_rate <= 100000)) {
    return fmt::format("MQTT replay rate {:g} is out of range: above 0, at most 100000 a second",
                       options.replay_rate);
  }
  if (options.keepalive < 5 || options.keepalive > 3600) {
    return "MQTT keepalive " + std::to_string(options.keepalive) +
           " is out of range: 5 to 3600 seconds";
  }
  if (options.report != "by-exception" && options.report != "every-cycle") {
    return "MQTT report \"" + options.report + "\": by-exception or every-cycle";
  }
  if (options.heartbeat < 1 || options.heartbeat > 86400) {
    return "MQTT heartbeat " + std::to_string(options.heartbeat) +
           " is out of range: 1 to 86400 seconds";
  }
  std::map<std::string, Deadband> deadbands;
  if (!ParseDeadbands(options.deadbands, deadbands, error)) return error;
  return "";
}

ReportSettings ReportSettingsOf(const UplinkOptions& options) {
  ReportSettings settings;
  settings.every_cycle = options.report == "every-cycle";
  settings.heartbeat = std::chrono::seconds(options.heartbeat);
  std::string error;
  ParseDeadbands(options.deadbands, settings.deadbands, error);
  return settings;
}

MqttUplink::MqttUplink(UplinkOptions options, runtime::EventStream& events,
                       std::shared_ptr<runtime::RecordStore> store,
                       std::vector<std::string> systems)
    : options_(std::move(options)),
      events_(events),
      store_(std::move(store)),
      systems_(std::move(systems)),
      topics_(options_.topic_prefix, options_.site),
      outbox_(options_.outbox, 1, 0, kSeqBlock),
      filter_(ReportSettingsOf(options_)) {
  const std::string problem = CheckUplinkOptions(options_);
  if (!problem.empty()) throw std::runtime_error(problem);
  std::string error;
  ParseBrokerUrl(options_.url, address_, error);
  const std::int64_t first = store_->ReserveSeq(kSeqBlock);
  outbox_ = Outbox(options_.outbox, first, first + kSeqBlock, kSeqBlock);
  store_->ForEachOutboxRow(
      [this](const runtime::OutboxRow& row, std::size_t bytes) { outbox_.Restore(row, bytes); });
  if (outbox_.Count() != 0) {
    events_.Note("", "MQTT: " + std::to_string(outbox_.Count()) +
                         " messages wait in the outbox from before");
  }
}

MqttUplink::~MqttUplink() {
  Stop();
  if (client_ != nullptr) mosquitto_destroy(client_);
}

void MqttUplink::Start() {
  static LibraryInit init;
  client_id_ =
      options_.client_id.empty() ? "korvan-" + TopicLevel(options_.site) : options_.client_id;
  client_ = mosquitto_new(client_id_.c_str(), true, this);
  if (client_ == nullptr) throw std::runtime_error("MQTT: cannot make a client: out of memory");
  mosquitto_threaded_set(client_, true);
  mosquitto_connect_callback_set(client_, &MqttUplink::OnConnect);
  mosquitto_disconnect_callback_set(client_, &MqttUplink::OnDisconnect);
  mosquitto_publish_callback_set(client_, &MqttUplink::OnPublish);
  // One will per connection: the site's state, which the systems' own
  // states are read under.
  const std::string will = OnlinePayload(false, options_.site, "", "", "connection lost");
  mosquitto_will_set(client_, topics_.SiteOnline().c_str(), static_cast<int>(will.size()),
                     will.data(), 1, true);
  if (!options_.credentials_file.empty()) {
    Credentials credentials;
    std::string error;
    if (!ReadCredentials(options_.credentials_file, credentials, error)) {
      throw std::runtime_error(error);
    }
    mosquitto_username_pw_set(client_, credentials.user.c_str(), credentials.password.c_str());
  }
  if (address_.tls) {
    const int rc =
        mosquitto_tls_set(client_, options_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      throw std::runtime_error("MQTT CA file " + options_.ca_file + ": " + Reason(rc));
    }
  }
  started_ = true;
  thread_ = std::thread([this] { Loop(); });
}

void MqttUplink::Stop() {
  if (!started_ || stopping_.exchange(true)) return;
  // The systems go offline in their retained states: publishing them wakes
  // the network loop, which may be waiting out a keepalive's quarter.
  const std::vector<int> mids = PublishOnline(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    final_mids_ = mids;
  }
  if (thread_.joinable()) thread_.join();
  mosquitto_disconnect(client_);
  connected_ = false;
}

void MqttUplink::State(const std::string& text, bool problem) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text == state_) return;
    state_ = text;
  }
  // Published without the uplink's lock (the lock order: event_stream.h).
  if (problem) {
    events_.Problem("", "MQTT: " + text);
  } else {
    events_.Note("", "MQTT: " + text);
  }
}

void MqttUplink::OnConnect(mosquitto* /*client*/, void* self, int rc) {
  auto* uplink = static_cast<MqttUplink*>(self);
  if (rc != 0) {
    uplink->State("connection refused: " + Refusal(rc), true);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(uplink->mutex_);
    // What was in flight is sent again, with the rest of the backlog; each
    // device's next record is published, whatever it holds.
    uplink->outbox_.ConnectionLost();
    uplink->filter_.ForgetAll();
    uplink->connected_ = true;
  }
  uplink->State(
      "connected to " + uplink->address_.host + ":" + std::to_string(uplink->address_.port), false);
  uplink->PublishOnline(true);
}

void MqttUplink::OnDisconnect(mosquitto* /*client*/, void* self, int rc) {
  auto* uplink = static_cast<MqttUplink*>(self);
  const bool was = uplink->connected_.exchange(false);
  if (was && rc != 0 && !uplink->stopping_) {
    uplink->State("connection to " + uplink->address_.host + ":" +
                      std::to_string(uplink->address_.port) + " lost: " + Reason(rc),
                  true);
  }
}

void MqttUplink::OnPublish(mosquitto* /*client*/, void* self, int mid) {
  auto* uplink = static_cast<MqttUplink*>(self);
  std::lock_guard<std::mutex> lock(uplink->mutex_);
  uplink->outbox_.Acked(mid);
  if (uplink->stopping_) uplink->final_acks_.insert(mid);
  uplink->changed_.notify_all();
}

int MqttUplink::PublishLocked(const std::string& topic, const std::string& payload, int qos,
                              bool retained) {
  if (!connected_) return -1;
  int mid = 0;
  const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), qos, retained);
  return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

std::vector<int> MqttUplink::PublishOnline(bool online) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string time = Now();
  std::vector<int> mids;
  mids.push_back(PublishLocked(
      topics_.SiteOnline(), OnlinePayload(online, options_.site, "", time, online ? "" : "stopped"),
      1, true));
  for (const std::string& system : systems_) {
    mids.push_back(PublishLocked(
        topics_.Online(system),
        OnlinePayload(online, options_.site, system, time, online ? "" : "stopped"), 1, true));
  }
  mids.erase(std::remove(mids.begin(), mids.end(), -1), mids.end());
  return mids;
}

void MqttUplink::Loop() {
  runtime::NameThisThread("mqtt network");
  using SteadyClock = std::chrono::steady_clock;
  using Duration = SteadyClock::duration;
  const std::string where = address_.host + ":" + std::to_string(address_.port);
  Duration retry = kFirstRetry;
  bool socket = false;
  bool backlog = false;
  bool conflict = false;  // the broker closed connections soon after they were made
  SteadyClock::time_point attempt_at = SteadyClock::now();
  SteadyClock::time_point connect_deadline = SteadyClock::time_point::max();
  SteadyClock::time_point connected_at = SteadyClock::time_point::max();  // of this socket
  const auto again = [&](bool reached) {
    const SteadyClock::time_point now = SteadyClock::now();
    if (connected_at != SteadyClock::time_point::max()) {
      const Duration lasted = now - connected_at;
      if (lasted >= (conflict ? Duration(kLastingInConflict) : Duration(kLastingConnection))) {
        retry = kFirstRetry;
        conflict = false;
      } else if (lasted < kShortConnection && !conflict) {
        conflict = true;
        events_.Problem(
            "", fmt::format("MQTT: the broker closed the connection {} s after it was made; "
                            "another client may use the same client id \"{}\" (--mqtt-client-id)",
                            std::chrono::duration_cast<std::chrono::seconds>(lasted).count(),
                            client_id_));
      }
    }
    attempt_at = now + (reached ? retry : std::min<Duration>(retry, kUnreachableRetry));
    retry = std::min<Duration>(retry * 2, reached ? Duration(kLastRetry) : kUnreachableRetry);
    connected_at = SteadyClock::time_point::max();
  };
  const int idle_wait = options_.keepalive * 1000 / 4;
  while (!stopping_) {
    const SteadyClock::time_point now = SteadyClock::now();
    if (!socket) {
      if (now < attempt_at) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_until(lock, std::min(attempt_at, now + std::chrono::milliseconds(200)));
        continue;
      }
      const int rc = mosquitto_connect_async(client_, address_.host.c_str(), address_.port,
                                             options_.keepalive);
      if (rc != MOSQ_ERR_SUCCESS) {
        State("cannot connect to " + where + ": " + Reason(rc), true);
        again(false);
        continue;
      }
      socket = true;
      connect_deadline = now + std::chrono::seconds(std::max(10, 2 * options_.keepalive));
    }
    // Publishing from other threads (and Stop) wakes the loop. Connected and
    // idle, it wakes for the keepalive's pings only: every wake-up costs the
    // board more than the loop's work.
    const int rc = mosquitto_loop(client_, backlog ? 20 : connected_ ? idle_wait : 100, 1);
    backlog = false;
    if (connected_) {
      if (connected_at == SteadyClock::time_point::max()) connected_at = SteadyClock::now();
      connect_deadline = SteadyClock::time_point::max();
      backlog = SendBacklog(SteadyClock::now());
      if (!backlog) TellDropTotal("MQTT: the backlog is sent; the full outbox dropped ");
    }
    const bool timed_out = !connected_ && SteadyClock::now() > connect_deadline;
    if (rc != MOSQ_ERR_SUCCESS || timed_out) {
      // Reached: the broker answered (a refusal, or a connection it dropped).
      // A connection that was made and is lost was told by OnDisconnect.
      const bool made = connected_at != SteadyClock::time_point::max();
      const bool reached = made || rc == MOSQ_ERR_CONN_REFUSED || rc == MOSQ_ERR_AUTH;
      if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_REFUSED && rc != MOSQ_ERR_AUTH && !made) {
        State("cannot connect to " + where + ": " + Reason(rc), true);
      } else if (timed_out) {
        State("cannot connect to " + where + ": no answer", true);
      }
      mosquitto_disconnect(client_);
      connected_ = false;
      socket = false;
      again(reached);
    }
  }
  TellDropTotal("MQTT: stopping; the full outbox dropped ");
  // The systems go offline in their retained states, unless the broker is
  // gone: waits (a little) for the broker to acknowledge them. Published
  // again when Stop found no connection and the loop made one since.
  if (connected_) {
    std::vector<int> mids;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      mids = final_mids_;
    }
    if (mids.empty()) mids = PublishOnline(false);
    const SteadyClock::time_point until = SteadyClock::now() + std::chrono::seconds(2);
    while (SteadyClock::now() < until) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::all_of(mids.begin(), mids.end(),
                        [this](int mid) { return final_acks_.count(mid) != 0; })) {
          break;
        }
      }
      if (mosquitto_loop(client_, 50, 1) != MOSQ_ERR_SUCCESS) break;
    }
    // DISCONNECT, written before the socket closes: the broker then drops
    // the will, which stays for a crash.
    mosquitto_disconnect(client_);
    const SteadyClock::time_point written_by = SteadyClock::now() + std::chrono::seconds(1);
    while (SteadyClock::now() < written_by && mosquitto_loop(client_, 50, 1) == MOSQ_ERR_SUCCESS) {
    }
  }
}

bool MqttUplink::SendBacklog(std::chrono::steady_clock::time_point now) {
  auto& next = replay_next_;
  const auto step = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / options_.replay_rate));
  if (next < now - std::chrono::seconds(1)) next = now;
  // A burst of at most a second's worth after a pause; then the rate.
  while (next <= now && connected_ && !stopping_) {
    std::optional<runtime::OutboxRow> row;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      row = outbox_.NextBacklog();
    }
    if (!row) return false;
    if (row->payload.empty()) {
      std::optional<runtime::OutboxRow> stored;
      try {
        stored = store_->FindOutboxRow(row->seq);
      } catch (const runtime::StoreError& error) {
        State(std::string("cannot read the outbox: ") + error.what(), true);
        return false;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (!stored) {
        outbox_.Forget(row->seq);
        continue;
      }
      row = stored;
    }
    // Replayed records are not retained: the retained value stays the
    // newest live one.
    std::lock_guard<std::mutex> lock(mutex_);
    if (outbox_.InFlight(row->seq)) continue;
    const int mid =
        PublishLocked(row->topic, Replayed(row->payload), 1, row->retained && !row->record);
    if (mid < 0) return false;
    outbox_.Sent(row->seq, mid);
    next += step;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return outbox_.HasBacklog();
}

bool MqttUplink::ReportLocked(const runtime::RuntimeEvent& event,
                              const std::vector<vocabulary::Reading>& readings) {
  return filter_.Publish(event.system, event.device.data_id, event.device.record_type, readings,
                         Clock::now());
}

void MqttUplink::Offer(const runtime::RuntimeEvent& event) {
  using Kind = runtime::RuntimeEvent::Kind;
  runtime::OutboxRow row;
  std::string (*make)(const std::string&, const runtime::RuntimeEvent&, std::int64_t) = nullptr;
  // A record's values are read from its bytes to decide whether it goes
  // out; only one that does is decoded and named for its payload. The
  // vector keeps its room from record to record (one per offering thread).
  thread_local std::vector<vocabulary::Reading> readings;
  switch (event.kind) {
    case Kind::kRecordPublished: {
      if (!event.record ||
          !vocabulary::ReadingsOf(event.device.record_type, ValueUnit(event), event.record->data(),
                                  event.record->size(), readings)) {
        return;
      }
      row.record = true;
      row.retained = true;
      break;
    }
    case Kind::kAlarm:
      row.topic = topics_.Alarm(event.system);
      make = &AlarmPayload;
      break;
    case Kind::kCommunication:
      row.topic = topics_.Communication(event.system);
      make = &CommunicationPayload;
      break;
    default:
      return;
  }
  std::string dropped_note;
  std::unique_lock<std::mutex> lock(mutex_);
  // The record that changed with an alarm goes out with it; after a loss
  // of communication each device's first record goes out.
  if (event.kind == Kind::kAlarm) filter_.Due(event.system, event.alarm.data_id);
  if (event.kind == Kind::kCommunication) filter_.Forget(event.system);
  DecodedRecord decoded;
  if (make == nullptr) {
    std::string error;
    if (!ReportLocked(event, readings) || !DecodeRecord(event, readings, decoded, error)) return;
    row.topic = topics_.Record(event.system, event.device.data_id);
  }
  // The payload holds its seq: a record held back takes none.
  const std::int64_t seq = outbox_.NextSeq();
  row.payload = make != nullptr ? make(options_.site, event, seq)
                                : RecordPayload(options_.site, event, seq, std::move(decoded));
  const std::string topic = row.topic, payload = row.payload;
  const bool retained = row.retained;
  outbox_.Add(std::move(row), Clock::now());
  const int mid = PublishLocked(topic, payload, 1, retained);
  if (mid >= 0) outbox_.Sent(seq, mid);
  const std::uint64_t dropped = outbox_.Dropped();
  if (dropped != drops_told_) {
    // Logged at the first drop since the last total and then at every
    // thousandth, not for each; the total when the outage is over.
    const bool first = drops_told_ == records_summed_ + events_summed_;
    const bool log = first || dropped / 1000 != drops_told_ / 1000;
    drops_told_ = dropped;
    if (log) {
      dropped_note = "MQTT: outbox full, dropping the oldest messages: " +
                     std::to_string(dropped - records_summed_ - events_summed_) +
                     " so far in this outage (" +
                     std::to_string(outbox_.DroppedRecords() - records_summed_) + " records, " +
                     std::to_string(outbox_.DroppedEvents() - events_summed_) +
                     " alarm and communication events)";
    }
  }
  lock.unlock();
  if (!dropped_note.empty()) events_.Problem("", dropped_note);
}

std::string MqttUplink::DropTotalLocked(const std::string& lead) {
  const std::uint64_t records = outbox_.DroppedRecords() - records_summed_;
  const std::uint64_t events = outbox_.DroppedEvents() - events_summed_;
  if (records + events == 0) return "";
  records_summed_ = outbox_.DroppedRecords();
  events_summed_ = outbox_.DroppedEvents();
  drops_told_ = outbox_.Dropped();
  return lead + std::to_string(records + events) + " messages during the outage (" +
         std::to_string(records) + " records, " + std::to_string(events) +
         " alarm and communication events); " + std::to_string(outbox_.Dropped()) +
         " since the start";
}

void MqttUplink::TellDropTotal(const std::string& lead) {
  std::string line;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    line = DropTotalLocked(lead);
  }
  // Told without the uplink's lock (the lock order: event_stream.h).
  if (!line.empty()) events_.Problem("", line);
}

void MqttUplink::OnEvent(const runtime::RuntimeEvent& event) {
  if (event.kind != runtime::RuntimeEvent::Kind::kLineHealth || options_.health_every == 0) return;
  std::uint64_t& count = health_count_[event.system];
  if (count++ % options_.health_every != 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  PublishLocked(topics_.Health(event.system),
                HealthPayload(options_.site, event, outbox_.Dropped(), outbox_.Count()), 0, false);
}

MqttUplink::Clock::time_point MqttUplink::WaitingSince() {
  std::lock_guard<std::mutex> lock(mutex_);
  return outbox_.WaitingSince();
}

void MqttUplink::Collect(Clock::time_point now, bool everything, runtime::StoreBatch& batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  outbox_.Collect(now, kStoreGrace, everything, batch);
}

void MqttUplink::Committed(const runtime::StoreBatch& batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  outbox_.Committed(batch);
}

void MqttUplink::NotCommitted(const runtime::StoreBatch& batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  outbox_.NotCommitted(batch);
}

std::uint64_t MqttUplink::Backlog() {
  std::lock_guard<std::mutex> lock(mutex_);
  return outbox_.Count();
}

}  // namespace mqtt

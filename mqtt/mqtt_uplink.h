#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_url.h"
#include "mqtt/outbox.h"
#include "mqtt/payloads.h"
#include "mqtt/report_filter.h"
#include "runtime/event_stream.h"
#include "store/outbox_link.h"
#include "store/record_store.h"

struct mosquitto;

namespace mqtt {

struct UplinkOptions {
  std::string url;  // mqtt://HOST:PORT or mqtts://HOST:PORT
  std::string ca_file;
  std::string client_id;  // empty: "korvan-SITE"
  std::string credentials_file;
  std::string topic_prefix = "korvan";
  std::string site;
  std::uint64_t health_every = 10;  // cycles between line-health messages; 0: none
  int keepalive = 30;               // seconds
  OutboxLimits outbox;
  double replay_rate = 50;  // backlog messages per second
  // Records: "by-exception" (report_filter.h) or "every-cycle".
  std::string report = "by-exception";
  std::uint64_t heartbeat = 300;  // seconds: a device's record at least this often
  Json::Value deadbands;          // {UNIT or NAME: band} over the defaults; null: none
};

// The report filter's settings of `options` (checked by CheckUplinkOptions).
ReportSettings ReportSettingsOf(const UplinkOptions& options);

// Checks the options (URL, credentials file, CA file); a message when they
// are wrong, else empty.
std::string CheckUplinkOptions(const UplinkOptions& options);

// The fleet uplink: publishes the systems' records, alarm and communication
// events (QoS 1, kept in the store's outbox until the broker acknowledges
// them), their online state and line health to an MQTT broker. A thread of
// its own connects, reconnects with back-off and sends the backlog at a
// bounded rate; nothing of it ever waits on the polling threads.
class MqttUplink : public runtime::EventSubscriber, public runtime::OutboxLink {
 public:
  using Clock = std::chrono::steady_clock;

  // Reads the outbox a run before left in `store`. Throws StoreError when
  // the store fails, std::runtime_error when the options are wrong.
  MqttUplink(UplinkOptions options, runtime::EventStream& events,
             std::shared_ptr<runtime::RecordStore> store, std::vector<std::string> systems);
  ~MqttUplink() override;

  // Connects in the background.
  void Start();
  // Publishes the systems offline, waits a little for what is in flight,
  // disconnects and stops the thread. What is not acknowledged is committed
  // to the outbox by the store writer's next commit (the stream's flush).
  void Stop();

  // EventSubscriber: line health.
  void OnEvent(const runtime::RuntimeEvent& event) override;
  bool Wants(runtime::RuntimeEvent::Kind kind) const override {
    return kind == runtime::RuntimeEvent::Kind::kLineHealth;
  }
  // Line health is a periodic figure: taken every few seconds rather than
  // waking this thread at every system's every cycle.
  std::chrono::milliseconds Patience() const override { return std::chrono::seconds(5); }
  bool Prompt(runtime::RuntimeEvent::Kind) const override { return false; }

  // OutboxLink, on the store writer's thread.
  void Offer(const runtime::RuntimeEvent& event) override;
  Clock::time_point WaitingSince() override;
  void Collect(Clock::time_point now, bool everything, runtime::StoreBatch& batch) override;
  void Committed(const runtime::StoreBatch& batch) override;
  void NotCommitted(const runtime::StoreBatch& batch) override;

  bool Connected() const { return connected_.load(); }
  std::uint64_t Backlog();

 private:
  static void OnConnect(mosquitto* client, void* self, int rc);
  static void OnDisconnect(mosquitto* client, void* self, int rc);
  static void OnPublish(mosquitto* client, void* self, int mid);
  void Loop();
  // Sends what the replay rate allows of the backlog; whether more waits.
  bool SendBacklog(std::chrono::steady_clock::time_point now);
  // Publishes while connected; the mid, or -1.
  int PublishLocked(const std::string& topic, const std::string& payload, int qos, bool retained);
  // Whether the filter publishes the record of `event`, on the uplink's lock.
  bool ReportLocked(const runtime::RuntimeEvent& event,
                    const std::vector<vocabulary::Reading>& readings);
  // The mids of the states published.
  std::vector<int> PublishOnline(bool online);
  // A line on the event stream when the connection's state changed.
  void State(const std::string& text, bool problem);
  // The messages dropped from the full outbox since the last total, as a
  // line that starts with `lead`; the counts start again from there.
  std::string DropTotalLocked(const std::string& lead);
  // Tells the drops since the last total, if any (the outage is over or the
  // uplink stops).
  void TellDropTotal(const std::string& lead);

  UplinkOptions options_;
  runtime::EventStream& events_;
  std::shared_ptr<runtime::RecordStore> store_;
  std::vector<std::string> systems_;
  Topics topics_;
  BrokerAddress address_;
  mosquitto* client_ = nullptr;

  std::mutex mutex_;  // outbox_, the client's publishing, the state line
  std::condition_variable changed_;
  Outbox outbox_;
  ReportFilter filter_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> stopping_{false};
  bool started_ = false;
  std::string state_;
  std::string client_id_;
  // Outbox drops: the total when a line last told them, and the totals of
  // each kind when a line last summed up an outage.
  std::uint64_t drops_told_ = 0;
  std::uint64_t records_summed_ = 0;
  std::uint64_t events_summed_ = 0;
  std::chrono::steady_clock::time_point replay_next_;  // the backlog's next message
  std::map<std::string, std::uint64_t> health_count_;  // per system
  std::vector<int> final_mids_;                        // the offline states Stop published
  std::set<int> final_acks_;                           // acknowledged while stopping
  std::thread thread_;
};

}  // namespace mqtt

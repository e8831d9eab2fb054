// The MQTT side of `talvekctl run --mqtt URL`: a client (libmosquitto) on a network thread of its
// own, and the bridge between it and the run loop.
//
// The run loop never waits for the broker. Each value to publish goes into a slot (one per tag,
// one per device status): a new value replaces the one not yet sent and marks the slot dirty, so
// what waits for the broker is at most one payload per slot, however long it is away. The network
// thread sends dirty slots while connected, keeps at most kMaxInFlight messages unacknowledged,
// reconnects with back-off, and on every (re)connect marks every slot dirty so that the broker
// holds the latest value of each. Writes received on .../set go into a bounded queue that the run
// loop takes; the loop alone touches the tag table.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/talvekctl/mqtt_topics.h"

struct mosquitto;
struct mosquitto_message;

namespace talvek {
class DriverHost;
struct ProjectState;
struct RuntimeEvent;
}  // namespace talvek

namespace talvekctl {

struct Row;

// What `run --mqtt` was given.
struct MqttOptions {
  BrokerUrl broker;
  std::string prefix;  // UTF-8, checked by PrefixRefusal
  std::string caFile;  // empty: the system's certificate store (mqtts only)
  std::string user;    // empty: no user name
  std::optional<std::string> password;
  int qos = 1;
  bool allowWrites = false;
  bool quiet = false;     // no messages about the connection on standard error
  std::string clientId;   // empty: "talvekctl-<host>-<pid>"
  int keepaliveSec = 30;  // the broker sees a dead gateway after 1.5 times this
  int maxBackoffMs = 30000;
};

// A write asked for on PREFIX/<device>/<tag>/set.
struct MqttWrite {
  std::string device;   // UTF-8
  std::string tag;      // UTF-8
  std::string text;     // the value text
  std::string refusal;  // not empty: the message itself was refused (answer with it)
};

class MqttClient {
 public:
  static constexpr std::size_t kMaxInFlight = 1000;     // sent, not yet acknowledged
  static constexpr std::size_t kMaxQueuedWrites = 256;  // received, not yet taken
  static constexpr std::size_t kMaxQueuedResults = 256;

  explicit MqttClient(MqttOptions options);
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // A slot for a retained topic under the prefix: `levels` are already escaped. Before Start.
  std::size_t AddSlot(const std::string& levels);
  // Sets up the client (will, credentials, TLS) and starts the network thread, which connects
  // and reconnects by itself. False (and *error, UTF-8, never holding the password) only when the
  // client cannot be set up at all (e.g. an unreadable --ca file); a broker that cannot be
  // reached is not an error.
  bool Start(std::string* error);
  // Publishes "offline" on PREFIX/$status when connected, waits (at most `drainMs`) for what is
  // in flight, disconnects cleanly and ends the network thread.
  void Stop(int drainMs = 2000);

  // The latest payload of a slot (any thread); sent when connected.
  void Update(std::size_t slot, std::string payload);
  // A message that is not retained (write results); the oldest go beyond kMaxQueuedResults.
  void Send(const std::string& levels, std::string payload);
  // The writes received since the last call, oldest first.
  std::vector<MqttWrite> TakeWrites();

  bool Connected() const;
  // Messages handed to the library and acknowledged by it (QoS 0: sent).
  uint64_t Acknowledged() const;
  // Slots dirty and results queued: what waits for the broker.
  std::size_t Waiting() const;
  // Blocks until nothing waits and nothing is in flight, or `timeoutMs` passed. True when drained.
  bool WaitDrained(int timeoutMs) const;

 private:
  struct Slot {
    std::string topic;
    std::string payload;
    bool dirty = false;
  };
  struct Outgoing {
    std::size_t slot;  // SIZE_MAX: a result, not retained
    std::string topic;
    std::string payload;
  };
  static constexpr std::size_t kBatch = 64;
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

  void Loop();
  void SendWaiting();
  void MarkAllDirty();
  void Say(const std::string& text) const;
  std::string Topic(const std::string& levels) const { return options_.prefix + "/" + levels; }

  MqttOptions options_;
  mosquitto* mosq_ = nullptr;
  std::thread thread_;
  std::string statusTopic_;
  std::string setFilter_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Slot> slots_;
  std::deque<std::size_t> dirty_;
  std::deque<std::pair<std::string, std::string>> results_;
  std::vector<MqttWrite> writes_;
  bool stopping_ = false;
  bool connected_ = false;
  std::size_t inFlight_ = 0;
  int drainMs_ = 2000;  // Stop's wait for what is in flight
  uint64_t acknowledged_ = 0;
  // Network thread only.
  std::vector<Outgoing> batch_;
  bool refusedSaid_ = false;
  int backoffMs_ = 500;
};

// Ties a client to a project's run: a slot per polled tag and per device, the status of each
// device from the driver host's statistics, and the writes received, carried out through the
// same checks and writers as `talvekctl set`. Run-loop thread only.
class MqttBridge {
 public:
  MqttBridge(MqttOptions options, const talvek::ProjectState& state,
             const std::vector<bool>& polled);
  ~MqttBridge();
  bool Start(std::string* error) { return client_.Start(error); }
  void Stop() { client_.Stop(); }

  // A polled tag's value changed (its row as the printer shows it).
  void OnChange(std::size_t tagIndex, const Row& row);
  // The events the host reported: the outcomes of the writes made for /set messages.
  void OnEvents(const std::vector<talvek::RuntimeEvent>& events);
  // Carries out the writes received and publishes the device statuses (on a change of status,
  // and every kStatusRefreshMs). `nowMs` on a monotonic clock.
  void Tick(talvek::DriverHost& host, int64_t nowMs);
  // Publishes every device's status now.
  void PublishStatuses(talvek::DriverHost& host);

  MqttClient& Client() { return client_; }
  static constexpr int64_t kStatusRefreshMs = 5000;

 private:
  struct Device {
    std::string gbkName;
    std::size_t slot = 0;
    std::string lastStatus;
    int64_t lastMs = 0;
  };
  struct Pending {
    std::string gbkTag;
    std::string levels;  // "<device>/<tag>" escaped
  };
  void Answer(const std::string& levels, bool ok, const std::string& error);
  void CarryOut(talvek::DriverHost& host, const MqttWrite& write);
  void Statuses(talvek::DriverHost& host, int64_t nowMs, bool force);

  MqttClient client_;
  bool allowWrites_;
  const talvek::ProjectState& state_;
  const std::vector<bool>& polled_;
  std::vector<std::size_t> tagSlot_;  // per tag index; SIZE_MAX when not published
  std::vector<Device> devices_;
  std::deque<Pending> pending_;     // writes handed to a driver, awaiting their outcome
  std::vector<int32_t> downPorts_;  // ports reported down and not up since
};

}  // namespace talvekctl

// The MQTT client of `talvekctl run --mqtt` (libmosquitto, driven by a network thread of our own,
// so that connecting, reconnecting and stopping follow our deadlines) and its bridge to the run.
#include "tools/talvekctl/ctl_mqtt.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/gbk.h"
#include "tools/talvekctl/talvekctl.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/entered_value.h"
#include "workbench/runtime/tag_table.h"

namespace talvekctl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kOnline[] = "{\"status\":\"online\"}";
constexpr char kOfflineStopped[] = "{\"status\":\"offline\",\"reason\":\"stopped\"}";
constexpr char kOfflineLost[] = "{\"status\":\"offline\",\"reason\":\"connection lost\"}";
constexpr auto kConnackDeadline = std::chrono::seconds(10);

// libmosquitto wants one initialisation per process, before the first client.
void InitLibrary() {
  static const int once = mosquitto_lib_init();
  static_cast<void>(once);
}

std::string DefaultClientId() {
  char host[64] = {};
  if (gethostname(host, sizeof host - 1) != 0)
    host[0] = '\0';
  // Client identifiers of 23 bytes or fewer are accepted by every broker.
  std::string id = "talvekctl-" + std::to_string(getpid()) + "-" + host;
  return id.substr(0, 23);
}

std::string Utf8(std::string_view gbk) {
  return platform::GbkToUtf8(gbk);
}

std::string Gbk(std::string_view utf8) {
  std::string out;
  return platform::Utf8ToGbk(utf8, out) ? out : std::string();
}

}  // namespace

MqttClient::MqttClient(MqttOptions options) : options_(std::move(options)) {
  statusTopic_ = options_.prefix + "/$status";
  setFilter_ = options_.prefix + "/+/+/set";
}

MqttClient::~MqttClient() {
  Stop(0);
  if (mosq_ != nullptr)
    mosquitto_destroy(mosq_);
}

std::size_t MqttClient::AddSlot(const std::string& levels) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.push_back(Slot{Topic(levels), std::string(), false});
  return slots_.size() - 1;
}

bool MqttClient::Start(std::string* error) {
  InitLibrary();
  auto fail = [&](const std::string& why) {
    if (error != nullptr)
      *error = why;
    return false;
  };
  if (options_.clientId.empty())
    options_.clientId = DefaultClientId();
  mosq_ = mosquitto_new(options_.clientId.c_str(), /*clean_session=*/true, this);
  if (mosq_ == nullptr)
    return fail(Tr("the MQTT client could not be created", "无法创建 MQTT 客户端"));
  mosquitto_connect_callback_set(mosq_, &MqttClient::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttClient::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttClient::OnPublish);
  mosquitto_message_callback_set(mosq_, &MqttClient::OnMessage);
  mosquitto_max_inflight_messages_set(mosq_, static_cast<unsigned>(kMaxInFlight));
  if (mosquitto_will_set(mosq_, statusTopic_.c_str(), static_cast<int>(std::strlen(kOfflineLost)),
                         kOfflineLost, 1, true) != MOSQ_ERR_SUCCESS)
    return fail(Tr("the topic prefix cannot be used", "主题前缀无法使用"));
  if (!options_.user.empty() || options_.password) {
    if (mosquitto_username_pw_set(mosq_, options_.user.empty() ? nullptr : options_.user.c_str(),
                                  options_.password ? options_.password->c_str() : nullptr) !=
        MOSQ_ERR_SUCCESS)
      return fail(Tr("the user name or password cannot be used", "用户名或密码无法使用"));
  }
  if (options_.broker.tls) {
    int rc = MOSQ_ERR_SUCCESS;
    if (!options_.caFile.empty())
      rc = mosquitto_tls_set(mosq_, options_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    else
      rc = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    if (rc != MOSQ_ERR_SUCCESS)
      return fail(std::string(Tr("the certificate file cannot be used: ", "证书文件无法使用：")) +
                  options_.caFile);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread(&MqttClient::Loop, this);
  return true;
}

void MqttClient::Stop(int drainMs) {
  if (!thread_.joinable())
    return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    drainMs_ = drainMs;
  }
  changed_.notify_all();
  thread_.join();
}

void MqttClient::Update(std::size_t slot, std::string payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slot >= slots_.size())
    return;
  Slot& s = slots_[slot];
  s.payload = std::move(payload);
  if (!s.dirty) {
    s.dirty = true;
    dirty_.push_back(slot);
  }
}

void MqttClient::Send(const std::string& levels, std::string payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (results_.size() >= kMaxQueuedResults)
    results_.pop_front();
  results_.emplace_back(Topic(levels), std::move(payload));
}

std::vector<MqttWrite> MqttClient::TakeWrites() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<MqttWrite> out;
  out.swap(writes_);
  return out;
}

bool MqttClient::Connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

uint64_t MqttClient::Acknowledged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return acknowledged_;
}

std::size_t MqttClient::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dirty_.size() + results_.size();
}

bool MqttClient::WaitDrained(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return connected_ && dirty_.empty() && results_.empty() && inFlight_ == 0;
  });
}

void MqttClient::Say(const std::string& text) const {
  if (!options_.quiet)
    Complain(text);
}

void MqttClient::MarkAllDirty() {
  dirty_.clear();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    slots_[i].dirty = !slots_[i].payload.empty();
    if (slots_[i].dirty)
      dirty_.push_back(i);
  }
}

void MqttClient::OnConnect(mosquitto* m, void* self, int rc) {
  auto* c = static_cast<MqttClient*>(self);
  if (rc != 0) {
    if (!c->refusedSaid_) {
      c->Say(std::string(Tr("the broker refused the connection: ", "代理拒绝了连接：")) +
             mosquitto_connack_string(rc));
      c->refusedSaid_ = true;
    }
    return;
  }
  c->refusedSaid_ = false;
  c->Say(std::string(Tr("connected to the broker ", "已连接到代理 ")) + c->options_.broker.host +
         ":" + std::to_string(c->options_.broker.port));
  {
    std::lock_guard<std::mutex> lock(c->mutex_);
    c->connected_ = true;
    c->backoffMs_ = 500;
    // What the broker held may predate values sent meanwhile (or be gone with a restarted
    // broker): every slot goes again. Messages the library still holds from the old connection
    // are acknowledged apart.
    c->inFlight_ = 0;
    c->MarkAllDirty();
  }
  mosquitto_subscribe(m, nullptr, c->setFilter_.c_str(), c->options_.qos);
  mosquitto_publish(m, nullptr, c->statusTopic_.c_str(), static_cast<int>(std::strlen(kOnline)),
                    kOnline, 1, true);
  c->changed_.notify_all();
}

void MqttClient::OnDisconnect(mosquitto*, void* self, int rc) {
  auto* c = static_cast<MqttClient*>(self);
  bool was = false;
  {
    std::lock_guard<std::mutex> lock(c->mutex_);
    was = c->connected_;
    c->connected_ = false;
  }
  if (was && rc != 0)
    c->Say(Tr("the connection to the broker was lost; reconnecting", "与代理的连接断开，正在重连"));
}

void MqttClient::OnPublish(mosquitto*, void* self, int) {
  auto* c = static_cast<MqttClient*>(self);
  {
    std::lock_guard<std::mutex> lock(c->mutex_);
    if (c->inFlight_ > 0)
      --c->inFlight_;
    ++c->acknowledged_;
  }
  c->changed_.notify_all();
}

void MqttClient::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* c = static_cast<MqttClient*>(self);
  // A retained write is an old order left on the broker: never carried out.
  if (message->retain || message->topic == nullptr)
    return;
  const std::string_view topic(message->topic);
  const std::string head = c->options_.prefix + "/";
  if (topic.substr(0, head.size()) != head)
    return;
  std::optional<SetTarget> target = ParseSetTopic(topic.substr(head.size()));
  if (!target)
    return;
  MqttWrite write;
  write.device = std::move(target->device);
  write.tag = std::move(target->tag);
  const std::string_view payload(static_cast<const char*>(message->payload),
                                 static_cast<std::size_t>(std::max(message->payloadlen, 0)));
  if (std::optional<std::string> text = SetPayloadText(payload, &write.refusal))
    write.text = std::move(*text);
  std::lock_guard<std::mutex> lock(c->mutex_);
  if (c->writes_.size() >= kMaxQueuedWrites) {
    const std::string levels =
        std::string(topic.substr(head.size(), topic.size() - head.size() - 4));
    if (c->results_.size() >= kMaxQueuedResults)
      c->results_.pop_front();
    c->results_.emplace_back(
        c->Topic(levels + "/set/result"),
        WriteResultPayload(false, Tr("too many writes are waiting", "等待执行的写入太多")));
    return;
  }
  c->writes_.push_back(std::move(write));
}

void MqttClient::SendWaiting() {
  for (;;) {
    // A batch under one lock, so that the run loop's updates rarely wait for this thread.
    batch_.clear();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!connected_)
        return;
      while (batch_.size() < kBatch && inFlight_ + batch_.size() < kMaxInFlight) {
        if (!results_.empty()) {
          batch_.push_back(Outgoing{SIZE_MAX, std::move(results_.front().first),
                                    std::move(results_.front().second)});
          results_.pop_front();
        } else if (!dirty_.empty()) {
          const std::size_t slot = dirty_.front();
          dirty_.pop_front();
          Slot& s = slots_[slot];
          s.dirty = false;
          batch_.push_back(Outgoing{slot, s.topic, s.payload});
        } else {
          break;
        }
      }
      if (batch_.empty()) {
        changed_.notify_all();
        return;
      }
      inFlight_ += batch_.size();  // before the calls: a QoS 0 message is acknowledged inside
    }
    for (std::size_t i = 0; i < batch_.size(); ++i) {
      const Outgoing& m = batch_[i];
      const int rc =
          mosquitto_publish(mosq_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                            m.payload.data(), options_.qos, m.slot != SIZE_MAX);
      if (rc == MOSQ_ERR_SUCCESS)
        continue;
      std::lock_guard<std::mutex> lock(mutex_);
      inFlight_ -= std::min(
          inFlight_, rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO
                         ? batch_.size() - i
                         : std::size_t{1});
      if (rc != MOSQ_ERR_NO_CONN && rc != MOSQ_ERR_CONN_LOST && rc != MOSQ_ERR_ERRNO)
        continue;  // this message cannot be sent at all (too large): the others still go
      // The connection went: what was not sent waits for the next connect.
      for (std::size_t j = batch_.size(); j-- > i;) {
        Outgoing& back = batch_[j];
        if (back.slot == SIZE_MAX) {
          results_.emplace_front(std::move(back.topic), std::move(back.payload));
        } else if (!slots_[back.slot].dirty) {
          slots_[back.slot].dirty = true;
          dirty_.push_front(back.slot);
        }
      }
      return;
    }
  }
}

void MqttClient::Loop() {
  bool socketUp = false;
  bool downSaid = false;
  Clock::time_point nextAttempt = Clock::now();
  Clock::time_point attemptStart;
  int drainMs = 0;
  const std::string where = options_.broker.host + ":" + std::to_string(options_.broker.port);
  auto scheduleRetry = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
    nextAttempt = Clock::now() + std::chrono::milliseconds(backoffMs_);
    backoffMs_ = std::min(backoffMs_ * 2, std::max(options_.maxBackoffMs, 500));
  };
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (stopping_) {
        drainMs = drainMs_;
        break;
      }
      if (!socketUp && Clock::now() < nextAttempt) {
        changed_.wait_until(lock, nextAttempt, [&] { return stopping_; });
        continue;
      }
    }
    if (!socketUp) {
      const int rc = mosquitto_connect_async(mosq_, options_.broker.host.c_str(),
                                             options_.broker.port, options_.keepaliveSec);
      if (rc == MOSQ_ERR_SUCCESS) {
        socketUp = true;
        attemptStart = Clock::now();
      } else {
        if (!downSaid) {
          Say(std::string(Tr("the broker cannot be reached (", "无法连接代理 (")) + where + ": " +
              (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) +
              Tr("); polling goes on, retrying", ")；轮询继续，稍后重试"));
          downSaid = true;
        }
        scheduleRetry();
      }
      continue;
    }
    SendWaiting();
    const int rc = mosquitto_loop(mosq_, 10, 1);
    bool up = rc == MOSQ_ERR_SUCCESS;
    if (up && !Connected() && Clock::now() - attemptStart > kConnackDeadline) {
      mosquitto_disconnect(mosq_);
      up = false;
    }
    if (!up) {
      // A refused connect was said already, with the broker's reason.
      if (!downSaid && !Connected() && !refusedSaid_) {
        Say(std::string(Tr("the broker cannot be reached (", "无法连接代理 (")) + where + ": " +
            (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) +
            Tr("); polling goes on, retrying", ")；轮询继续，稍后重试"));
        downSaid = true;
      }
      socketUp = false;
      scheduleRetry();
    } else if (Connected()) {
      downSaid = false;
    }
  }
  // A clean stop: what waits goes out first, then "offline", then the disconnect (so that the
  // broker does not send the will).
  if (!socketUp)
    return;
  auto deadline = Clock::now() + std::chrono::milliseconds(drainMs);
  auto drain = [&](auto done) {
    while (Clock::now() < deadline && Connected() && !done()) {
      SendWaiting();
      if (mosquitto_loop(mosq_, 10, 1) != MOSQ_ERR_SUCCESS)
        break;
    }
  };
  drain([&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return dirty_.empty() && results_.empty() && inFlight_ == 0;
  });
  if (Connected()) {
    // "offline" gets its own time, however long the last values took.
    deadline = Clock::now() + std::chrono::milliseconds(drainMs);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++inFlight_;
    }
    if (mosquitto_publish(mosq_, nullptr, statusTopic_.c_str(),
                          static_cast<int>(std::strlen(kOfflineStopped)), kOfflineStopped, 1,
                          true) == MOSQ_ERR_SUCCESS) {
      drain([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return inFlight_ == 0;
      });
    }
  }
  mosquitto_disconnect(mosq_);
  for (int i = 0; i < 5 && mosquitto_loop(mosq_, 10, 1) == MOSQ_ERR_SUCCESS; ++i) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = false;
}

MqttBridge::MqttBridge(MqttOptions options, const talvek::ProjectState& state,
                       const std::vector<bool>& polled)
    : client_(options), allowWrites_(options.allowWrites), state_(state), polled_(polled) {
  tagSlot_.assign(state.tags.size(), SIZE_MAX);
  for (std::size_t i = 0; i < state.tags.size(); ++i) {
    if (i < polled.size() && polled[i]) {
      const TagRecord& tag = state.tags[i];
      tagSlot_[i] = client_.AddSlot(EscapeLevel(Utf8(platform::ArrayText(tag.deviceName))) + "/" +
                                    EscapeLevel(Utf8(platform::ArrayText(tag.name))));
    }
  }
  for (std::size_t d = 0; d < state.devices.GetSize(); ++d) {
    Device device;
    device.gbkName = std::string(platform::ArrayText(state.devices[d].logicalName));
    device.slot = client_.AddSlot(EscapeLevel(Utf8(device.gbkName)) + "/$status");
    talvek::DeviceStatistics waiting;
    device.lastStatus = DeviceStatusText(waiting.state);
    client_.Update(device.slot, DeviceStatusPayload(waiting));
    devices_.push_back(std::move(device));
  }
}

MqttBridge::~MqttBridge() = default;

void MqttBridge::OnChange(std::size_t tagIndex, const Row& row) {
  if (tagIndex < tagSlot_.size() && tagSlot_[tagIndex] != SIZE_MAX)
    client_.Update(tagSlot_[tagIndex], TagPayload(row));
}

void MqttBridge::Answer(const std::string& levels, bool ok, const std::string& error) {
  client_.Send(levels + "/set/result", WriteResultPayload(ok, error));
}

void MqttBridge::OnEvents(const std::vector<talvek::RuntimeEvent>& events) {
  using Kind = talvek::RuntimeEvent::Kind;
  for (const talvek::RuntimeEvent& e : events) {
    const auto down = std::find(downPorts_.begin(), downPorts_.end(), e.portNumber);
    if (e.kind == Kind::kPortDown && down == downPorts_.end())
      downPorts_.push_back(e.portNumber);
    else if (e.kind == Kind::kPortUp && down != downPorts_.end())
      downPorts_.erase(down);
    if (!e.interactive || (e.kind != Kind::kWriteDone && e.kind != Kind::kWriteFailed &&
                           e.kind != Kind::kWriteNotQueued))
      continue;
    const auto it = std::find_if(pending_.begin(), pending_.end(),
                                 [&](const Pending& p) { return p.gbkTag == e.tagName; });
    if (it == pending_.end())
      continue;
    std::string error;
    if (e.kind == Kind::kWriteNotQueued)
      error = Tr("no driver took the write", "写入没有被接受");
    else if (e.kind == Kind::kWriteFailed)
      error = e.text.empty() ? std::string(Tr("write failed", "写入失败")) : Utf8(e.text);
    Answer(it->levels, e.kind == Kind::kWriteDone, error);
    pending_.erase(it);
  }
}

void MqttBridge::CarryOut(talvek::DriverHost& host, const MqttWrite& write) {
  const std::string levels = EscapeLevel(write.device) + "/" + EscapeLevel(write.tag);
  if (!write.refusal.empty())
    return Answer(levels, false, write.refusal);
  if (!allowWrites_)
    return Answer(levels, false,
                  Tr("writes are not allowed: talvekctl run was started without --allow-writes",
                     "不允许写入：talvekctl run 启动时没有 --allow-writes"));
  talvek::RuntimeTagTable& table = talvek::Tags();
  const std::string gbkTag = Gbk(write.tag);
  const std::string gbkDevice = Gbk(write.device);
  uint16_t index = 0;
  if (gbkTag.empty() || gbkDevice.empty() || !table.FindTagIndex(gbkTag, index) ||
      index >= polled_.size() || !polled_[index] ||
      platform::ArrayText(state_.tags[index].deviceName) != gbkDevice)
    return Answer(levels, false, Tr("the device has no such tag", "该设备没有这个变量"));
  std::string refusal;
  const std::optional<talvek::EnteredValue> value =
      talvek::CheckEnteredValue(state_.tags[index], write.text, &refusal);
  if (!value)
    return Answer(levels, false,
                  refusal.empty()
                      ? std::string(Tr("the tag's type cannot be written", "该变量的类型不能写入"))
                      : refusal);
  // As the value-entry dialog writes: interactive, so a write no driver takes is reported at
  // once and the outcome arrives as an event (OnEvents).
  talvek::InteractiveWrites interactive(host);
  if (talvek::WriteEnteredValue(table, gbkTag, *value) == 0)
    return Answer(levels, false, Tr("the device has no such tag", "该设备没有这个变量"));
  // Outcomes that never come (a driver that stops first) must not pile up.
  if (pending_.size() >= MqttClient::kMaxQueuedWrites)
    pending_.pop_front();
  pending_.push_back(Pending{gbkTag, levels});
}

void MqttBridge::Statuses(talvek::DriverHost& host, int64_t nowMs, bool force) {
  const std::vector<talvek::DeviceStatistics> all = host.Statistics();
  for (Device& d : devices_) {
    const auto it = std::find_if(all.begin(), all.end(), [&](const talvek::DeviceStatistics& s) {
      return s.deviceName == d.gbkName;
    });
    if (it == all.end())
      continue;
    talvek::DeviceStatistics s = *it;
    // A port that never opened leaves its stations "waiting": to a subscriber they are failing.
    if (s.state == talvek::DeviceState::kWaiting &&
        std::find(downPorts_.begin(), downPorts_.end(), s.portNumber) != downPorts_.end())
      s.state = talvek::DeviceState::kPortDown;
    const std::string status = DeviceStatusText(s.state);
    if (!force && status == d.lastStatus && nowMs - d.lastMs < kStatusRefreshMs)
      continue;
    s.lastError = Utf8(s.lastError);
    client_.Update(d.slot, DeviceStatusPayload(s));
    d.lastStatus = status;
    d.lastMs = nowMs;
  }
}

void MqttBridge::PublishStatuses(talvek::DriverHost& host) {
  Statuses(host, 0, true);
}

void MqttBridge::Tick(talvek::DriverHost& host, int64_t nowMs) {
  for (const MqttWrite& w : client_.TakeWrites())
    CarryOut(host, w);
  Statuses(host, nowMs, false);
}

}  // namespace talvekctl

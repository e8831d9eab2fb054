// Test fixtures: Debian's MQTT broker (mosquitto) as a child process on a free port of
// 127.0.0.1, and an independent subscriber (mosquitto_sub as a child process) that hands out the
// messages it receives.
//
//   testing_support::MosquittoBroker broker;
//   ASSERT_TRUE(broker.Start()) << broker.Error();      // broker.Url(): "mqtt://127.0.0.1:<port>"
//   testing_support::MqttWatcher watch;
//   ASSERT_TRUE(watch.Start(broker.Port(), "talvek/#")) << watch.Error();
//   auto m = watch.WaitFor("talvek/demo/$status", "online", 5000);
//   broker.Stop(); broker.Start();                       // the same port again
//
// Start waits until the broker listens, and the watcher until its subscription is in place (a
// probe message went round), so no fixed sleeps are needed. The children never outlive them.
#pragma once

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/testing/modbus_peer.h"
#include "common/testing/test_support.h"

namespace testing_support {

namespace mqtt_detail {

// A program of the mosquitto packages: the broker lives in /usr/sbin, which may not be on PATH.
inline std::string Program(const char* name) {
  for (const char* folder : {"/usr/sbin/", "/usr/bin/"}) {
    const std::string path = std::string(folder) + name;
    if (access(path.c_str(), X_OK) == 0)
      return path;
  }
  return {};
}

}  // namespace mqtt_detail

class MosquittoBroker {
 public:
  static constexpr int kReadyDeadlineMs = 10000;

  MosquittoBroker() = default;
  ~MosquittoBroker() { Stop(); }
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // True when the broker and its clients are installed (scripts/setup.sh installs them).
  static bool CanRun(std::string* why = nullptr) {
    for (const char* name : {"mosquitto", "mosquitto_sub", "mosquitto_pub"}) {
      if (mqtt_detail::Program(name).empty()) {
        if (why != nullptr)
          *why = std::string(name) + " is not installed (scripts/setup.sh installs it)";
        return false;
      }
    }
    return true;
  }

  // Listens on a free port of 127.0.0.1 (anonymous clients, nothing kept on disk), or on the port
  // of the previous start; with `tls`, on a second port too (TlsPort()), with a certificate for
  // 127.0.0.1 signed by a test CA made here with openssl (CaFile()). False with Error() when it
  // does not listen within 10 s.
  bool Start(bool tls = false) {
    namespace d = modbus_peer_detail;
    Stop();
    const bool restart = port_ != 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!restart)
        port_ = d::FreeLoopbackPort();
      if (port_ == 0)
        return Fail("no free TCP port");
      const std::string config = (dir_ / "mosquitto.conf").string();
      std::ofstream out(config, std::ios::trunc);
      out << "listener " << port_ << " 127.0.0.1\n"
          << "allow_anonymous true\n"
          << "persistence false\n"
          << "log_dest none\n";
      if (tls) {
        if (tlsPort_ == 0 && (tlsPort_ = d::FreeLoopbackPort()) == 0)
          return Fail("no free TCP port");
        if (!MakeCertificates())
          return Fail("openssl could not make the test certificates");
        out << "listener " << tlsPort_ << " 127.0.0.1\n"
            << "cafile " << CaFile() << "\n"
            << "certfile " << (dir_ / "server.pem").string() << "\n"
            << "keyfile " << (dir_ / "server.key").string() << "\n";
      }
      // Run as root, the broker would switch to the user "mosquitto": keep it ours.
      if (const passwd* pw = getpwuid(getuid()))
        out << "user " << pw->pw_name << "\n";
      out.close();
      pid_ = d::Spawn({mqtt_detail::Program("mosquitto"), "-c", config}, false, d::kDevNull,
                      d::kDevNull, d::kDevNull);
      if (pid_ < 0)
        return Fail("mosquitto could not be started (scripts/setup.sh installs it)");
      const int64_t deadline = d::NowMs() + kReadyDeadlineMs;
      while (d::NowMs() < deadline) {
        if (d::ListeningOnLoopback(port_) && (!tls || d::ListeningOnLoopback(tlsPort_)))
          return true;
        if (d::WaitForExit(pid_, d::NowMs() + 20)) {
          pid_ = -1;
          break;  // ended at once: the port was taken meanwhile
        }
      }
      Stop();
    }
    return Fail("mosquitto did not listen within 10 s");
  }

  // Ends the broker (SIGTERM, SIGKILL after 5 s); its clients lose their connections and what it
  // retained is gone.
  void Stop() {
    if (pid_ > 0)
      modbus_peer_detail::EndChild(pid_, SIGTERM, 5000);
    pid_ = -1;
  }

  // Publishes one message with mosquitto_pub (QoS 1); false when it could not be delivered.
  bool Publish(const std::string& topic, const std::string& payload, bool retain = false) const {
    namespace d = modbus_peer_detail;
    std::vector<std::string> args = {mqtt_detail::Program("mosquitto_pub"),
                                     "-h",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(port_),
                                     "-q",
                                     "1",
                                     "-t",
                                     topic,
                                     "-m",
                                     payload};
    if (retain)
      args.push_back("-r");
    const pid_t pid = d::Spawn(args, false, d::kDevNull, d::kDevNull, d::kDevNull);
    if (pid < 0)
      return false;
    const int status = d::EndChild(pid, 0, 5000);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  int Port() const { return port_; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
  std::string TlsUrl() const { return "mqtts://127.0.0.1:" + std::to_string(tlsPort_); }
  std::string CaFile() const { return (dir_ / "ca.pem").string(); }
  const std::string& Error() const { return error_; }

 private:
  // A CA and a server certificate for 127.0.0.1 signed by it (P-256 keys: quick to make).
  bool MakeCertificates() {
    namespace d = modbus_peer_detail;
    if (access(CaFile().c_str(), R_OK) == 0)
      return true;
    {
      std::ofstream ext(dir_ / "ext.cnf");
      ext << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    }
    const std::string at = dir_.str() + "/";
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", at + "ca.key", "-out", at + "ca.pem", "-days", "2", "-subj",
         "/CN=talvek test CA"},
        {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", at + "server.key", "-out", at + "server.csr", "-subj", "/CN=127.0.0.1"},
        {"openssl", "x509", "-req", "-in", at + "server.csr", "-CA", at + "ca.pem", "-CAkey",
         at + "ca.key", "-CAcreateserial", "-out", at + "server.pem", "-days", "2", "-extfile",
         at + "ext.cnf"}};
    for (const auto& step : steps) {
      const pid_t pid = d::Spawn(step, true, d::kDevNull, d::kDevNull, d::kDevNull);
      if (pid < 0)
        return false;
      const int status = d::EndChild(pid, 0, 10000);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    }
    return true;
  }

  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }

  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  int tlsPort_ = 0;
  std::string error_;
};

// One message a watcher received.
struct MqttMessage {
  bool retained = false;
  std::string topic;
  std::string payload;
};

class MqttWatcher {
 public:
  static constexpr int kReadyDeadlineMs = 10000;

  MqttWatcher() = default;
  ~MqttWatcher() { Stop(); }
  MqttWatcher(const MqttWatcher&) = delete;
  MqttWatcher& operator=(const MqttWatcher&) = delete;

  // Subscribes to `filter` on the broker at 127.0.0.1:`port` and returns once the subscription
  // is in place. False with Error() otherwise.
  bool Start(int port, const std::string& filter) {
    namespace d = modbus_peer_detail;
    Stop();
    port_ = port;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
      return Fail("no pipe");
    d::Fd readEnd(fds[0]);
    d::Fd writeEnd(fds[1]);
    const std::string probe = "talvek-test-probe/" + std::to_string(getpid());
    // One line per message: retained flag, topic and payload, separated by 0x1F (no topic or
    // payload of the tests holds it).
    pid_ = d::Spawn(
        {mqtt_detail::Program("mosquitto_sub"), "-h", "127.0.0.1", "-p", std::to_string(port), "-q",
         "1", "-t", filter, "-t", probe, "-F", "%r\x1f%t\x1f%p"},
        false, d::kDevNull, writeEnd.get(), d::kDevNull);
    if (pid_ < 0)
      return Fail("mosquitto_sub could not be started");
    writeEnd.reset();
    reader_ = d::LineReader(std::move(readEnd));
    const int64_t deadline = d::NowMs() + kReadyDeadlineMs;
    while (d::NowMs() < deadline) {
      PublishProbe(probe);
      if (WaitFor(probe, "", 200))
        return true;
    }
    return Fail("mosquitto_sub did not subscribe within 10 s");
  }

  void Stop() {
    if (pid_ > 0)
      modbus_peer_detail::EndChild(pid_, SIGTERM, 5000);
    pid_ = -1;
  }

  // The first message received and not handed out yet whose topic is `topic` and whose payload
  // holds `part`, waiting at most `timeoutMs` for it; nullopt at the deadline.
  std::optional<MqttMessage> WaitFor(std::string_view topic, std::string_view part, int timeoutMs) {
    namespace d = modbus_peer_detail;
    const int64_t deadline = d::NowMs() + timeoutMs;
    for (std::size_t from = 0;;) {
      for (; from < seen_.size(); ++from) {
        const MqttMessage& m = seen_[from];
        if (!taken_[from] && m.topic == topic && m.payload.find(part) != std::string::npos) {
          taken_[from] = true;
          return m;
        }
      }
      const std::optional<std::string> line = reader_.ReadLine(deadline);
      if (!line)
        return std::nullopt;
      const std::size_t a = line->find('\x1f');
      const std::size_t b = a == std::string::npos ? a : line->find('\x1f', a + 1);
      if (b == std::string::npos)
        continue;
      seen_.push_back(MqttMessage{line->substr(0, a) == "1", line->substr(a + 1, b - a - 1),
                                  line->substr(b + 1)});
      taken_.push_back(false);
    }
  }
  // Marks every message received so far as handed out: WaitFor looks only at newer ones.
  void SkipSeen() { taken_.assign(taken_.size(), true); }
  const std::vector<MqttMessage>& Seen() const { return seen_; }
  const std::string& Error() const { return error_; }

 private:
  void PublishProbe(const std::string& topic) {
    namespace d = modbus_peer_detail;
    const pid_t pid = d::Spawn({mqtt_detail::Program("mosquitto_pub"), "-h", "127.0.0.1", "-p",
                                std::to_string(port_), "-t", topic, "-m", "probe"},
                               false, d::kDevNull, d::kDevNull, d::kDevNull);
    if (pid > 0)
      d::EndChild(pid, 0, 5000);
  }

  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }

  pid_t pid_ = -1;
  int port_ = 0;
  modbus_peer_detail::LineReader reader_;
  std::vector<MqttMessage> seen_;
  std::vector<bool> taken_;
  std::string error_;
};

}  // namespace testing_support

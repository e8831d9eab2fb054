// Test fixture: ser2net (Debian's serial device server) as a child process, bridging a TCP port on
// 127.0.0.1 to a serial device (a simulator's pseudo-terminal), as raw TCP or as RFC 2217.
//
//   testing_support::Ser2net server;
//   ASSERT_TRUE(server.Start(sim.SlavePath(), Ser2net::Mode::kRfc2217)) << server.Error();
//   ... map Com5 to server.Url() ("rfc2217://127.0.0.1:<port>"); Stop() drops the connection,
//   and Start() again serves on the same port ...
//
// Start waits until the port listens (seen in /proc/net/tcp: a probe connection would open the
// device). The child never outlives the fixture.
#pragma once

#include <signal.h>

#include <fstream>
#include <string>

#include "common/testing/modbus_peer.h"
#include "common/testing/test_support.h"

namespace testing_support {

class Ser2net {
 public:
  enum class Mode { kRaw, kRfc2217 };
  static constexpr int kReadyDeadlineMs = 10000;

  Ser2net() = default;
  ~Ser2net() { Stop(); }
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  // Serves `device` (at `baud`, 8N1 until a client sets the line) on a free port of 127.0.0.1, or
  // on the port of the previous start. False with Error() when ser2net is missing or does not
  // listen within 10 s.
  bool Start(const std::string& device, Mode mode, int baud = 9600) {
    namespace d = modbus_peer_detail;
    Stop();
    // A restart keeps its port (the clients' mapping names it); a first start takes a free one,
    // and another when that was taken meanwhile.
    const bool restart = port_ != 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!restart)
        port_ = modbus_peer_detail::FreeLoopbackPort();
      if (port_ == 0)
        return Fail("no free TCP port");
      mode_ = mode;
      const std::string config = (dir_ / "ser2net.yaml").string();
      std::ofstream out(config, std::ios::trunc);
      out << "connection: &talvek\n"
          << "  accepter: " << (mode == Mode::kRfc2217 ? "telnet(rfc2217),tcp," : "tcp,")
          << "127.0.0.1," << port_ << "\n"
          << "  connector: serialdev," << device << "," << baud << "n81,local\n"
          << "  options:\n"
          << "    kickolduser: true\n";
      out.close();
      pid_ = d::Spawn({"ser2net", "-n", "-u", "-c", config, "-P", (dir_ / "pid").string()}, true,
                      d::kDevNull, d::kDevNull, d::kDevNull);
      if (pid_ < 0)
        return Fail("ser2net could not be started (scripts/setup.sh installs it)");
      const int64_t deadline = d::NowMs() + kReadyDeadlineMs;
      while (d::NowMs() < deadline) {
        if (modbus_peer_detail::ListeningOnLoopback(port_))
          return true;
        int status = 0;
        if (d::WaitForExit(pid_, d::NowMs() + 20, &status)) {
          pid_ = -1;
          break;  // ended at once: the configuration or the port was refused
        }
      }
      Stop();
    }
    return Fail("ser2net did not listen within 10 s");
  }

  // Ends ser2net (SIGTERM, SIGKILL after 5 s); its connections drop.
  void Stop() {
    if (pid_ > 0)
      modbus_peer_detail::EndChild(pid_, SIGTERM, 5000);
    pid_ = -1;
  }

  int Port() const { return port_; }
  // "tcp://127.0.0.1:<port>" or "rfc2217://127.0.0.1:<port>".
  std::string Url() const {
    return std::string(mode_ == Mode::kRfc2217 ? "rfc2217" : "tcp") +
           "://127.0.0.1:" + std::to_string(port_);
  }
  const std::string& Error() const { return error_; }

 private:
  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }

  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  Mode mode_ = Mode::kRaw;
  std::string error_;
};

}  // namespace testing_support

// A read of 125 holding registers over Modbus TCP: through the driver (one request group of 125
// uint16 items, ExecuteGroupEx) and through libmodbus's own client (modbus_read_registers), both
// against a libmodbus server on 127.0.0.1 in this process. Times are wall-clock per read.
//
// The delayed cases talk to a second server that waits 5 ms before each reply; their counter
// `cpu_us` is the client thread's user + system CPU time per request (getrusage RUSAGE_THREAD),
// which stays near zero when the client sleeps while the answer is pending.
//
//   build-bench/bin/modbus_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "common/driver_contract.h"
#include "drivers/modbus/zirevi_driver.h"

namespace {

constexpr int kRegisters = 1000;
constexpr int kCount = 125;
constexpr uint16_t kTypeUint16 = 8;
constexpr auto kSlowReply = std::chrono::milliseconds(5);

// A libmodbus TCP server on its own thread: one connection at a time, accepted again and again,
// so every client of the benchmark gets served in turn. Register i holds 1000 + i.
class LibmodbusServer {
 public:
  explicit LibmodbusServer(std::chrono::milliseconds delay) : delay_(delay) {
    ctx_ = modbus_new_tcp("127.0.0.1", 0);
    mapping_ = modbus_mapping_new(0, 0, kRegisters, 0);
    if (ctx_ == nullptr || mapping_ == nullptr)
      return;
    for (int i = 0; i < kRegisters; ++i)
      mapping_->tab_registers[i] = static_cast<uint16_t>(1000 + i);
    listen_ = modbus_tcp_listen(ctx_, 4);
    if (listen_ < 0)
      return;
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  ~LibmodbusServer() {
    stop_ = true;
    if (listen_ >= 0)
      shutdown(listen_, SHUT_RDWR);  // wakes the accept
    if (thread_.joinable())
      thread_.join();
    if (listen_ >= 0)
      close(listen_);
    if (mapping_ != nullptr)
      modbus_mapping_free(mapping_);
    if (ctx_ != nullptr)
      modbus_free(ctx_);
  }
  LibmodbusServer(const LibmodbusServer&) = delete;
  LibmodbusServer& operator=(const LibmodbusServer&) = delete;

  // 0 when the server could not be started.
  int port() const { return port_; }

 private:
  void Serve() {
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stop_) {
      const int s = modbus_tcp_accept(ctx_, &listen_);
      if (s < 0) {
        if (listen_ < 0)
          return;  // the library closes the listening socket on some failures
        continue;  // stopping, or a connection that went before it was accepted
      }
      for (;;) {
        const int n = modbus_receive(ctx_, query);
        if (n < 0)
          break;  // the client went
        if (n == 0)
          continue;  // a request for another unit
        if (delay_.count() > 0)
          std::this_thread::sleep_for(delay_);
        modbus_reply(ctx_, query, n, mapping_);
      }
      close(s);
    }
  }

  std::chrono::milliseconds delay_;
  modbus_t* ctx_ = nullptr;
  modbus_mapping_t* mapping_ = nullptr;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

LibmodbusServer& FastServer() {
  static LibmodbusServer server(std::chrono::milliseconds(0));
  return server;
}

LibmodbusServer& SlowServer() {
  static LibmodbusServer server(kSlowReply);
  return server;
}

// User + system CPU time of the calling thread, in microseconds.
double ThreadCpuMicroseconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Releases a driver object.
struct ReleaseDriver {
  void operator()(CZireviVer* driver) const { driver->Release(); }
};

// The driver object and one read group of 4X1..4X125, built as the host builds it: every item
// converted by the driver and merged into the group by its own CanMergeItem.
class DriverRead {
 public:
  explicit DriverRead(int port) : driver_(new CZireviVer) {
    const std::string text = "127.0.0.1:" + std::to_string(port) + "#1";
    CommSettings settings{};
    std::snprintf(settings.portName, sizeof settings.portName, "Com1");
    settings.baudRate = 9600;
    settings.dataBits = 8;
    settings.stopBits = 1;
    settings.timeoutMs = 1000;
    if (driver_->ParseStationAddress(text.c_str(), &station_) != 1 ||
        driver_->OpenPort(1, &settings) != 1) {
      return;
    }
    group_.station = static_cast<int16_t>(station_.stationNumber);
    group_.stationBuffer = &station_;
    group_.modelText = "ModbusTCP";
    for (int n = 1; n <= kCount; ++n) {
      TagAddressInput in{};
      std::snprintf(in.model, sizeof in.model, "ModbusTCP");
      std::snprintf(in.address, sizeof in.address, "4X%d", n);
      in.dataType = kTypeUint16;
      DriverItem item{};
      item.station = group_.station;
      item.stationCopy = &station_;
      if (driver_->ConvertUserConfigToVar(&in, &item) != 0)
        return;
      if (n == 1) {
        group_.area = item.area;
        group_.areaIndex = item.areaIndex;
        group_.dataType = item.dataType;
        group_.bitOrLength = item.bitOrLength;
        group_.wordOrder = item.wordOrder;
        group_.startAddress = n;
        group_.endAddress = n;
      } else if (driver_->CanMergeItem(&item, 0, &group_) != 1) {
        return;
      }
      auto* g = new GroupItem{};
      g->tagIndex = static_cast<uint16_t>(n - 1);
      g->byteAddress = static_cast<uint16_t>(n);
      g->dataType = kTypeUint16;
      AppendGroupItem(group_.items, g);
    }
    ready_ = true;
  }
  ~DriverRead() { ClearGroupItems(group_.items); }
  DriverRead(const DriverRead&) = delete;
  DriverRead& operator=(const DriverRead&) = delete;

  bool ready() const { return ready_; }
  bool Read() { return driver_->ExecuteGroupEx(&group_) == 1; }
  // True when every item holds its register's value with good quality.
  bool Correct() const {
    int n = 0;
    for (const GroupItemNode* node = group_.items.head; node != nullptr; node = node->next, ++n) {
      if (node->item->value != 1000 + n || node->item->quality != 192)
        return false;
    }
    return n == kCount;
  }

 private:
  std::unique_ptr<CZireviVer, ReleaseDriver> driver_;
  StationInfo station_{};
  RequestGroup group_{};
  bool ready_ = false;
};

// Closes and frees a libmodbus client.
struct FreeClient {
  void operator()(modbus_t* ctx) const {
    modbus_close(ctx);
    modbus_free(ctx);
  }
};
using Client = std::unique_ptr<modbus_t, FreeClient>;

Client Connect(int port) {
  Client ctx(modbus_new_tcp("127.0.0.1", port));
  if (!ctx)
    return nullptr;
  modbus_set_slave(ctx.get(), 1);
  modbus_set_response_timeout(ctx.get(), 1, 0);
  if (modbus_connect(ctx.get()) != 0)
    return nullptr;
  return ctx;
}

void RunDriver(benchmark::State& state, LibmodbusServer& server) {
  if (server.port() == 0) {
    state.SkipWithError("the libmodbus server did not start");
    return;
  }
  DriverRead read(server.port());
  if (!read.ready()) {
    state.SkipWithError("the driver refused the group");
    return;
  }
  // The connection is made by the first read; it is not what is measured.
  if (!read.Read() || !read.Correct()) {
    state.SkipWithError("the first read failed or read wrong values");
    return;
  }
  const double cpuBefore = ThreadCpuMicroseconds();
  for (auto _ : state) {
    if (!read.Read()) {
      state.SkipWithError("a read failed");
      return;
    }
  }
  state.counters["cpu_us"] = benchmark::Counter((ThreadCpuMicroseconds() - cpuBefore) /
                                                static_cast<double>(state.iterations()));
  if (!read.Correct())
    state.SkipWithError("wrong values");
}

void RunLibmodbus(benchmark::State& state, LibmodbusServer& server) {
  if (server.port() == 0) {
    state.SkipWithError("the libmodbus server did not start");
    return;
  }
  Client ctx = Connect(server.port());
  if (!ctx) {
    state.SkipWithError("libmodbus could not connect");
    return;
  }
  uint16_t registers[kCount] = {};
  if (modbus_read_registers(ctx.get(), 0, kCount, registers) != kCount ||
      registers[kCount - 1] != 1000 + kCount - 1) {
    state.SkipWithError("the first read failed or read wrong values");
    return;
  }
  const double cpuBefore = ThreadCpuMicroseconds();
  for (auto _ : state) {
    if (modbus_read_registers(ctx.get(), 0, kCount, registers) != kCount) {
      state.SkipWithError("a read failed");
      return;
    }
  }
  state.counters["cpu_us"] = benchmark::Counter((ThreadCpuMicroseconds() - cpuBefore) /
                                                static_cast<double>(state.iterations()));
}

void BM_DriverRead125(benchmark::State& state) {
  RunDriver(state, FastServer());
}
void BM_LibmodbusRead125(benchmark::State& state) {
  RunLibmodbus(state, FastServer());
}
void BM_DriverRead125SlowReply(benchmark::State& state) {
  RunDriver(state, SlowServer());
}
void BM_LibmodbusRead125SlowReply(benchmark::State& state) {
  RunLibmodbus(state, SlowServer());
}

BENCHMARK(BM_DriverRead125)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibmodbusRead125)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DriverRead125SlowReply)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibmodbusRead125SlowReply)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

// One read of 200 bytes from an S7 PLC over ISO-on-TCP through the driver (one request group of
// 100 words DB5.DBW0..DB5.DBW198, ExecuteGroupEx) against ppisim's TCP side in this process,
// beside one read of 125 holding registers (250 bytes) over Modbus TCP through the Modbus driver
// against a libmodbus server in this process. Both on 127.0.0.1; times are wall-clock per read.
//
//   build-bench/bin/s7tcp_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "common/driver_contract.h"
#include "drivers/modbus/zirevi_driver.h"
#include "drivers/s7tcp/s7tcp_driver.h"
#include "tools/ppisim/ppi_simulator.h"

namespace {

constexpr uint16_t kTypeUint16 = 8;

// A libmodbus TCP server on its own thread, one connection at a time. Register i holds 1000 + i.
class LibmodbusServer {
 public:
  LibmodbusServer() {
    ctx_ = modbus_new_tcp("127.0.0.1", 0);
    mapping_ = modbus_mapping_new(0, 0, 1000, 0);
    if (ctx_ == nullptr || mapping_ == nullptr)
      return;
    for (int i = 0; i < 1000; ++i)
      mapping_->tab_registers[i] = static_cast<uint16_t>(1000 + i);
    listen_ = modbus_tcp_listen(ctx_, 4);
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (listen_ < 0 || getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
      while (!stop_) {
        const int s = modbus_tcp_accept(ctx_, &listen_);
        if (s < 0) {
          if (listen_ < 0)
            return;
          continue;
        }
        for (int n; (n = modbus_receive(ctx_, query)) >= 0;) {
          if (n > 0)
            modbus_reply(ctx_, query, n, mapping_);
        }
        close(s);
      }
    });
  }
  ~LibmodbusServer() {
    stop_ = true;
    if (listen_ >= 0)
      shutdown(listen_, SHUT_RDWR);
    if (thread_.joinable())
      thread_.join();
    if (listen_ >= 0)
      close(listen_);
    if (mapping_ != nullptr)
      modbus_mapping_free(mapping_);
    if (ctx_ != nullptr)
      modbus_free(ctx_);
  }
  int port() const { return port_; }

 private:
  modbus_t* ctx_ = nullptr;
  modbus_mapping_t* mapping_ = nullptr;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A driver object and one read group of `count` uint16 tags "<prefix><first + k × step>", built
// as the host builds it (converted and merged by the driver itself).
template <typename Driver>
class GroupRead {
 public:
  GroupRead(const char* model, const std::string& station, const char* prefix, int first, int step,
            int count)
      : driver_(new Driver), model_(model) {
    // A serial port entry as the host passes it (the Modbus driver checks its baud rate).
    CommSettings settings{};
    std::snprintf(settings.portName, sizeof settings.portName, "Com1");
    settings.baudRate = 9600;
    settings.dataBits = 8;
    settings.stopBits = 1;
    settings.timeoutMs = 1000;
    if (driver_->ParseStationAddress(station.c_str(), &station_) != 1 ||
        driver_->OpenPort(1, &settings) != 1)
      return;
    group_.station = static_cast<int16_t>(station_.stationNumber);
    group_.stationBuffer = &station_;
    group_.modelText = model_.c_str();
    for (int k = 0; k < count; ++k) {
      TagAddressInput in{};
      std::snprintf(in.model, sizeof in.model, "%s", model);
      std::snprintf(in.address, sizeof in.address, "%s%d", prefix, first + k * step);
      in.dataType = kTypeUint16;
      DriverItem item{};
      item.station = group_.station;
      item.stationCopy = &station_;
      if (driver_->ConvertUserConfigToVar(&in, &item) != 0)
        return;
      if (k == 0) {
        group_.area = item.area;
        group_.areaIndex = item.areaIndex;
        group_.dataType = item.dataType;
        group_.wordOrder = item.wordOrder;
        group_.startAddress = group_.endAddress = static_cast<uint16_t>(item.byteAddress);
      } else if (driver_->CanMergeItem(&item, 0, &group_) != 1) {
        return;
      }
      auto* g = new GroupItem{};
      g->byteAddress = static_cast<uint16_t>(item.byteAddress);
      g->dataType = kTypeUint16;
      AppendGroupItem(group_.items, g);
    }
    ready_ = true;
  }
  ~GroupRead() {
    ClearGroupItems(group_.items);
    driver_->Release();
  }
  bool ready() const { return ready_; }
  bool Read() { return driver_->ExecuteGroupEx(&group_) == 1; }
  int32_t Value(int k) const {
    const GroupItemNode* n = group_.items.head;
    for (; k > 0 && n != nullptr; --k)
      n = n->next;
    return n != nullptr ? n->item->value : -1;
  }

 private:
  Driver* driver_;
  std::string model_;
  StationInfo station_{};
  RequestGroup group_{};
  bool ready_ = false;
};

template <typename Driver>
void Run(benchmark::State& state, GroupRead<Driver>& read, int32_t lastValue, int last) {
  // The connection is made by the first read; it is not what is measured.
  if (!read.ready() || !read.Read() || read.Value(last) != lastValue) {
    state.SkipWithError("the first read failed or read wrong values");
    return;
  }
  for (auto _ : state) {
    if (!read.Read()) {
      state.SkipWithError("a read failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * (last + 1));
}

void BM_S7TcpRead200Bytes(benchmark::State& state) {
  ppisim::Options options;
  options.dataBlocks = {{5, 1024}};
  options.tcp.port = 0;
  options.logCapacity = 1;
  ppisim::PpiSimulator sim(options);
  if (!sim.Start()) {
    state.SkipWithError("the simulator did not start");
    return;
  }
  ppisim::Location where;
  std::string error;
  if (!ppisim::ParseLocation("DB5.DBW198", &where) ||
      !sim.SetValue(where, ppisim::ValueType::kWord, "4660", &error)) {
    state.SkipWithError("the simulator's memory could not be set");
    return;
  }
  GroupRead<CS7Tcp> read(s7tcp::kModel300, "127.0.0.1:" + std::to_string(sim.TcpPort()) + ",0,2",
                         "DB5.DBW", 0, 2, 100);
  Run(state, read, 0x1234, 99);
}
BENCHMARK(BM_S7TcpRead200Bytes)->UseRealTime();

void BM_ModbusTcpRead125Registers(benchmark::State& state) {
  static LibmodbusServer server;
  if (server.port() == 0) {
    state.SkipWithError("the libmodbus server did not start");
    return;
  }
  GroupRead<CZireviVer> read("ModbusTCP", "127.0.0.1:" + std::to_string(server.port()) + "#1", "4X",
                             1, 1, 125);
  Run(state, read, 1000 + 124, 124);
}
BENCHMARK(BM_ModbusTcpRead125Registers)->UseRealTime();

}  // namespace

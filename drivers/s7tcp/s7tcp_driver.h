// CS7Tcp: the ISO-on-TCP S7 driver object, created through COM by the class factory of the
// Kestavo module (kestavo_module.cpp). One object serves every PLC the host puts on its port
// number; each PLC, named by its station address text "host[:port],rack,slot" and its model, gets
// one TCP connection, kept open between polls and opened again, with a growing pause after each
// failed attempt, when it drops.
//
// The object answers IUnknown and IProtocolDriver with the same pointer, IProtocolDriver2 and
// IDriverTrace as sibling parts sharing the reference count.
//
// Threads: the host polls the object (OpenPort, ClosePort, ExecuteGroup(Ex)) from its polling
// thread, one call at a time, while its UI thread may call ConvertUserConfigToVar, CanMergeItem,
// ParseStationAddress, GetRegisters and GetLastErrorText. Those touch only LastError (an atomic);
// the connections belong to the polling thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/driver_contract.h"
#include "common/driver_trace.h"
#include "drivers/s7common/s7_pdu.h"
#include "drivers/s7tcp/s7tcp_address.h"
#include "drivers/s7tcp/s7tcp_link.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/com_server.h"
#include "platform/win_types.h"

// {32FC4E8C-3085-499E-9D33-9573101B1A13}
inline constexpr CLSID CLSID_S7Tcp = {
    0x32FC4E8C, 0x3085, 0x499E, {0x9D, 0x33, 0x95, 0x73, 0x10, 0x1B, 0x1A, 0x13}};
inline constexpr char kS7TcpProgId[] = "Kestavo.S7Tcp";

namespace s7tcp {

// The module's lock count (live driver objects and LockServer locks).
platform::ModuleLocks& ModuleLocks();

// The time-out used when the port settings give none (ms).
inline constexpr int kDefaultTimeoutMs = 1000;
// The pause after a failed connection attempt before the next one: doubles from the first to the
// last value while the attempts keep failing.
inline constexpr int kFirstBackoffMs = 200;
inline constexpr int kMaxBackoffMs = 10000;

// The text (GBK) of a LastError code; null for kErrNoError. Pointers stay valid.
const char* ErrorText(int32_t code);

}  // namespace s7tcp

class CS7Tcp final
    : public platform::ComObject<CS7Tcp, platform::Implements<IProtocolDriver, IID_IProtocolDriver>,
                                 platform::Implements<IProtocolDriver2, IID_IProtocolDriver2>,
                                 platform::Implements<IDriverTrace, IID_IDriverTrace>> {
 public:
  CS7Tcp();

  // IProtocolDriver; contracts in common/driver_contract.h.
  BOOL GetRegisters(const char* model, const AddressArea** table, int32_t* count) override;
  // 1 when a connection (TCP, COTP, setup communication) to the PLC of the address text parsed
  // last, with the TSAPs of the model InitLink was given last, can be made within the time-out;
  // the connection is closed again. 0 with LastError set otherwise (kErrUnknownModel before any
  // InitLink, kErrStationText before any address).
  BOOL ProbeStation(int32_t reserved, int32_t station, int32_t reserved2) override;
  uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) override;
  BOOL Reserved6(int32_t, int32_t, int32_t) override { return 1; }
  // Keeps the time-out of the settings (timeoutMs, kDefaultTimeoutMs for 0); 0 for null settings.
  BOOL OpenPort(int32_t mode, const CommSettings* settings) override;
  // Closes every connection; always 1.
  BOOL ClosePort() override;
  // 1 for the three model texts (the connection is made by the first request, within its
  // time-out); 0 with kErrUnknownModel for any other.
  BOOL InitLink(const char* model, int32_t stationNumber, int32_t* stationNumberOut) override;
  BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) override;
  BOOL ExecuteGroup(RequestGroup* group) override { return Execute(group, Via::kFirst); }
  BOOL ParseStationAddress(const char* text, StationInfo* out) override;
  const char* GetLastErrorText() override;

  // IProtocolDriver2.
  BOOL ExecuteGroupEx(RequestGroup* group) override { return Execute(group, Via::kSecond); }
  // No serial port to share: 1 for a handle, 0 for null.
  BOOL AttachPort(const HANDLE* handle) override { return handle != nullptr ? 1 : 0; }
  BOOL Reserved5(int32_t, int32_t, int32_t) override { return 1; }
  // *handle = INVALID_HANDLE_VALUE: the object holds no serial port.
  BOOL GetPortHandle(HANDLE* handle) override;

  // IDriverTrace: every packet with a one-line reading, and every failed exchange.
  BOOL SetTraceSink(ITraceSink* sink) override;

  // Connections held (for tests).
  std::size_t ConnectionCount() const;

 private:
  friend ComObject;
  ~CS7Tcp();

  enum class Via { kFirst, kSecond };
  // One PLC: its connection and the pause before the next attempt after a failed one.
  struct Plc {
    s7tcp::Station station;
    s7tcp::Tsaps tsaps;
    s7tcp::Link link;
    std::chrono::steady_clock::time_point nextAttempt{};
    int backoffMs = 0;
    int32_t lastConnectError = s7tcp::kErrNoError;
    bool used = false;  // a job went through on the current connection
  };

  BOOL Execute(RequestGroup* group, Via via);
  // The PLC of a group (parsed from its address text and model); null with LastError set.
  Plc* PlcOf(const RequestGroup& group);
  // Opens the PLC's connection unless it is open; false during the pause after a failed attempt.
  bool EnsureOpen(Plc& plc, int32_t* error);
  // One job and its ack-data reply, the reference checked. A read whose connection had carried
  // jobs before and drops is sent once more on a new connection.
  bool Transact(Plc& plc, std::span<uint8_t> job, bool retry, s7::AckData* ack,
                std::vector<uint8_t>& reply, int32_t* error);
  bool Read(Plc& plc, RequestGroup& group, Via via, int32_t* error);
  bool Write(Plc& plc, RequestGroup& group, Via via, int32_t* error);
  void SetLastError(int32_t code) { lastError_.store(code, std::memory_order_relaxed); }
  void TraceEvent(int32_t event, int32_t code, int32_t error);

  std::atomic<int32_t> lastError_{s7tcp::kErrNoError};
  int timeoutMs_ = s7tcp::kDefaultTimeoutMs;
  uint16_t reference_ = 0;
  std::map<std::string, Plc> plcs_;  // by model and address text
  // What ProbeStation connects to: the station of the address text parsed last and the model of
  // the last InitLink (both may come from the UI thread).
  std::mutex probeMutex_;
  std::optional<s7tcp::Station> probeStation_;
  std::string probeModel_;
  ITraceSink* traceSink_ = nullptr;
  int32_t traceStation_ = -1;
};

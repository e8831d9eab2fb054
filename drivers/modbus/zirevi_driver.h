// CZireviVer: the Modbus driver object, one per serial port number in use, created through COM by
// the class factory of the ZireviVer module (zirevi_module.cpp).
//
// One object serves every Modbus device the host puts on its port number: RTU or ASCII devices on
// the serial line (one framing per line), and TCP devices, each at its own host and port. The
// framing of a request follows the model text of its group ("ZireviVER" RTU, "ModbusASCII" ASCII,
// "ModbusTCP" TCP); a TCP group's station buffer holds its "host:port#unit" text.
//
// The object answers IUnknown and IProtocolDriver with the same pointer, and IProtocolDriver2 as a
// sibling part sharing the reference count. Address rules live in modbus_address, values in
// modbus_values, PDUs and frames in modbus_pdu / modbus_framing, the lines in modbus_link; this
// class holds the per-object state (LastError, the serial line and its framing, the TCP
// connections) and ties them to the slots.
//
// Threads: the host polls the object (OpenPort, ClosePort, ExecuteGroup(Ex), ProbeStation,
// AttachPort, GetPortHandle) from its polling thread, one call at a time, while the UI thread may
// call ConvertUserConfigToVar, CanMergeItem, ParseStationAddress, GetRegisters and
// GetLastErrorText at the same moment. Those touch only LastError (an atomic) and the serial
// line's framing (under framingMutex_); the lines, the station cache and what the object has
// learnt about its devices belong to the polling thread alone. LastError is the code the latest
// failure of either thread set: each code's text is a constant, so GetLastErrorText never sees a
// text torn by the other thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/driver_contract.h"
#include "common/driver_trace.h"
#include "drivers/modbus/modbus_address.h"
#include "drivers/modbus/modbus_framing.h"
#include "drivers/modbus/modbus_link.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/com_server.h"
#include "platform/win_types.h"

// {6A0C2B7E-3F51-4D8A-9C1E-5B2D7E4F8A10}
inline constexpr CLSID CLSID_ZireviVer = {
    0x6A0C2B7E, 0x3F51, 0x4D8A, {0x9C, 0x1E, 0x5B, 0x2D, 0x7E, 0x4F, 0x8A, 0x10}};
inline constexpr char kZireviVerProgId[] = "ZireviVer.ZireviVerPro";

namespace modbus {

// The module's lock count (live driver objects and LockServer locks).
platform::ModuleLocks& ModuleLocks();

}  // namespace modbus

// IUnknown (platform::ComObject), shared by the three interfaces: IID_IUnknown and
// IID_IProtocolDriver give the first interface, IID_IProtocolDriver2 the second, IID_IDriverTrace
// the trace channel.
class CZireviVer final
    : public platform::ComObject<CZireviVer,
                                 platform::Implements<IProtocolDriver, IID_IProtocolDriver>,
                                 platform::Implements<IProtocolDriver2, IID_IProtocolDriver2>,
                                 platform::Implements<IDriverTrace, IID_IDriverTrace>> {
 public:
  // A new object with one reference, owned by the caller; holds a module lock while it lives.
  CZireviVer();

  // IProtocolDriver; contracts in common/driver_contract.h.
  BOOL GetRegisters(const char* model, const AddressArea** table, int32_t* count) override;
  // 1 when a serial station answers a one-register read (an exception answer counts: the station
  // is there), in the framing the line is set to (RTU until an ASCII device used it).
  BOOL ProbeStation(int32_t reserved, int32_t station, int32_t reserved2) override;
  uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) override;
  BOOL Reserved6(int32_t a, int32_t b, int32_t c) override;
  // Keeps a copy of the port's settings; the serial line opens at its first request, so a driver
  // object that serves only TCP devices never takes the serial port. 0 for null settings or a
  // baud rate outside 300..115200.
  BOOL OpenPort(int32_t mode, const CommSettings* settings) override;
  // Closes the serial line and every TCP connection; always 1.
  BOOL ClosePort() override;
  // Always 1: TCP connections are made by the first request to each host, within its time-out.
  BOOL InitLink(const char* model, int32_t stationNumber, int32_t* stationNumberOut) override;
  BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) override;
  BOOL ExecuteGroup(RequestGroup* group) override;
  BOOL ParseStationAddress(const char* text, StationInfo* out) override;
  const char* GetLastErrorText() override;

  // IProtocolDriver2.
  BOOL ExecuteGroupEx(RequestGroup* group) override;
  BOOL AttachPort(const HANDLE* handle) override;
  BOOL Reserved5(int32_t a, int32_t b, int32_t c) override;
  BOOL GetPortHandle(HANDLE* handle) override;

  // IDriverTrace: every frame of both kinds of line, with a one-line reading, and every failed
  // exchange (time-out, bad frame, foreign unit, exception, line failure) go to `sink`.
  BOOL SetTraceSink(ITraceSink* sink) override;
  // The serial framing the line is bound to, once a serial device used it.
  std::optional<modbus::Framing> SerialFraming() const {
    std::lock_guard lock(framingMutex_);
    return serialFraming_;
  }

 private:
  friend ComObject;  // its Release deletes the object
  ~CZireviVer();

  enum class Via { kFirst, kSecond };
  BOOL Execute(RequestGroup* group, Via via);
  // Binds the serial line to `framing` (RTU or ASCII) on first use; false, with LastError set,
  // when the line is already bound to the other one. TCP always passes.
  bool ClaimFraming(modbus::Framing framing);
  // One request PDU to the group's device, its answer checked against it. False on any failure.
  bool Transact(modbus::Framing framing, const modbus::Station& station,
                std::span<const uint8_t> request);
  // The parsed station of a TCP group's address text, cached by text.
  const modbus::Station* TcpStation(const RequestGroup& group);
  bool Read(RequestGroup& group, modbus::Framing framing, const modbus::Station& station, Via via);
  // One item of a read and the registers (or bits) it covers, 1-based.
  struct ReadItem {
    GroupItem* item;
    int32_t first;
    int32_t last;
  };
  enum class SpanResult { kOk, kFailed };
  // Reads the span of `items` (sorted by first register) in one request, or, when the device
  // answers exception 2 (or answered it before for this span), in two parts split at the widest
  // gap, recursively. Items of a single refused register span go to `refused`; every other item
  // gets its value as from one unsplit read. kFailed on any other failure.
  SpanResult ReadSpan(RequestGroup& group, modbus::Framing framing, const modbus::Station& station,
                      Via via, std::span<const ReadItem> items, std::vector<GroupItem*>& refused);
  // Writes `byte` into the low byte of holding register `address` (0-based), keeping the high
  // byte: with function 22, or, where the device refuses it with exception 1, by reading the
  // register and writing it back with function 6.
  bool WriteLowByte(modbus::Framing framing, const modbus::Station& station, uint16_t address,
                    uint8_t byte);
  // A key naming a span of a device's area; with first and count 0 it names the device.
  std::string SplitKey(modbus::Framing framing, const modbus::Station& station, int area,
                       int32_t first, int32_t count) const;
  bool Write(RequestGroup& group, modbus::Framing framing, const modbus::Station& station, Via via);

  // Keeps the first code a call sets (the address rules set LastError only on failure).
  void SetLastError(int32_t code) {
    if (code != modbus::kErrNoError)
      lastError_.store(code, std::memory_order_relaxed);
  }

  std::atomic<int32_t> lastError_{modbus::kErrNoError};  // written by both threads
  bool opened_ = false;
  mutable std::mutex framingMutex_;
  std::optional<modbus::Framing> serialFraming_;  // under framingMutex_
  modbus::SerialLink line_;
  modbus::TcpLinks net_;
  int timeoutMs_ = modbus::kDefaultTimeoutMs;
  std::unordered_map<std::string, modbus::Station> tcpStations_;
  // Read spans a device refused with exception 2, to be read in parts from then on (by framing,
  // device, area, first register and count); forgotten at ClosePort, or all at once when full.
  static constexpr size_t kMaxRememberedSplits = 4096;
  std::unordered_set<std::string> splitSpans_;
  // Devices (SplitKey with first and count 0) that refused function 22 with exception 1.
  std::unordered_set<std::string> noMaskWrite_;
  std::vector<ReadItem> readItems_;  // the items of the read in progress
  // The TCP station of the address text parsed last, which ProbeStation asks for its number.
  std::optional<modbus::Station> probeTcp_;

  // Tells the trace sink one frame of the exchange in progress.
  void TraceFrame(bool sent, std::span<const uint8_t> frame);
  // Tells the trace sink a failure of the exchange in progress (`text` UTF-8).
  void TraceFailure(int32_t event, int32_t code, const std::string& text);
  ITraceSink* traceSink_ = nullptr;  // polling thread only (attached while no exchange runs)
  modbus::Framing traceFraming_ = modbus::Framing::kRtu;  // of the exchange in progress
  int32_t traceStation_ = -1;
  std::string traceRequestText_;  // GBK reading of the request in progress
  std::vector<uint8_t> answer_;   // the last answer PDU
  modbus::Reply reply_;           // its check against the request
};

// CS7Proto: the S7-200 PPI driver object, one per serial port, created through COM by the class
// factory of the Ostrel module (ostrel_module.cpp).
//
// One object answers three interfaces: an automation part (IUnknown only, under its own IID),
// IProtocolDriver and IProtocolDriver2 (common/driver_contract.h). All three share the object's
// reference count, and QueryInterface for IUnknown always gives the automation part, the first
// interface of the object, so every interface leads to the same identity.
//
// The object keeps no lock: the host calls it from one thread at a time. Address rules live in
// ppi_address, frames in ppi_frame, the port and the exchange in ppi_transport; this class holds
// the per-object state (LastError, the port) and ties them to the interface slots.
#pragma once

#include <cstdint>

#include "common/driver_contract.h"
#include "common/driver_trace.h"
#include "drivers/ppi/ppi_frame.h"
#include "drivers/ppi/ppi_transport.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/com_server.h"
#include "platform/win_types.h"

// {9714C2FC-184A-49C7-927B-135D9D005B8A}
inline constexpr CLSID CLSID_S7Proto = {
    0x9714C2FC, 0x184A, 0x49C7, {0x92, 0x7B, 0x13, 0x5D, 0x9D, 0x00, 0x5B, 0x8A}};
inline constexpr char kS7ProtoProgId[] = "Ostrel.S7Proto";

// {13A4435B-57AC-11D3-B285-0080C893BF29}
inline constexpr IID IID_IS7ProtoAutomation = {
    0x13A4435B, 0x57AC, 0x11D3, {0xB2, 0x85, 0x00, 0x80, 0xC8, 0x93, 0xBF, 0x29}};

namespace ppi {

// The module's lock count: live driver objects plus outstanding IClassFactory::LockServer(TRUE)
// calls. The module may be unloaded only while it is 0.
platform::ModuleLocks& ModuleLocks();

}  // namespace ppi

// The automation part of the driver object: it has no methods and no properties of its own, only
// IUnknown.
class IS7ProtoAutomation : public IUnknown {
 protected:
  ~IS7ProtoAutomation() = default;
};

// IUnknown (platform::ComObject), shared by the four interfaces. QueryInterface answers
// IID_IUnknown and IID_IS7ProtoAutomation with the automation part, the two driver IIDs and the
// trace channel's with their parts.
class CS7Proto final
    : public platform::ComObject<CS7Proto,
                                 platform::Implements<IS7ProtoAutomation, IID_IS7ProtoAutomation>,
                                 platform::Implements<IProtocolDriver, IID_IProtocolDriver>,
                                 platform::Implements<IProtocolDriver2, IID_IProtocolDriver2>,
                                 platform::Implements<IDriverTrace, IID_IDriverTrace>> {
 public:
  // A new object with one reference, owned by the caller; holds a module lock while it lives.
  CS7Proto() : ComObject(ppi::ModuleLocks()) {}

  // IProtocolDriver; contracts in common/driver_contract.h. Every address and value rule is
  // ppi_address's, every exchange ppi_transport's.
  BOOL GetRegisters(const char* model, const AddressArea** table, int32_t* count) override;
  BOOL ProbeStation(int32_t reserved, int32_t station, int32_t reserved2) override;
  uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) override;
  BOOL Reserved6(int32_t, int32_t, int32_t) override { return 1; }
  BOOL OpenPort(int32_t mode, const CommSettings* settings) override;
  BOOL ClosePort() override;
  // Always 1, and leaves *stationNumberOut alone: a serial PPI line needs no link set-up.
  BOOL InitLink(const char*, int32_t, int32_t*) override { return 1; }
  BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) override;
  // A write to read-only memory fails with LastError kErrReadOnly and sends nothing.
  BOOL ExecuteGroup(RequestGroup* group) override { return Execute(group, ppi::Interface::kFirst); }
  BOOL ParseStationAddress(const char* text, StationInfo* out) override;
  const char* GetLastErrorText() override;

  // IProtocolDriver2.
  BOOL ExecuteGroupEx(RequestGroup* group) override {
    return Execute(group, ppi::Interface::kSecond);
  }
  // Shares the port of another driver object (*handle from its GetPortHandle); 0 for a null
  // handle.
  BOOL AttachPort(const HANDLE* handle) override;
  BOOL Reserved5(int32_t, int32_t, int32_t) override { return 1; }
  // *handle = the port's handle, INVALID_HANDLE_VALUE when closed; 0 only for a null pointer.
  BOOL GetPortHandle(HANDLE* handle) override;

  // IDriverTrace: each job and its reply (the acknowledgement and the request for data in between
  // are not shown), with a one-line reading, and every failed exchange go to `sink`.
  BOOL SetTraceSink(ITraceSink* sink) override;

 private:
  friend ComObject;  // its Release deletes the object
  // Closes the port.
  ~CS7Proto();

  // ExecuteGroup and ExecuteGroupEx: DELAY groups are served from the PollDelay registers, any
  // other group is built into a job, exchanged and its reply checked and decoded.
  BOOL Execute(RequestGroup* group, ppi::Interface via);
  // Tells the trace sink one frame or one failure (`text` UTF-8) of the job to `station`.
  void Trace(int32_t kind, int32_t event, int32_t station, int32_t code,
             std::span<const uint8_t> bytes, const std::string& text);

  int32_t lastError_ = -1;     // -1: no error code was ever set; success never resets it
  int32_t portFlag_ = 0;       // set by AttachPort; kept for the record, never read
  uint16_t pduReference_ = 0;  // of the last job sent; the next job takes the next one
  // The port, the settings of the last OpenPort, ResponseTimeout and the PollDelay registers.
  ppi::PpiTransport transport_;
  ITraceSink* traceSink_ = nullptr;  // polling thread only (attached while no exchange runs)
};

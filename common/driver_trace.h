// The trace channel of a protocol driver: every frame it sends and receives and every event of an
// exchange (time-out, bad checksum, refused request, reconnect), told to a sink the host attaches.
//
// The channel is optional. A driver that offers it answers QueryInterface(IID_IDriverTrace) on the
// same object as IProtocolDriver; a driver that does not is polled exactly as before. The host
// attaches its sink before the polling thread starts and detaches it (SetTraceSink(nullptr))
// after the thread has ended, so the driver calls the sink only from the thread that runs its
// exchanges, never after the detach returns.
//
//   ComPtr<IDriverTrace> trace;
//   if (SUCCEEDED(driver->QueryInterface(IID_IDriverTrace, trace.PutVoid())))
//     trace->SetTraceSink(&sink);
//
// A record and everything it points at is valid only during the call: a sink that keeps anything
// copies it. The sink must return quickly (it runs between the bytes of an exchange) and must not
// call back into the driver. Records cross module boundaries, so their layout is part of the
// contract.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/com.h"
#include "platform/win_types.h"

// What a trace record reports.
enum TraceKind : int32_t {
  kTraceSent = 1,      // a frame went out on the line: `bytes`
  kTraceReceived = 2,  // a frame (or the bytes of a broken one) came in: `bytes`
  kTraceEvent = 3,     // something happened to the exchange: `event`
};

// The events of an exchange. `text` carries the driver's own error text where it has one.
enum TraceEvent : int32_t {
  kTraceNoEvent = 0,
  kTraceTimeout = 1,      // no (complete) answer within the time-out
  kTraceBadChecksum = 2,  // an answer whose checksum (CRC, LRC, FCS) is wrong
  kTraceBadFormat = 3,    // an answer that is not what was asked for (length, address, station)
  kTraceRefused = 4,      // the station refused the request: `code` is its exception / error code
  kTraceReconnect = 5,    // the driver closed and reopened its connection
  kTraceLinkError = 6,    // the line itself failed (write error, connection refused or lost)
};

struct TraceRecord {
  int32_t kind;          // TraceKind
  int32_t event;         // TraceEvent for kTraceEvent, else kTraceNoEvent
  int32_t station;       // the station (unit) the frame or event concerns; -1 when unknown
  int32_t code;          // kTraceRefused: the exception or error code; else 0
  int64_t timeUs;        // when, in microseconds since 1970-01-01 UTC
  const uint8_t* bytes;  // the frame's bytes (kTraceSent, kTraceReceived), else null
  int32_t length;        // the number of bytes
  int32_t reserved;      // 0
  // A one-line reading (GBK) of the frame or event in the user interface's language, e.g.
  // "读 V100 2 字节", "超时", "异常 02 非法数据地址"; may be null.
  const char* text;
};
static_assert(offsetof(TraceRecord, timeUs) == 16);
static_assert(offsetof(TraceRecord, bytes) == 24);
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(TraceRecord, length) == 32);
static_assert(offsetof(TraceRecord, text) == 40);
static_assert(sizeof(TraceRecord) == 48);
#endif

// The time of a record: now, in microseconds since 1970-01-01 UTC.
inline int64_t TraceTimeNow() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Where a driver sends its trace records. Implemented by the host; not reference counted (the
// host keeps it alive while it is attached).
class ITraceSink {
 public:
  // Slot 0: one record; called on the thread that runs the exchange.
  virtual void Trace(const TraceRecord* record) = 0;

 protected:
  ~ITraceSink() = default;
};

// Hands `sink` one record stamped now (driver side). `text` is GBK or null; `bytes` may be empty.
inline void SendTrace(ITraceSink* sink, int32_t kind, int32_t event, int32_t station, int32_t code,
                      std::span<const uint8_t> bytes, const char* text) {
  TraceRecord record{};
  record.kind = kind;
  record.event = event;
  record.station = station;
  record.code = code;
  record.timeUs = TraceTimeNow();
  record.bytes = bytes.empty() ? nullptr : bytes.data();
  record.length = static_cast<int32_t>(bytes.size());
  record.text = text;
  sink->Trace(&record);
}

// {92268D3D-0E1D-4BA6-A84A-983881FC26FA}
inline constexpr IID IID_IDriverTrace = {
    0x92268D3D, 0x0E1D, 0x4BA6, {0xA8, 0x4A, 0x98, 0x38, 0x81, 0xFC, 0x26, 0xFA}};

// The driver's side of the channel, on the same object as IProtocolDriver.
class IDriverTrace : public IUnknown {
 public:
  // Slot 3: attaches `sink` (null detaches); from the next exchange on every frame and event goes
  // to it. Call it only while no exchange runs. Answers 1.
  virtual BOOL SetTraceSink(ITraceSink* sink) = 0;

 protected:
  ~IDriverTrace() = default;
};

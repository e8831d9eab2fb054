// Serial ports under their Windows names: open by "Com<n>", configure with a DCB, purge, count
// what is queued, read, write, close.
//
//   platform::SerialHandle port(platform::OpenSerialPort("\\\\.\\Com1"));
//   DCB dcb{};
//   if (!port || !platform::GetCommState(port.get(), &dcb)) return false;
//   dcb.BaudRate = 9600; dcb.ByteSize = 8; dcb.Parity = EVENPARITY; dcb.StopBits = ONESTOPBIT;
//   if (!platform::SetCommState(port.get(), &dcb)) return false;
//   DWORD written = 0;
//   platform::WriteFile(port.get(), frame, size, &written, nullptr);
//
// The functions keep their Win32 names and meanings but live in namespace platform, with C++
// linkage: an unprefixed C symbol such as ReadFile or CloseHandle exported by this library would
// be bound by every module of the process that calls a function of that name.
//
// Names: "Com<n>" (any case, n = 1..256) maps to the text value "Com<n>" of the registry key
// "HKEY_CURRENT_USER\Software\VO DAROR\Ports" when it exists (e.g. Com3 = /dev/ttyUSB0), else to
// /dev/ttyS<n-1>; a name containing '/' is a device path used as it is; a leading "\\.\" is
// stripped first. Anything else does not open.
//
// A path "tcp://host:port" or "rfc2217://host:port" (mapped, or given as the name) is a serial
// device server (serial_net.h): the same functions work on the connection. Raw TCP keeps the line
// settings at the server (SetCommState is accepted and read back); RFC 2217 sends them to it.
// A connection that ends fails reads, writes and ClearCommError like a device that vanished.
//
// A HANDLE from OpenSerialPort names a port object of this library (descriptor, the terminal
// settings found at open, time-outs). Handle values are never reused within a process, so a
// handle that was closed stays invalid: every function answers FALSE for it instead of touching
// another port. The port is exclusive (no second open, in this process or another) and in raw
// mode without flow control from open to close; its previous terminal settings come back when
// the last handle is closed. All functions are thread-safe; closing a port wakes a read or write
// that another thread is blocked in.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win_types.h"

// Parity codes of DCB::Parity.
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;

// Stop-bit codes of DCB::StopBits. 1.5 stop bits exist only with 5-bit bytes.
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

// Flags of PurgeComm. The abort flags have nothing to abort (there is no overlapped I/O).
constexpr DWORD PURGE_TXABORT = 0x1;
constexpr DWORD PURGE_RXABORT = 0x2;
constexpr DWORD PURGE_TXCLEAR = 0x4;
constexpr DWORD PURGE_RXCLEAR = 0x8;

// Error bits of ClearCommError, counted by the device since the previous call (a device that
// keeps no counters, such as a pseudo-terminal, reports none).
constexpr DWORD CE_RXOVER = 0x1;
constexpr DWORD CE_OVERRUN = 0x2;
constexpr DWORD CE_RXPARITY = 0x4;
constexpr DWORD CE_FRAME = 0x8;
constexpr DWORD CE_BREAK = 0x10;

// ReadIntervalTimeout / multiplier value meaning "no limit" or "return at once" (see
// COMMTIMEOUTS).
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// The line settings that matter on Linux. The line is always raw, binary, without flow control.
struct DCB {
  DWORD DCBlength;  // not checked
  DWORD BaudRate;   // any rate the device takes (110, 14400, 56000, 256000, ...)
  BYTE ByteSize;    // 5..8
  BYTE Parity;      // NOPARITY .. SPACEPARITY
  BYTE StopBits;    // ONESTOPBIT, TWOSTOPBITS, ONE5STOPBITS (5-bit bytes only)
};

// Queue state from ClearCommError.
struct COMSTAT {
  DWORD fFlags;    // always 0: no flow control holds anything
  DWORD cbInQue;   // bytes received and not yet read
  DWORD cbOutQue;  // bytes written and not yet sent
};

// Time-outs of ReadFile and WriteFile, in ms, with the Win32 meanings:
//  - read, Interval = MAXDWORD and both totals 0: return at once with what is queued;
//  - read, Interval = MAXDWORD, Multiplier = MAXDWORD, 0 < Constant < MAXDWORD: return what is
//    queued at once, else wait up to Constant for the first byte;
//  - read otherwise: stop after Multiplier * n + Constant (0 = no limit) or when Interval
//    (0 = no limit) passes between two bytes;
//  - write: stop after Multiplier * n + Constant (0 = no limit).
// A freshly opened port has {MAXDWORD, 0, 0, 40, 0}: reads return at once, writes may take
// 40 ms per byte.
struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

namespace platform {

// Opens a port by name (see the top of this file). INVALID_HANDLE_VALUE when the name does not
// map, the device cannot be opened, is not a terminal, or is already open.
HANDLE OpenSerialPort(const char* name);

// A second handle to the same open port; the port closes when every handle is closed.
// INVALID_HANDLE_VALUE for a handle that is not an open port.
HANDLE DuplicateSerialHandle(HANDLE port);

// Closes one handle of a serial port (Win32's CloseHandle, for these handles only). FALSE for a
// handle that is not open (already closed, never opened).
BOOL CloseSerialHandle(HANDLE handle);

// Queue sizes are the kernel's; this only checks the handle.
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);

// The current line settings. A pseudo-terminal reads back CS8 without parity whatever was set.
BOOL GetCommState(HANDLE port, DCB* dcb);

// Applies baud rate, byte size, parity and stop bits. FALSE for a value outside the ranges of
// DCB or when the device refuses the settings.
BOOL SetCommState(HANDLE port, const DCB* dcb);

BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts);

// Discards received (PURGE_RXCLEAR) and/or unsent (PURGE_TXCLEAR) bytes.
BOOL PurgeComm(HANDLE port, DWORD flags);

// *errors = CE_* bits since the last call (may be null); *stat = queue state (may be null).
BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat);

// Reads up to `size` bytes under the port's time-outs. TRUE with *read < size when a time-out
// ended the read (Win32 semantics); FALSE on a device error or a closed handle. `overlapped`
// must be null.
BOOL ReadFile(HANDLE port, void* buffer, DWORD size, DWORD* read, void* overlapped);

// Writes `size` bytes under the port's write time-out. TRUE only when every byte was written;
// FALSE on a time-out (then *written says how many went out, so the caller can continue with
// the rest), a device error or a closed handle. `overlapped` must be null.
BOOL WriteFile(HANDLE port, const void* buffer, DWORD size, DWORD* written, void* overlapped);

// The device path that OpenSerialPort opens for `name` (after the mapping above); nullopt when
// the name does not map.
std::optional<std::string> SerialDevicePath(std::string_view name);

// Registry key holding the "Com<n>" mapping (text values named "Com<n>").
inline constexpr const char* kSerialPortsKey = "HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports";

// One serial device found on this machine.
struct SerialPortEntry {
  std::string path;    // "/dev/ttyUSB0", "/dev/serial/by-id/usb-..."
  std::string device;  // the device the path names: for a by-id name its target, else the path
  std::string driver;  // the kernel driver ("ftdi_sio", "cdc_acm", "serial8250"); "" when unknown
};

// The serial devices under `root` ("/" normally; tests give a fake tree): the real /dev/ttyS<n>
// (those with /sys/class/tty/ttyS<n>/device and, where the kernel says, a known UART type), every
// /dev/ttyUSB<n> and /dev/ttyACM<n>, then the stable names under /dev/serial/by-id whose device
// exists. Each group in name order, numbers by value (ttyS2 before ttyS10). Paths are as seen
// from `root` ("/dev/..."), whatever `root` is.
std::vector<SerialPortEntry> ListSerialPorts(std::string_view root = "/");

// Owns one serial handle and closes it on destruction. Move-only.
class SerialHandle {
 public:
  SerialHandle() = default;
  explicit SerialHandle(HANDLE handle) : handle_(handle) {}
  ~SerialHandle() { reset(); }
  SerialHandle(SerialHandle&& other) noexcept : handle_(other.release()) {}
  SerialHandle& operator=(SerialHandle&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  SerialHandle(const SerialHandle&) = delete;
  SerialHandle& operator=(const SerialHandle&) = delete;

  // The handle, still owned (INVALID_HANDLE_VALUE when none).
  HANDLE get() const { return handle_; }
  // True when a handle is held.
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  // Gives up ownership without closing.
  [[nodiscard]] HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  // Closes the held handle and takes `handle` instead.
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (*this)
      CloseSerialHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace platform

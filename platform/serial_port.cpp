#include "platform/serial_port.h"

// termios2 (any baud rate through BOTHER) comes from the kernel's header, which cannot be mixed
// with glibc's <termios.h>; everything here goes through ioctl().
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>

#include "platform/registry.h"
#include "platform/serial_net.h"

namespace {

constexpr const char* kPortsKey = platform::kSerialPortsKey;
constexpr int kMaxComNumber = 256;
// A serial device server that does not answer within this time counts as a port that does not
// open.
constexpr int kNetConnectTimeoutMs = 3000;

// The baud rates that have a classic Bxxx code; any other rate goes through BOTHER.
struct BaudCode {
  DWORD rate;
  tcflag_t code;
};
constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

using Clock = std::chrono::steady_clock;

// One open port: a local terminal (fd) or a connection to a serial device server (net).
// Destroyed when the last handle is closed and no call is still using it.
struct Port {
  int fd = -1;
  std::unique_ptr<platform::NetLine> net;
  std::mutex netMutex;  // the connection's queues and telnet state
  int wakeFd = -1;      // an eventfd made readable when the last handle closes
  termios2 saved{};     // the settings found at open, put back at close
  std::atomic<bool> closed{false};

  std::mutex mutex;  // timeouts, error counters
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 40, 0};
  serial_icounter_struct counts{};
  bool hasCounts = false;

  Port() = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  // The descriptor to wait on.
  int Descriptor() const { return net ? net->Fd() : fd; }
  ~Port() {
    if (fd >= 0) {
      ioctl(fd, TCSETS2, &saved);
      // The exclusive flag belongs to the terminal, not to this descriptor: clear it, or the next
      // open by an ordinary user fails while someone else (a simulator) keeps the terminal open.
      ioctl(fd, TIOCNXCL);
      ::close(fd);  // also drops the flock
    }
    if (wakeFd >= 0)
      ::close(wakeFd);
  }
};

// Handles are numbers that are never reused, mapped to their port. A closed or made-up handle is
// simply not found.
class HandleTable {
 public:
  static HandleTable& Instance() {
    static HandleTable table;
    return table;
  }

  HANDLE Add(std::shared_ptr<Port> port) {
    std::lock_guard lock(mutex_);
    uintptr_t id = next_;
    next_ += 4;
    ports_.emplace(id, std::move(port));
    ++handleCounts_[ports_[id].get()];
    return reinterpret_cast<HANDLE>(id);
  }

  std::shared_ptr<Port> Get(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = ports_.find(reinterpret_cast<uintptr_t>(handle));
    return it == ports_.end() ? nullptr : it->second;
  }

  // Forgets the handle; true when it was open. The port is marked closed (and blocked calls are
  // woken) when this was its last handle.
  bool Remove(HANDLE handle) {
    std::shared_ptr<Port> port;
    {
      std::lock_guard lock(mutex_);
      auto it = ports_.find(reinterpret_cast<uintptr_t>(handle));
      if (it == ports_.end())
        return false;
      port = std::move(it->second);
      ports_.erase(it);
      auto count = handleCounts_.find(port.get());
      if (--count->second > 0)
        return true;
      handleCounts_.erase(count);
    }
    port->closed = true;
    uint64_t one = 1;
    static_cast<void>(::write(port->wakeFd, &one, sizeof one));
    return true;  // the port is destroyed when the last call using it returns
  }

 private:
  HandleTable() = default;

  mutable std::mutex mutex_;
  uintptr_t next_ = 0x1004;  // never 0 and never INVALID_HANDLE_VALUE
  std::unordered_map<uintptr_t, std::shared_ptr<Port>> ports_;
  std::unordered_map<const Port*, int> handleCounts_;
};

std::shared_ptr<Port> PortOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return nullptr;
  std::shared_ptr<Port> port = HandleTable::Instance().Get(handle);
  if (port && port->closed)
    return nullptr;
  return port;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z')
      x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = static_cast<char>(y - 'A' + 'a');
    if (x != y)
      return false;
  }
  return true;
}

// n of "Com<n>" (any case, decimal without a leading zero, 1..256); 0 when `name` is not one.
int ComNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 6 || !EqualsNoCase(name.substr(0, 3), "com"))
    return 0;
  std::string_view digits = name.substr(3);
  if (digits[0] == '0')
    return 0;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return 0;
    n = n * 10 + (c - '0');
  }
  return n <= kMaxComNumber ? n : 0;
}

// Raw, binary, no flow control, reads that never wait in the kernel: every wait is a poll() of
// ours, so time-outs and closing work the same on every device. Speed, byte size, parity and
// stop bits stay as they are.
void MakeRaw(termios2& t) {
  t.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IUCLC |
                 IMAXBEL | INPCK);
  t.c_iflag |= IGNBRK;  // a break is reported as CE_BREAK, not as a NUL byte in the data
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | ECHOCTL | ECHOKE);
  t.c_cflag &= ~CRTSCTS;
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

enum class WaitResult { kReady, kTimeout, kClosed, kError };

// Waits until the port's descriptor has `events` or `timeoutMs` pass (-1 = no limit).
WaitResult WaitFor(const Port& port, short events, int timeoutMs) {
  pollfd fds[2] = {{port.Descriptor(), events, 0}, {port.wakeFd, POLLIN, 0}};
  for (;;) {
    int r = ::poll(fds, 2, timeoutMs);
    if (r < 0 && errno == EINTR)
      continue;  // the remaining time is recomputed by the caller's next round
    if (r < 0)
      return WaitResult::kError;
    if (port.closed || (fds[1].revents & POLLIN))
      return WaitResult::kClosed;
    if (r == 0)
      return WaitResult::kTimeout;
    if (fds[0].revents & events)
      return WaitResult::kReady;
    return WaitResult::kError;  // POLLHUP / POLLERR / POLLNVAL: the device went away
  }
}

// Milliseconds until `deadline`, clamped to what poll() takes; 0 when it has passed.
int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0)
    return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

// Reads what is queued, without waiting, into buffer[*got .. size). False on a device error, or
// a connection that has ended once everything it brought has been read.
bool ReadQueued(Port& port, uint8_t* buffer, DWORD size, DWORD* got) {
  if (port.net) {
    std::lock_guard lock(port.netMutex);
    const bool alive = port.net->Pump();
    const size_t n = port.net->Take(buffer + *got, size - *got);
    *got += static_cast<DWORD>(n);
    return alive || n > 0;
  }
  while (*got < size) {
    ssize_t n = ::read(port.fd, buffer + *got, size - *got);
    if (n > 0) {
      *got += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
      return true;
    return false;
  }
  return true;
}

// Writes what the device takes now of in[*written .. size). False on a device error.
bool WriteSome(Port& port, const uint8_t* in, DWORD size, DWORD* written) {
  if (port.net) {
    std::lock_guard lock(port.netMutex);
    size_t accepted = 0;
    const bool ok = port.net->Send(std::span(in + *written, size - *written), &accepted);
    *written += static_cast<DWORD>(accepted);
    return ok;
  }
  for (;;) {
    const ssize_t n = ::write(port.fd, in + *written, size - *written);
    if (n > 0) {
      *written += static_cast<DWORD>(n);
      return true;
    }
    if (n < 0 && errno == EINTR)
      continue;
    return n == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

// Checks the ranges of a DCB (see serial_port.h).
bool DcbIsValid(const DCB& dcb) {
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY)
    return false;
  return dcb.StopBits == ONESTOPBIT || dcb.StopBits == TWOSTOPBITS ||
         (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize == 5);
}

// Connects to a serial device server; INVALID_HANDLE_VALUE when it cannot be reached.
HANDLE OpenNetPort(const platform::NetAddress& address) {
  auto port = std::make_shared<Port>();
  port->net = platform::NetLine::Connect(address, kNetConnectTimeoutMs);
  if (!port->net)
    return INVALID_HANDLE_VALUE;
  port->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (port->wakeFd < 0)
    return INVALID_HANDLE_VALUE;
  return HandleTable::Instance().Add(std::move(port));
}

}  // namespace

namespace platform {

std::optional<std::string> SerialDevicePath(std::string_view name) {
  if (name.starts_with("\\\\.\\"))
    name.remove_prefix(4);
  if (name.empty())
    return std::nullopt;
  if (name.find('/') != std::string_view::npos)
    return std::string(name);
  int n = ComNumber(name);
  if (n == 0)
    return std::nullopt;
  std::string value = "Com" + std::to_string(n);
  if (auto mapped = Registry::Instance().GetString(kPortsKey, value); mapped && !mapped->empty())
    return *mapped;
  return "/dev/ttyS" + std::to_string(n - 1);
}

HANDLE OpenSerialPort(const char* name) {
  if (name == nullptr)
    return INVALID_HANDLE_VALUE;
  std::optional<std::string> path = SerialDevicePath(name);
  if (!path)
    return INVALID_HANDLE_VALUE;
  NetAddress address;
  switch (ParseNetAddress(*path, &address)) {
    case NetAddressError::kOk:
      return OpenNetPort(address);
    case NetAddressError::kNotNet:
      break;
    default:
      errno = EINVAL;
      return INVALID_HANDLE_VALUE;
  }

  auto port = std::make_shared<Port>();
  // Non-blocking: the descriptor never waits in read() or write(); WaitFor() does the waiting.
  int fd = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return INVALID_HANDLE_VALUE;
  if (ioctl(fd, TCGETS2, &port->saved) != 0 ||  // not a terminal
      ::flock(fd, LOCK_EX | LOCK_NB) != 0) {    // another program of ours has it open
    ::close(fd);
    return INVALID_HANDLE_VALUE;
  }
  // The flock keeps out every opener that takes it (root included); TIOCEXCL keeps out ordinary
  // users' programs that do not.
  ioctl(fd, TIOCEXCL);
  port->fd = fd;  // from here on ~Port restores the settings and closes

  termios2 raw = port->saved;
  MakeRaw(raw);
  port->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (port->wakeFd < 0 || ioctl(fd, TCSETS2, &raw) != 0)
    return INVALID_HANDLE_VALUE;
  port->hasCounts = ioctl(fd, TIOCGICOUNT, &port->counts) == 0;
  return HandleTable::Instance().Add(std::move(port));
}

HANDLE DuplicateSerialHandle(HANDLE handle) {
  std::shared_ptr<Port> port = PortOf(handle);
  if (!port)
    return INVALID_HANDLE_VALUE;
  return HandleTable::Instance().Add(std::move(port));
}

BOOL CloseSerialHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return FALSE;
  return HandleTable::Instance().Remove(handle) ? TRUE : FALSE;
}

BOOL SetupComm(HANDLE handle, DWORD, DWORD) {
  return PortOf(handle) ? TRUE : FALSE;
}

BOOL GetCommState(HANDLE handle, DCB* dcb) {
  std::shared_ptr<Port> port = PortOf(handle);
  if (port && dcb != nullptr && port->net) {
    std::lock_guard lock(port->netMutex);
    *dcb = port->net->Line();
    return TRUE;
  }
  termios2 t{};
  if (!port || dcb == nullptr || ioctl(port->fd, TCGETS2, &t) != 0)
    return FALSE;
  DWORD rate = t.c_ospeed;
  if ((t.c_cflag & CBAUD) != BOTHER) {
    for (const BaudCode& b : kBaudCodes) {
      if (b.code == (t.c_cflag & CBAUD))
        rate = b.rate;
    }
  }
  dcb->BaudRate = rate;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      dcb->ByteSize = 5;
      break;
    case CS6:
      dcb->ByteSize = 6;
      break;
    case CS7:
      dcb->ByteSize = 7;
      break;
    default:
      dcb->ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & PARENB))
    dcb->Parity = NOPARITY;
  else if (t.c_cflag & CMSPAR)
    dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  if (!(t.c_cflag & CSTOPB))
    dcb->StopBits = ONESTOPBIT;
  else
    dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  return TRUE;
}

BOOL SetCommState(HANDLE handle, const DCB* dcb) {
  std::shared_ptr<Port> port = PortOf(handle);
  if (!port || dcb == nullptr || !DcbIsValid(*dcb))
    return FALSE;
  if (port->net) {
    // RFC 2217 puts the settings on the server's port; a raw connection keeps them for
    // GetCommState, the line being set up at the server.
    std::lock_guard lock(port->netMutex);
    return port->net->SetLine(*dcb) ? TRUE : FALSE;
  }

  termios2 t{};
  if (ioctl(port->fd, TCGETS2, &t) != 0)
    return FALSE;
  MakeRaw(t);

  // Output speed by code where one exists, else BOTHER with the rate itself; input follows output.
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tcflag_t code = BOTHER;
  for (const BaudCode& b : kBaudCodes) {
    if (b.rate == dcb->BaudRate)
      code = b.code;
  }
  t.c_cflag |= code;
  t.c_ospeed = t.c_ispeed = dcb->BaudRate;

  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  t.c_cflag |= kSizes[dcb->ByteSize - 5];
  switch (dcb->Parity) {
    case ODDPARITY:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (dcb->StopBits != ONESTOPBIT)
    t.c_cflag |= CSTOPB;  // 1.5 stop bits on 5-bit bytes, else 2

  // The kernel keeps what the device can do; a read-back that differs (a pseudo-terminal keeps no
  // parity, a UART rounds the rate) is the device's answer, not a failure.
  return ioctl(port->fd, TCSETS2, &t) == 0 ? TRUE : FALSE;
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  std::shared_ptr<Port> port = PortOf(handle);
  if (!port || timeouts == nullptr)
    return FALSE;
  std::lock_guard lock(port->mutex);
  *timeouts = port->timeouts;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  std::shared_ptr<Port> port = PortOf(handle);
  if (!port || timeouts == nullptr)
    return FALSE;
  std::lock_guard lock(port->mutex);
  port->timeouts = *timeouts;
  return TRUE;
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
  std::shared_ptr<Port> port = PortOf(handle);
  if (!port || (flags & ~DWORD{0xF}) != 0)
    return FALSE;
  const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
  if (!rx && !tx)
    return TRUE;
  if (port->net) {
    std::lock_guard lock(port->netMutex);
    return port->net->Purge(rx, tx) ? TRUE : FALSE;
  }
  int which = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
  return ioctl(port->fd, TCFLSH, which) == 0 ? TRUE : FALSE;
}

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* stat) {
  std::shared_ptr<Port> port = PortOf(handle);
  if (!port)
    return FALSE;
  if (port->net) {
    // A connection keeps no line error counters; one that has ended is a port that has gone.
    std::lock_guard lock(port->netMutex);
    const bool alive = port->net->Pump();
    if (!alive && port->net->Queued() == 0)
      return FALSE;
    if (stat != nullptr)
      *stat = COMSTAT{0, static_cast<DWORD>(port->net->Queued()),
                      static_cast<DWORD>(port->net->OutQueued())};
    if (errors != nullptr)
      *errors = 0;
    return TRUE;
  }
  if (stat != nullptr) {
    int in = 0, out = 0;
    if (ioctl(port->fd, FIONREAD, &in) != 0)
      return FALSE;
    if (ioctl(port->fd, TIOCOUTQ, &out) != 0)
      out = 0;
    *stat = COMSTAT{0, static_cast<DWORD>(in), static_cast<DWORD>(out)};
  }
  if (errors != nullptr) {
    *errors = 0;
    std::lock_guard lock(port->mutex);
    serial_icounter_struct now{};
    if (port->hasCounts && ioctl(port->fd, TIOCGICOUNT, &now) == 0) {
      const serial_icounter_struct& was = port->counts;
      if (now.buf_overrun != was.buf_overrun)
        *errors |= CE_RXOVER;
      if (now.overrun != was.overrun)
        *errors |= CE_OVERRUN;
      if (now.parity != was.parity)
        *errors |= CE_RXPARITY;
      if (now.frame != was.frame)
        *errors |= CE_FRAME;
      if (now.brk != was.brk)
        *errors |= CE_BREAK;
      port->counts = now;
    }
  }
  return TRUE;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* read, void* overlapped) {
  if (read != nullptr)
    *read = 0;
  std::shared_ptr<Port> port = PortOf(handle);
  if (!port || read == nullptr || overlapped != nullptr || (buffer == nullptr && size > 0))
    return FALSE;
  auto* out = static_cast<uint8_t*>(buffer);
  COMMTIMEOUTS to;
  {
    std::lock_guard lock(port->mutex);
    to = port->timeouts;
  }
  if (!ReadQueued(*port, out, size, read))
    return FALSE;
  if (*read == size)
    return TRUE;

  const bool atOnce = to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
                      to.ReadTotalTimeoutConstant == 0;
  if (atOnce)
    return TRUE;
  const bool firstByteOnly =
      to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
      to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != MAXDWORD;
  if (firstByteOnly) {
    if (*read > 0)
      return TRUE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::min<DWORD>(
                                                          to.ReadTotalTimeoutConstant, INT32_MAX));
    for (;;) {
      switch (WaitFor(*port, POLLIN, MillisecondsUntil(deadline))) {
        case WaitResult::kReady:
          if (!ReadQueued(*port, out, size, read))
            return FALSE;
          if (*read > 0)
            return TRUE;
          // A connection may bring telnet commands and no data: wait on. A terminal that is
          // readable with nothing to read has hung up.
          if (!port->net)
            return FALSE;
          break;
        case WaitResult::kTimeout:
          return TRUE;
        default:
          return FALSE;
      }
    }
  }

  const uint64_t totalMs =
      uint64_t{to.ReadTotalTimeoutMultiplier} * size + to.ReadTotalTimeoutConstant;
  const bool hasTotal = totalMs > 0;
  const Clock::time_point totalDeadline =
      Clock::now() + std::chrono::milliseconds(hasTotal ? totalMs : 0);
  const bool hasInterval = to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != MAXDWORD;
  Clock::time_point lastByte = Clock::now();
  while (*read < size) {
    int waitMs = -1;
    if (hasTotal)
      waitMs = MillisecondsUntil(totalDeadline);
    if (hasInterval && *read > 0) {
      int intervalMs =
          MillisecondsUntil(lastByte + std::chrono::milliseconds(to.ReadIntervalTimeout));
      waitMs = waitMs < 0 ? intervalMs : std::min(waitMs, intervalMs);
    }
    WaitResult r = waitMs == 0 ? WaitResult::kTimeout : WaitFor(*port, POLLIN, waitMs);
    if (r == WaitResult::kTimeout)
      return TRUE;
    if (r != WaitResult::kReady)
      return FALSE;
    DWORD before = *read;
    if (!ReadQueued(*port, out, size, read))
      return FALSE;
    // Readable but nothing to read is the end of the line (a hang-up), not a reason to go round
    // again: that would spin until the time-out. A connection may have brought telnet commands
    // only; its end shows as a failed ReadQueued.
    if (*read == before) {
      if (!port->net)
        return FALSE;
      continue;
    }
    lastByte = Clock::now();
  }
  return TRUE;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD size, DWORD* written, void* overlapped) {
  if (written != nullptr)
    *written = 0;
  std::shared_ptr<Port> port = PortOf(handle);
  if (!port || written == nullptr || overlapped != nullptr || (buffer == nullptr && size > 0))
    return FALSE;
  COMMTIMEOUTS to;
  {
    std::lock_guard lock(port->mutex);
    to = port->timeouts;
  }
  const uint64_t totalMs =
      uint64_t{to.WriteTotalTimeoutMultiplier} * size + to.WriteTotalTimeoutConstant;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
  const auto* in = static_cast<const uint8_t*>(buffer);
  while (*written < size) {
    const DWORD before = *written;
    if (!WriteSome(*port, in, size, written))
      return FALSE;
    if (*written == size)
      break;
    if (*written != before)
      continue;
    int waitMs = totalMs > 0 ? MillisecondsUntil(deadline) : -1;
    if (waitMs == 0)
      return FALSE;  // timed out with *written bytes sent
    if (WaitFor(*port, POLLOUT, waitMs) != WaitResult::kReady)
      return FALSE;  // timed out, closed or device gone, with *written bytes sent
  }
  return TRUE;
}

}  // namespace platform

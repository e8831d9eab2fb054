#include "platform/window_messages.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/atoms.h"
#include "platform/unique_fd.h"

namespace {

// --- Wire format (all integers little-endian) ---
//   message: "TWM1", kind u8, flags u8, reserved u16, message u32, sequence u32, wParam u64,
//            lParam i64, text lengths u8 u8, then the wParam text and the lParam text
//   answer:  "TWR1", sequence u32, result i64
constexpr char kMessageMagic[4] = {'T', 'W', 'M', '1'};
constexpr char kAnswerMagic[4] = {'T', 'W', 'R', '1'};
constexpr size_t kHeaderSize = 34;
constexpr size_t kAnswerSize = 16;
constexpr size_t kMaxAtomText = 255;
constexpr size_t kMaxDatagram = kHeaderSize + 2 * kMaxAtomText;

enum Kind : uint8_t { kPost = 1, kSend = 2, kRaise = 3 };

struct WireMessage {
  uint8_t kind = kPost;
  uint8_t flags = 0;
  uint32_t message = 0;
  uint32_t sequence = 0;
  uint64_t wparam = 0;
  int64_t lparam = 0;
  std::string wtext, ltext;  // the texts of atom parameters
};

void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i)
    v = (v << 8) | p[i];
  return v;
}

std::vector<uint8_t> Encode(const WireMessage& m) {
  std::vector<uint8_t> out(kMessageMagic, kMessageMagic + 4);
  out.push_back(m.kind);
  out.push_back(m.flags);
  PutLe(out, 0, 2);
  PutLe(out, m.message, 4);
  PutLe(out, m.sequence, 4);
  PutLe(out, m.wparam, 8);
  PutLe(out, static_cast<uint64_t>(m.lparam), 8);
  out.push_back(static_cast<uint8_t>(m.wtext.size()));
  out.push_back(static_cast<uint8_t>(m.ltext.size()));
  out.insert(out.end(), m.wtext.begin(), m.wtext.end());
  out.insert(out.end(), m.ltext.begin(), m.ltext.end());
  return out;
}

std::optional<WireMessage> Decode(const uint8_t* p, size_t size) {
  if (size < kHeaderSize || std::memcmp(p, kMessageMagic, 4) != 0)
    return std::nullopt;
  WireMessage m;
  m.kind = p[4];
  m.flags = p[5];
  m.message = static_cast<uint32_t>(GetLe(p + 8, 4));
  m.sequence = static_cast<uint32_t>(GetLe(p + 12, 4));
  m.wparam = GetLe(p + 16, 8);
  m.lparam = static_cast<int64_t>(GetLe(p + 24, 8));
  size_t wlen = p[32], llen = p[33];
  if (size != kHeaderSize + wlen + llen || m.kind < kPost || m.kind > kRaise)
    return std::nullopt;
  m.wtext.assign(reinterpret_cast<const char*>(p + kHeaderSize), wlen);
  m.ltext.assign(reinterpret_cast<const char*>(p + kHeaderSize + wlen), llen);
  return m;
}

// --- Names and paths ---

// The file-name form of a class name: ASCII lower case, bytes outside [a-z0-9._-] as %XX.
std::string FileNameOf(std::string_view className) {
  std::string out;
  for (unsigned char c : className) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<unsigned char>(c - 'A' + 'a');
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// Creates the missing parents of `dir` (mode 0700). The folder itself is made by the caller.
void MakeParents(const std::string& dir) {
  for (size_t pos = 1; pos < dir.size(); ++pos) {
    if (dir[pos] == '/')
      static_cast<void>(::mkdir(dir.substr(0, pos).c_str(), 0700));
  }
}

// The runtime folder, created with mode 0700 when missing. Empty, with the reason in *why, unless
// it is a real folder (not a link) of this user with mode 0700, as a runtime folder must be: in a
// folder that someone else owns or can write to, another local user could read the messages,
// plant an endpoint or inject messages. The checks are made on the opened folder (fstat), so a
// link swapped in after the mkdir() is refused, not followed. Once it is ours and 0700, nobody
// else can add, remove or replace its entries, and in a sticky /tmp nobody else can rename it.
std::string UsableRuntimeDir(std::string* why = nullptr) {
  std::string dir = platform::MessageRuntimeDir();
  // A trailing '/' would make O_NOFOLLOW follow a link.
  while (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  auto refuse = [&](const std::string& what) {
    if (why != nullptr)
      *why = "the message folder " + dir + " " + what;
    return std::string();
  };
  if (dir.empty())
    return refuse("is not set");
  MakeParents(dir);
  const bool created = ::mkdir(dir.c_str(), 0700) == 0;
  if (!created && errno != EEXIST)
    return refuse(std::string("cannot be created: ") + std::strerror(errno));
  platform::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    const int error = errno;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      return refuse("is a symbolic link, not a folder of its own");
    if (error == ENOTDIR)
      return refuse("is not a folder");
    return refuse(std::string("cannot be opened: ") + std::strerror(error));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode))
    return refuse("is not a folder");
  if (st.st_uid != ::geteuid()) {
    char text[64];
    std::snprintf(text, sizeof text, "belongs to user %u, not to user %u",
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(::geteuid()));
    return refuse(text);
  }
  // A folder just made may have lost bits to the umask; it is ours to set.
  if (created && (st.st_mode & 0777) != 0700 &&
      (::fchmod(fd.get(), 0700) != 0 || ::fstat(fd.get(), &st) != 0))
    return refuse(std::string("cannot be made private: ") + std::strerror(errno));
  if ((st.st_mode & 0777) != 0700) {
    char text[64];
    std::snprintf(text, sizeof text, "has mode %04o; it must be 0700",
                  static_cast<unsigned>(st.st_mode & 07777));
    return refuse(text);
  }
  return dir;
}

bool MakeAddress(const std::string& path, sockaddr_un* addr) {
  if (path.size() >= sizeof addr->sun_path)
    return false;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A descriptor closed on scope exit.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A datagram socket connected to the endpoint at `path`; -1 when no endpoint is bound there
// (no file, or a file left by a program that died: connect() is refused).
int ConnectTo(const std::string& path) {
  sockaddr_un addr;
  if (!MakeAddress(path, &addr))
    return -1;
  Fd s(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0 || ::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return -1;
  return s.release();
}

// --- HWND values: one per class name, never reused ---

class WindowTable {
 public:
  static WindowTable& Instance() {
    static WindowTable table;
    return table;
  }
  HWND Intern(const std::string& fileName) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == fileName)
        return ToHwnd(i);
    }
    names_.push_back(fileName);
    return ToHwnd(names_.size() - 1);
  }
  std::optional<std::string> FileNameOf(HWND hwnd) const {
    auto v = reinterpret_cast<uintptr_t>(hwnd);
    std::lock_guard lock(mutex_);
    if (v < kBase || (v - kBase) % kStep != 0 || (v - kBase) / kStep >= names_.size())
      return std::nullopt;
    return names_[(v - kBase) / kStep];
  }

 private:
  static constexpr uintptr_t kBase = 0x10010, kStep = 0x10;
  static HWND ToHwnd(size_t i) { return reinterpret_cast<HWND>(kBase + i * kStep); }
  mutable std::mutex mutex_;
  std::vector<std::string> names_;
};

std::optional<std::string> EndpointPathOf(HWND hwnd) {
  std::optional<std::string> name = WindowTable::Instance().FileNameOf(hwnd);
  if (!name)
    return std::nullopt;
  std::string dir = UsableRuntimeDir();
  if (dir.empty())
    return std::nullopt;
  return dir + "/" + *name + ".sock";
}

std::string AtomText(ATOM atom) {
  char buf[kMaxAtomText + 1];
  UINT n = platform::GlobalGetAtomNameA(atom, buf, sizeof buf);
  return std::string(buf, n);
}

WireMessage MakeMessage(Kind kind, UINT message, WPARAM wParam, LPARAM lParam,
                        unsigned atomParams) {
  static std::atomic<uint32_t> nextSequence{1};
  WireMessage m;
  m.kind = kind;
  m.message = message;
  m.sequence = nextSequence++;
  m.flags = static_cast<uint8_t>(atomParams & (platform::kWParamIsAtom | platform::kLParamIsAtom));
  if (m.flags & platform::kWParamIsAtom)
    m.wtext = AtomText(static_cast<ATOM>(wParam));
  else
    m.wparam = wParam;
  if (m.flags & platform::kLParamIsAtom)
    m.ltext = AtomText(static_cast<ATOM>(lParam));
  else
    m.lparam = lParam;
  return m;
}

// Sends without waiting: a full queue at the receiver fails at once, like a full message queue.
BOOL PostTo(HWND hwnd, const WireMessage& m) {
  std::optional<std::string> path = EndpointPathOf(hwnd);
  if (!path)
    return FALSE;
  Fd s(ConnectTo(*path));
  if (s.get() < 0)
    return FALSE;
  std::vector<uint8_t> bytes = Encode(m);
  return ::send(s.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
                 static_cast<ssize_t>(bytes.size())
             ? TRUE
             : FALSE;
}

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

}  // namespace

namespace platform {

HWND FindWindowA(const char* className, const char*) {
  if (className == nullptr || *className == '\0')
    return nullptr;
  std::string name = FileNameOf(className);
  std::string dir = UsableRuntimeDir();
  if (dir.empty())
    return nullptr;
  Fd probe(ConnectTo(dir + "/" + name + ".sock"));
  if (probe.get() < 0)
    return nullptr;
  return WindowTable::Instance().Intern(name);
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return platform::PostMessageWithAtoms(hwnd, message, wParam, lParam, 0);
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return platform::SendMessageWithAtoms(hwnd, message, wParam, lParam, 0);
}

BOOL BringWindowToTop(HWND hwnd) {
  return PostTo(hwnd, MakeMessage(kRaise, 0, 0, 0, 0));
}

std::string MessageRuntimeDirProblem() {
  std::string why;
  return UsableRuntimeDir(&why).empty() ? why : std::string();
}

std::string MessageRuntimeDir() {
  if (const char* dir = ::getenv("TALVEK_RUNTIME_DIR"); dir != nullptr && *dir != '\0')
    return dir;
  if (const char* xdg = ::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg != '\0')
    return std::string(xdg) + "/talvek";
  return "/tmp/talvek-" + std::to_string(::getuid());
}

BOOL PostMessageWithAtoms(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                          unsigned atomParams) {
  return PostTo(hwnd, MakeMessage(kPost, message, wParam, lParam, atomParams));
}

LRESULT SendMessageWithAtoms(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                             unsigned atomParams, DWORD timeoutMs, bool* answered) {
  if (answered != nullptr)
    *answered = false;
  std::optional<std::string> path = EndpointPathOf(hwnd);
  sockaddr_un peer;
  if (!path || !MakeAddress(*path, &peer))
    return 0;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::min<DWORD>(timeoutMs, INT32_MAX));

  // An automatically named (abstract) address of our own, so that the receiver can answer; being
  // connected, the socket takes datagrams from the receiver only.
  Fd s(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sa_family_t family = AF_UNIX;
  if (s.get() < 0 || ::bind(s.get(), reinterpret_cast<sockaddr*>(&family), sizeof family) != 0 ||
      ::connect(s.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0)
    return 0;

  WireMessage m = MakeMessage(kSend, message, wParam, lParam, atomParams);
  std::vector<uint8_t> bytes = Encode(m);
  // A full receiver queue is waited on, within the same time limit as the answer.
  for (;;) {
    ssize_t n = ::send(s.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(bytes.size()))
      break;
    if (n >= 0 || (errno != EAGAIN && errno != EINTR))
      return 0;
    pollfd p{s.get(), POLLOUT, 0};
    int waitMs = MillisecondsUntil(deadline);
    if (waitMs == 0 || ::poll(&p, 1, waitMs) < 0)
      return 0;
  }

  for (;;) {
    pollfd p{s.get(), POLLIN, 0};
    int waitMs = MillisecondsUntil(deadline);
    int r = waitMs == 0 ? 0 : ::poll(&p, 1, waitMs);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      return 0;
    uint8_t answer[kAnswerSize + 1];
    ssize_t n = ::recv(s.get(), answer, sizeof answer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
      continue;
    if (n < 0)
      return 0;  // the receiver went away
    if (n == static_cast<ssize_t>(kAnswerSize) && std::memcmp(answer, kAnswerMagic, 4) == 0 &&
        GetLe(answer + 4, 4) == m.sequence) {
      if (answered != nullptr)
        *answered = true;
      return static_cast<LRESULT>(GetLe(answer + 8, 8));
    }
  }
}

struct MessageEndpoint::Impl {
  Handler handler;
  RaiseHandler raise;
  Delivery delivery = Delivery::kOwnThread;
  std::string socketPath, lockPath, lastError;
  Fd socket, lock, wake;
  std::thread thread;

  // Handles one datagram; true when it was a message.
  bool DispatchOne() {
    uint8_t buf[kMaxDatagram + 1];
    sockaddr_un from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(socket.get(), buf, sizeof buf, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0)
      return false;
    std::optional<WireMessage> m = Decode(buf, static_cast<size_t>(n));
    if (!m)
      return true;  // not ours or damaged: dropped, but the queue moved on
    if (m->kind == kRaise) {
      if (raise) {
        try {
          raise();
        } catch (...) {
        }
      }
      return true;
    }
    // Atom parameters become atoms of this process for the handler's call.
    ATOM watom = 0, latom = 0;
    WPARAM w = m->wparam;
    LPARAM l = m->lparam;
    if (m->flags & kWParamIsAtom)
      w = watom = m->wtext.empty() ? 0 : platform::GlobalAddAtomA(m->wtext.c_str());
    if (m->flags & kLParamIsAtom)
      l = latom = m->ltext.empty() ? 0 : platform::GlobalAddAtomA(m->ltext.c_str());
    LRESULT result = 0;
    try {
      if (handler)
        result = handler(m->message, w, l);
    } catch (...) {
      result = 0;
    }
    if (watom != 0)
      platform::GlobalDeleteAtom(watom);
    if (latom != 0)
      platform::GlobalDeleteAtom(latom);
    if (m->kind == kSend && fromLen > sizeof(sa_family_t)) {
      std::vector<uint8_t> answer(kAnswerMagic, kAnswerMagic + 4);
      PutLe(answer, m->sequence, 4);
      PutLe(answer, static_cast<uint64_t>(result), 8);
      // A sender that gave up has no address any more; its answer is simply lost.
      static_cast<void>(::sendto(socket.get(), answer.data(), answer.size(),
                                 MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&from),
                                 fromLen));
    }
    return true;
  }

  void Run() {
    pollfd fds[2] = {{socket.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
    for (;;) {
      int r = ::poll(fds, 2, -1);
      if (r < 0 && errno == EINTR)
        continue;
      if (r < 0 || (fds[1].revents & POLLIN))
        return;
      if (fds[0].revents & POLLIN) {
        while (DispatchOne()) {
        }
      } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        return;
      }
    }
  }
};

MessageEndpoint::MessageEndpoint() : impl_(std::make_unique<Impl>()) {}

MessageEndpoint::~MessageEndpoint() {
  Close();
}

bool MessageEndpoint::Open(std::string_view className, Handler handler, Delivery delivery,
                           RaiseHandler raise) {
  Close();
  Impl& d = *impl_;
  auto fail = [&d](const char* why) {
    d.lastError = why;
    d.socket.reset();
    d.lock.reset();
    return false;
  };
  if (className.empty())
    return fail("empty class name");
  std::string why;
  std::string dir = UsableRuntimeDir(&why);
  if (dir.empty()) {
    d.lastError = why;
    d.socket.reset();
    d.lock.reset();
    return false;
  }
  const std::string base = dir + "/" + FileNameOf(className);
  sockaddr_un addr;
  if (!MakeAddress(base + ".sock", &addr))
    return fail("the runtime folder's path is too long for a socket");

  // The lock file says who owns the class; the lock dies with its process, which is how a socket
  // file left by a dead program is told from a live one. A lock file removed by its owner between
  // our open() and flock() is a different file from the one now at the path: try again.
  for (int attempt = 0;; ++attempt) {
    d.lock.reset(::open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (d.lock.get() < 0)
      return fail("cannot create the lock file");
    if (::flock(d.lock.get(), LOCK_EX | LOCK_NB) != 0)
      return fail("an endpoint of this class is live");
    struct stat held {
    }, now{};
    if (::fstat(d.lock.get(), &held) == 0 && ::stat((base + ".lock").c_str(), &now) == 0 &&
        held.st_dev == now.st_dev && held.st_ino == now.st_ino)
      break;
    if (attempt == 3)
      return fail("the lock file keeps changing");
  }
  // Someone bound without taking the lock (an older program) is live too.
  if (Fd live(ConnectTo(base + ".sock")); live.get() >= 0)
    return fail("an endpoint of this class is live");
  ::unlink((base + ".sock").c_str());  // stale

  d.socket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (d.socket.get() < 0 ||
      ::bind(d.socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return fail("cannot bind the endpoint socket");
  d.socketPath = base + ".sock";
  d.lockPath = base + ".lock";
  d.handler = std::move(handler);
  d.raise = std::move(raise);
  d.delivery = delivery;
  d.lastError.clear();
  if (delivery == Delivery::kOwnThread) {
    d.wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (d.wake.get() < 0) {
      ::unlink(d.socketPath.c_str());
      d.socketPath.clear();
      return fail("cannot create the wake-up descriptor");
    }
    d.thread = std::thread([&d] { d.Run(); });
  }
  return true;
}

void MessageEndpoint::Close() {
  Impl& d = *impl_;
  if (d.thread.joinable()) {
    uint64_t one = 1;
    static_cast<void>(::write(d.wake.get(), &one, sizeof one));
    d.thread.join();
  }
  if (!d.socketPath.empty()) {
    // Still ours: the lock has been held all along. The lock file goes first, while locked, so
    // that a newcomer either finds it locked or makes a fresh one.
    ::unlink(d.lockPath.c_str());
    ::unlink(d.socketPath.c_str());
  }
  d.socketPath.clear();
  d.lockPath.clear();
  d.socket.reset();
  d.lock.reset();
  d.wake.reset();
  d.handler = nullptr;
  d.raise = nullptr;
}

bool MessageEndpoint::IsOpen() const {
  return !impl_->socketPath.empty();
}

std::string MessageEndpoint::LastError() const {
  return impl_->lastError;
}

int MessageEndpoint::fd() const {
  return IsOpen() && impl_->delivery == Delivery::kPolled ? impl_->socket.get() : -1;
}

bool MessageEndpoint::DispatchPending() {
  if (!IsOpen() || impl_->delivery != Delivery::kPolled)
    return false;
  bool any = false;
  while (impl_->DispatchOne())
    any = true;
  return any;
}

}  // namespace platform

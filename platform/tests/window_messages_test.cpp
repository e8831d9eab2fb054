#include "platform/window_messages.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/testing/test_support.h"
#include "platform/atoms.h"
#include "platform/sync.h"

namespace {

using platform::Event;
using platform::MessageEndpoint;
using platform::WaitResult;
using testing_support::ScopedEnv;
using testing_support::TempDir;

constexpr UINT kMonitorMessage = 0x432;

// Every test gets its own runtime folder.
class WindowMessagesTest : public ::testing::Test {
 protected:
  WindowMessagesTest() : env_("TALVEK_RUNTIME_DIR", dir_.str()) {}

  // Leaves a socket file with nobody bound to it, as a program that crashed does.
  void MakeStaleSocket(const std::string& file) {
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = (dir_ / file).string();
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(s);
    ASSERT_TRUE(std::filesystem::exists(path));
  }

  // A socket bound at `path` that accepts messages, as a planted endpoint would; -1 on failure.
  static int BindSocket(const std::string& path) {
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(s);
      return -1;
    }
    return s;
  }

  TempDir dir_;
  ScopedEnv env_;
};

TEST_F(WindowMessagesTest, SendCarriesAnAtomAsTextAndReturnsTheHandlersResult) {
  std::mutex mu;
  std::string seen_text;
  std::vector<std::pair<WPARAM, LPARAM>> seen_plain;
  MessageEndpoint monitor;
  ASSERT_TRUE(monitor.Open("quelmess", [&](UINT msg, WPARAM w, LPARAM l) -> LRESULT {
    std::lock_guard lock(mu);
    if (msg == kMonitorMessage) {
      char text[256];
      UINT n = platform::GlobalGetAtomNameA(static_cast<ATOM>(w), text, sizeof text);
      seen_text.assign(text, n);
      return 7;
    }
    seen_plain.emplace_back(w, l);
    return static_cast<LRESULT>(w) + l;
  })) << monitor.LastError();

  HWND hwnd = platform::FindWindowA("quelmess", nullptr);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_EQ(platform::FindWindowA("QuelMess", "any title"), hwnd) << "class names ignore case";

  ATOM atom = platform::GlobalAddAtomA("No Receiving Data!");
  ASSERT_NE(atom, 0);
  bool answered = false;
  EXPECT_EQ(platform::SendMessageWithAtoms(hwnd, kMonitorMessage, atom, 0, platform::kWParamIsAtom,
                                           platform::kSendMessageTimeoutMs, &answered),
            7);
  EXPECT_TRUE(answered);
  {
    std::lock_guard lock(mu);
    EXPECT_EQ(seen_text, "No Receiving Data!");
  }
  // The receiver's reference was dropped after the handler: ours is the last one.
  EXPECT_EQ(platform::GlobalDeleteAtom(atom), 0);
  EXPECT_EQ(platform::GlobalFindAtomA("No Receiving Data!"), 0);

  // Parameters without the flag are numbers, negative ones included.
  EXPECT_EQ(platform::SendMessageA(hwnd, WM_USER + 1, 0x1234, -5), 0x1234 - 5);
  std::lock_guard lock(mu);
  ASSERT_EQ(seen_plain.size(), 1u);
  EXPECT_EQ(seen_plain[0], (std::pair<WPARAM, LPARAM>{0x1234, -5}));
}

TEST_F(WindowMessagesTest, PostDoesNotWaitAndSendGivesUpOnAHungReceiver) {
  Event entered(true), release(true), second_handled(true);
  std::atomic<int> calls{0};
  MessageEndpoint endpoint;
  ASSERT_TRUE(endpoint.Open("slowpoke", [&](UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (++calls == 1) {
      entered.Set();
      release.Wait(10000);
    }
    if (msg == 2)
      second_handled.Set();
    return 1;
  }));
  HWND hwnd = platform::FindWindowA("slowpoke", nullptr);
  ASSERT_NE(hwnd, nullptr);

  ASSERT_TRUE(platform::PostMessageA(hwnd, 1, 0, 0));
  ASSERT_EQ(entered.Wait(5000), WaitResult::kSignaled);
  // The handler is blocked: a post still returns, a send times out instead of hanging.
  EXPECT_TRUE(platform::PostMessageA(hwnd, 2, 0, 0));
  bool answered = true;
  EXPECT_EQ(platform::SendMessageWithAtoms(hwnd, 3, 0, 0, 0, 100, &answered), 0);
  EXPECT_FALSE(answered);

  release.Set();
  EXPECT_EQ(second_handled.Wait(5000), WaitResult::kSignaled);
}

TEST_F(WindowMessagesTest, OnlyLiveEndpointsAreFound) {
  EXPECT_EQ(platform::FindWindowA("quelmess", nullptr), nullptr);
  EXPECT_EQ(platform::FindWindowA("", nullptr), nullptr);
  EXPECT_EQ(platform::FindWindowA(nullptr, nullptr), nullptr);

  MakeStaleSocket("quelmess.sock");
  EXPECT_EQ(platform::FindWindowA("quelmess", nullptr), nullptr) << "a stale socket is nobody";

  MessageEndpoint endpoint;
  ASSERT_TRUE(endpoint.Open("quelmess", [](UINT, WPARAM, LPARAM) -> LRESULT { return 0; }))
      << "a stale socket is replaced: " << endpoint.LastError();
  HWND hwnd = platform::FindWindowA("quelmess", nullptr);
  ASSERT_NE(hwnd, nullptr);

  MessageEndpoint rival;
  EXPECT_FALSE(rival.Open("QUELMESS", [](UINT, WPARAM, LPARAM) -> LRESULT { return 0; }));
  EXPECT_FALSE(rival.LastError().empty());

  endpoint.Close();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "quelmess.sock"));
  EXPECT_EQ(platform::FindWindowA("quelmess", nullptr), nullptr);
  EXPECT_FALSE(platform::PostMessageA(hwnd, 1, 0, 0)) << "the window is gone";
  EXPECT_EQ(platform::SendMessageA(hwnd, 1, 0, 0), 0);
  EXPECT_FALSE(platform::PostMessageA(reinterpret_cast<HWND>(0x1234), 1, 0, 0)) << "never a window";
  EXPECT_TRUE(rival.Open("QUELMESS", [](UINT, WPARAM, LPARAM) -> LRESULT { return 0; }));
}

TEST_F(WindowMessagesTest, AnEndpointOfADeadProcessIsReplaced) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Dies holding its endpoint, without closing it.
    MessageEndpoint* leaked = new MessageEndpoint;
    bool ok = leaked->Open(
        "ZIZivu", [](UINT, WPARAM, LPARAM) -> LRESULT { return 0; },
        MessageEndpoint::Delivery::kPolled);
    char c = ok ? '1' : '0';
    static_cast<void>(write(ready[1], &c, 1));
    _exit(0);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(c, '1');
  EXPECT_TRUE(std::filesystem::exists(dir_ / "zizivu.sock")) << "left behind";

  EXPECT_EQ(platform::FindWindowA("ZIZivu", nullptr), nullptr);
  MessageEndpoint endpoint;
  EXPECT_TRUE(endpoint.Open("ZIZivu", [](UINT, WPARAM, LPARAM) -> LRESULT { return 0; }))
      << endpoint.LastError();
  EXPECT_NE(platform::FindWindowA("ZIZivu", nullptr), nullptr);
}

TEST_F(WindowMessagesTest, PolledDeliveryRunsHandlersOnTheCallersThread) {
  std::vector<UINT> messages;
  std::string posted_text;
  int raises = 0;
  MessageEndpoint endpoint;
  ASSERT_TRUE(endpoint.Open(
      "VORUDOZEZEZUROV",
      [&](UINT msg, WPARAM, LPARAM l) -> LRESULT {
        messages.push_back(msg);
        char text[256];
        UINT n = platform::GlobalGetAtomNameA(static_cast<ATOM>(l), text, sizeof text);
        posted_text.assign(text, n);
        return 0;
      },
      MessageEndpoint::Delivery::kPolled, [&] { ++raises; }));
  ASSERT_GE(endpoint.fd(), 0);
  EXPECT_FALSE(endpoint.DispatchPending()) << "nothing waiting";

  HWND hwnd = platform::FindWindowA("VORUDOZEZEZUROV", nullptr);
  ASSERT_NE(hwnd, nullptr);
  ATOM atom = platform::GlobalAddAtomA("open screen1.pic");
  ASSERT_TRUE(platform::PostMessageWithAtoms(hwnd, 1126, 0, atom, platform::kLParamIsAtom));
  ASSERT_TRUE(platform::BringWindowToTop(hwnd));
  platform::GlobalDeleteAtom(atom);  // the text travelled; the sender's atom may go at once

  pollfd p{endpoint.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_TRUE(endpoint.DispatchPending());
  EXPECT_EQ(messages, std::vector<UINT>{1126});
  EXPECT_EQ(posted_text, "open screen1.pic");
  EXPECT_EQ(raises, 1);
  EXPECT_EQ(platform::GlobalFindAtomA("open screen1.pic"), 0) << "the receiver's atom is gone too";
  EXPECT_FALSE(endpoint.DispatchPending());

  MessageEndpoint threaded;
  ASSERT_TRUE(threaded.Open("other", [](UINT, WPARAM, LPARAM) -> LRESULT { return 0; }));
  EXPECT_EQ(threaded.fd(), -1);
  EXPECT_FALSE(threaded.DispatchPending());
}

TEST_F(WindowMessagesTest, OnlyAPrivateFolderOfThisUserHoldsEndpoints) {
  namespace fs = std::filesystem;
  auto handler = [](UINT, WPARAM, LPARAM) -> LRESULT { return 0; };
  auto mode_of = [](const fs::path& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? st.st_mode & 07777 : 0u;
  };

  // Missing (with a missing parent): made with mode 0700, whatever the umask.
  for (mode_t mask : {mode_t{022}, mode_t{0277}}) {
    const fs::path run = dir_ / ("made" + std::to_string(mask)) / "run";
    ScopedEnv env("TALVEK_RUNTIME_DIR", run.string());
    mode_t old = umask(mask);
    MessageEndpoint endpoint;
    bool opened = endpoint.Open("quelmess", handler);
    umask(old);
    ASSERT_TRUE(opened) << endpoint.LastError();
    EXPECT_EQ(mode_of(run), 0700u) << "umask " << mask;
    EXPECT_NE(platform::FindWindowA("quelmess", nullptr), nullptr);
    EXPECT_EQ(platform::MessageRuntimeDirProblem(), "");
  }

  const fs::path real = dir_ / "real";
  ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
  struct Case {
    const char* name;
    std::function<bool(const fs::path&)> make;  // false: not possible here
    const char* why;
  };
  const Case cases[] = {
      {"open to others", [](const fs::path& p) { return mkdir(p.c_str(), 0755) == 0; }, "0755"},
      {"group-writable",
       [](const fs::path& p) { return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 0770) == 0; },
       "0770"},
      {"a link to a private folder",
       [&](const fs::path& p) { return symlink(real.c_str(), p.c_str()) == 0; }, "link"},
      {"a file", [](const fs::path& p) { return testing_support::WriteFileBytes(p, {}); },
       "not a folder"},
      // Root can hand the folder to another user; anyone else cannot (CI runs as root).
      {"another user's",
       [](const fs::path& p) {
         return mkdir(p.c_str(), 0700) == 0 && geteuid() == 0 &&
                chown(p.c_str(), 65534, 65534) == 0;
       },
       "belongs to user 65534"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path run = dir_ / (std::string("run-") + std::to_string(&c - cases));
    if (!c.make(run)) {
      ASSERT_NE(geteuid(), 0u) << "set-up failed as root";
      continue;
    }
    ScopedEnv env("TALVEK_RUNTIME_DIR", run.string() + "/");
    // An endpoint planted there beforehand is not found, so nothing is sent to it...
    const fs::path target = fs::is_directory(run) ? run : real;
    int planted = BindSocket((target / "quelmess.sock").string());
    ASSERT_GE(planted, 0);
    EXPECT_EQ(platform::FindWindowA("quelmess", nullptr), nullptr);
    close(planted);
    fs::remove(target / "quelmess.sock");
    // ...and no endpoint is made there; the reason names the folder.
    MessageEndpoint endpoint;
    EXPECT_FALSE(endpoint.Open("quelmess", handler));
    EXPECT_NE(endpoint.LastError().find(run.string()), std::string::npos) << endpoint.LastError();
    EXPECT_NE(endpoint.LastError().find(c.why), std::string::npos) << endpoint.LastError();
    EXPECT_EQ(platform::MessageRuntimeDirProblem(), endpoint.LastError());
    EXPECT_FALSE(fs::exists(target / "quelmess.lock"));
    EXPECT_FALSE(fs::exists(target / "quelmess.sock"));
  }
}

}  // namespace

// Window messages between programs: a window class name is a named local endpoint that other
// processes find, post to, send to (waiting for the answer) and ask to come to the front.
//
//   // Receiver (a monitor window):
//   platform::MessageEndpoint endpoint;
//   bool ok = endpoint.Open("quelmess", [](UINT msg, WPARAM w, LPARAM) -> LRESULT {
//     char text[256];
//     if (msg == 0x432) platform::GlobalGetAtomNameA(static_cast<ATOM>(w), text, sizeof text);
//     return 1;
//   });
//   // Sender:
//   if (HWND hwnd = platform::FindWindowA("quelmess", nullptr))
//     platform::SendMessageWithAtoms(hwnd, 0x432, atom, 0, platform::kWParamIsAtom);
//
// An endpoint is a Unix-domain datagram socket "<class>.sock" in the runtime folder
// ($TALVEK_RUNTIME_DIR, else $XDG_RUNTIME_DIR/talvek, else /tmp/talvek-<uid>), guarded by a lock
// file "<class>.lock" that its owner holds while it lives. Class names compare without regard
// to ASCII case, as on Windows. An HWND names a class, not one process: it reaches whichever
// endpoint of that class is live when a message is sent, and a message to a class without a
// live endpoint fails. Atom parameters cannot cross as numbers (each process has its own atom
// table): a parameter flagged as an atom travels as the atom's text, and the receiver passes
// its own atom for that text to the handler, valid until the handler returns.
// docs/serial-and-messages.md gives the wire format.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win_types.h"

struct HWND__;
// A window: the handle of a message class found by FindWindowA.
using HWND = HWND__*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

// First message number free for applications.
constexpr UINT WM_USER = 0x400;

namespace platform {

// The window of class `className` when an endpoint of that class is live, else null. The
// window name is not used.
HWND FindWindowA(const char* className, const char* windowName);

// Queues a message at the window's endpoint and returns without waiting for it to be handled.
// FALSE when the endpoint is gone or its queue is full. No parameter is an atom.
BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Delivers a message and waits for the handler's result, at most kSendMessageTimeoutMs; 0 when
// the endpoint is gone or did not answer in time. No parameter is an atom.
LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Asks the window's program to show its window in front. FALSE when the endpoint is gone.
BOOL BringWindowToTop(HWND hwnd);

// Flags of the *WithAtoms calls: which parameters hold a global atom of the sender.
inline constexpr unsigned kWParamIsAtom = 0x1;
inline constexpr unsigned kLParamIsAtom = 0x2;

// How long SendMessageA waits for an answer. A receiver that takes longer is treated as hung, so
// that it cannot stop the sender (a polling thread) for good.
inline constexpr DWORD kSendMessageTimeoutMs = 5000;

// PostMessageA with atom parameters (see the top of this file).
BOOL PostMessageWithAtoms(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                          unsigned atomParams);

// SendMessageA with atom parameters and a time-out of one's own. 0 when the endpoint is gone or
// did not answer within `timeoutMs`; *answered (may be null) tells that apart from a handler
// result of 0.
LRESULT SendMessageWithAtoms(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                             unsigned atomParams, DWORD timeoutMs = kSendMessageTimeoutMs,
                             bool* answered = nullptr);

// The folder that holds the endpoints (from the environment at the time of the call).
std::string MessageRuntimeDir();

// Why the folder of MessageRuntimeDir() cannot hold endpoints (creating it with mode 0700 when
// it is missing); empty when it can. It must be a real folder, not a link, owned by this user,
// with mode 0700; otherwise no endpoint is created there and no window is found in it.
std::string MessageRuntimeDirProblem();

// The receiving side of one window class. Delivers every message to a handler, either on a
// thread of its own or on the caller's thread through a pollable descriptor (for a GUI event
// loop). Nothing here throws; a handler must not throw either (an exception counts as result 0).
class MessageEndpoint {
 public:
  // Called for posted and sent messages; the result goes back to SendMessage. Atom parameters
  // are this process's atoms, deleted again when the handler returns: copy the text, or add a
  // reference of one's own, to keep it.
  using Handler = std::function<LRESULT(UINT message, WPARAM wParam, LPARAM lParam)>;
  // Called for BringWindowToTop.
  using RaiseHandler = std::function<void()>;

  enum class Delivery {
    kOwnThread,  // a thread of the endpoint calls the handlers
    kPolled,     // the owner watches fd() and calls DispatchPending()
  };

  MessageEndpoint();
  // Closes the endpoint.
  ~MessageEndpoint();
  MessageEndpoint(const MessageEndpoint&) = delete;
  MessageEndpoint& operator=(const MessageEndpoint&) = delete;

  // Creates the endpoint of `className`. False (LastError() says why) when an endpoint of that
  // class is live, the name is empty, or the runtime folder cannot be used (see
  // MessageRuntimeDirProblem()). A socket file left
  // behind by a program that died is replaced.
  [[nodiscard]] bool Open(std::string_view className, Handler handler,
                          Delivery delivery = Delivery::kOwnThread, RaiseHandler raise = {});

  // Removes the endpoint; with kOwnThread waits for a running handler to return first. Must not
  // be called from inside a handler. Safe to call when not open.
  void Close();

  bool IsOpen() const;
  // Why the last Open() failed.
  std::string LastError() const;

  // kPolled: a descriptor that is readable while messages wait; -1 otherwise.
  int fd() const;
  // kPolled: handles every message waiting now, without blocking. True when at least one was
  // handled; always false with kOwnThread.
  bool DispatchPending();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform

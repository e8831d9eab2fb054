// Deadline-bound waits and connects on TCP sockets, shared by the drivers that talk TCP.
//
//   platform::UniqueFd fd = platform::ConnectTcp(addresses.get(), deadline);
//   if (fd && platform::WaitFor(fd.get(), POLLIN, deadline)) { ... recv ... }
#pragma once

#include <netdb.h>

#include <chrono>
#include <memory>

#include "platform/unique_fd.h"

namespace platform {

using SteadyTime = std::chrono::steady_clock::time_point;

// Owns an addrinfo list from getaddrinfo.
struct AddrInfoDeleter {
  void operator()(addrinfo* list) const {
    if (list != nullptr)
      freeaddrinfo(list);
  }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// Milliseconds until `deadline` for poll(), rounded up so a wait never ends early; 0 once passed.
int PollMs(SteadyTime deadline);

// Waits for `events` on `fd` until `deadline`. False on time-out or a poll error; hang-ups and
// errors come back as ready, so the next send or recv reports them.
bool WaitFor(int fd, short events, SteadyTime deadline);

// A connected, non-blocking socket with TCP_NODELAY to the first of `addresses` that accepts
// before `deadline`; an invalid descriptor when none does.
UniqueFd ConnectTcp(const addrinfo* addresses, SteadyTime deadline);

}  // namespace platform

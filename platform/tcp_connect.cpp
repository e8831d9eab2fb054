#include "platform/tcp_connect.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace platform {

int PollMs(SteadyTime deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
          .count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, 0x7FFFFFFF));
}

bool WaitFor(int fd, short events, SteadyTime deadline) {
  for (;;) {
    pollfd p = {fd, events, 0};
    const int r = ::poll(&p, 1, PollMs(deadline));
    if (r > 0)
      return true;
    if (r == 0 || errno != EINTR)
      return false;
  }
}

UniqueFd ConnectTcp(const addrinfo* addresses, SteadyTime deadline) {
  for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
    if (std::chrono::steady_clock::now() >= deadline)
      break;
    UniqueFd fd(
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd)
      continue;
    int r = ::connect(fd.get(), a->ai_addr, a->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      if (!WaitFor(fd.get(), POLLOUT, deadline))
        continue;  // the deadline passed; the loop ends
      int error = 0;
      socklen_t size = sizeof error;
      r = (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) ? 0 : -1;
    }
    if (r != 0)
      continue;
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
  }
  return UniqueFd();
}

}  // namespace platform

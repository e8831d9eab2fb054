// ppisim: a PLC that speaks PPI on a pseudo-terminal.
//
// Prints "PTY <slave path>" as its first line on standard output, then serves until SIGTERM or
// SIGINT, a "quit" command, or end of standard input (unless --no-control). Standard input carries
// control commands, one per line, each answered by one line on standard output; see
// docs/ppisim.md.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tools/ppisim/ppi_simulator.h"
#include "tools/ppisim/sim_control.h"

namespace {

constexpr char kUsage[] =
    "usage: ppisim [options]\n"
    "  --station N        serve station N (1..126); repeat for several (default 2)\n"
    "  --baud N           emulate a line of N baud, 11 bits per character (default: off)\n"
    "  --turnaround MS    pause before each answer (default 2)\n"
    "  --memory FILE      initial memory, lines '[@N] ADDRESS TYPE VALUE'\n"
    "  --ramp RAMP        LOCATION:TYPE:FROM:TO:STEP, STEP per second, wrapping\n"
    "  --sine SINE        LOCATION:TYPE:AMPLITUDE:OFFSET:PERIOD_S\n"
    "  --fault FAULT      KIND[:COUNT|always[:ARG...]], e.g. split:always:5:40\n"
    "  --link PATH        symbolic link to the slave side, removed at exit\n"
    "  --log FILE         frame log to FILE instead of standard error\n"
    "  --quiet            no frame log\n"
    "  --no-control       ignore standard input; run until SIGTERM or SIGINT\n"
    "  --db N[:SIZE]      add data block N (2..65535) of SIZE bytes (default 1024)\n"
    "  --tcp PORT         also serve ISO-on-TCP on 127.0.0.1:PORT (0: any free port)\n"
    "  --pdu N            largest PDU agreed on the TCP side, 240..960 (default 240)\n"
    "  --rack-slot R,S    TSAP accepted on the TCP side; repeat (default 0,0 0,1 0,2)\n"
    "  --tcp-fault FAULT  KIND[:COUNT|always[:ARG]], e.g. delay:always:500\n";

int Fail(const std::string& message, int code = 1) {
  std::fprintf(stderr, "ppisim: %s\n", message.c_str());
  return code;
}

bool ParseInt(const char* text, int low, int high, int* value) {
  int64_t number = 0;
  if (!ppisim::ParseInteger(text, &number) || number < low || number > high)
    return false;
  *value = static_cast<int>(number);
  return true;
}

// Removes the link only if it still points at our slave, so a link that another instance has
// taken over in the meantime survives.
void RemoveLink(const std::string& link, const std::string& target) {
  std::error_code ec;
  if (std::filesystem::is_symlink(link, ec) &&
      std::filesystem::read_symlink(link, ec).string() == target) {
    std::filesystem::remove(link, ec);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ppisim::Options options;
  options.stations.clear();
  std::vector<std::string> memoryFiles;
  std::vector<ppisim::Generator> generators;
  ppisim::Fault fault;
  std::string linkPath;
  std::string logPath;
  bool quiet = false;
  bool control = true;
  bool rackSlotsGiven = false;
  ppisim::TcpFault tcpFault;

  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    auto value = [&](const char** out) {
      if (k + 1 >= argc)
        return false;
      *out = argv[++k];
      return true;
    };
    const char* text = nullptr;
    std::string error;
    int number = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--no-control") {
      control = false;
    } else if (!value(&text)) {
      return Fail(arg == "" || arg[0] != '-' ? "unexpected argument '" + arg + "'\n" + kUsage
                                             : arg + " needs a value, or is unknown\n" + kUsage,
                  2);
    } else if (arg == "--station") {
      if (!ParseInt(text, 1, 126, &number))
        return Fail("--station must be 1..126", 2);
      options.stations.push_back(static_cast<uint8_t>(number));
    } else if (arg == "--baud") {
      if (!ParseInt(text, 0, 10000000, &options.baud))
        return Fail("bad --baud", 2);
    } else if (arg == "--turnaround") {
      if (!ParseInt(text, 0, 60000, &options.turnaroundMs))
        return Fail("bad --turnaround", 2);
    } else if (arg == "--memory") {
      memoryFiles.push_back(text);
    } else if (arg == "--ramp" || arg == "--sine") {
      ppisim::Generator generator;
      const auto kind =
          arg == "--ramp" ? ppisim::Generator::Kind::kRamp : ppisim::Generator::Kind::kSine;
      if (!ppisim::ParseGenerator(kind, text, &generator, &error)) {
        return Fail(arg + " " + text + ": " + error, 2);
      }
      generators.push_back(generator);
    } else if (arg == "--fault") {
      std::string words = text;
      for (char& c : words)
        c = c == ':' ? ' ' : c;
      if (!ppisim::ParseFault(words, &fault, &error))
        return Fail("--fault: " + error, 2);
    } else if (arg == "--db") {
      std::string_view given = text;
      const size_t colon = given.find(':');
      int db = 0, size = static_cast<int>(ppisim::kDefaultDbSize);
      if (!ParseInt(std::string(given.substr(0, colon)).c_str(), 2, 65535, &db) ||
          (colon != std::string_view::npos &&
           !ParseInt(std::string(given.substr(colon + 1)).c_str(), 1, 65536, &size)))
        return Fail("--db takes N[:SIZE], N 2..65535, SIZE 1..65536", 2);
      options.dataBlocks.emplace_back(static_cast<uint16_t>(db), static_cast<size_t>(size));
    } else if (arg == "--tcp") {
      if (!ParseInt(text, 0, 65535, &options.tcp.port))
        return Fail("--tcp must be 0..65535", 2);
    } else if (arg == "--pdu") {
      if (!ParseInt(text, 240, 960, &number))
        return Fail("--pdu must be 240..960", 2);
      options.tcp.pduSize = static_cast<uint16_t>(number);
    } else if (arg == "--rack-slot") {
      std::string_view given = text;
      const size_t comma = given.find(',');
      int rack = 0, slot = 0;
      if (comma == std::string_view::npos ||
          !ParseInt(std::string(given.substr(0, comma)).c_str(), 0, 7, &rack) ||
          !ParseInt(std::string(given.substr(comma + 1)).c_str(), 0, 31, &slot))
        return Fail("--rack-slot takes R,S with R 0..7 and S 0..31", 2);
      if (!rackSlotsGiven)
        options.tcp.rackSlots.clear();
      rackSlotsGiven = true;
      options.tcp.rackSlots.push_back(static_cast<uint8_t>(rack * 32 + slot));
    } else if (arg == "--tcp-fault") {
      std::string words = text;
      for (char& c : words)
        c = c == ':' ? ' ' : c;
      if (!ppisim::ParseTcpFault(words, &tcpFault, &error))
        return Fail("--tcp-fault: " + error, 2);
    } else if (arg == "--link") {
      linkPath = text;
    } else if (arg == "--log") {
      logPath = text;
    } else {
      return Fail("unknown option " + arg + "\n" + kUsage, 2);
    }
  }
  if (options.stations.empty())
    options.stations.push_back(2);

  FILE* logFile = nullptr;
  if (!logPath.empty()) {
    logFile = std::fopen(logPath.c_str(), "w");
    if (logFile == nullptr)
      return Fail(logPath + ": " + std::strerror(errno));
  }
  options.logStream = quiet ? nullptr : (logFile != nullptr ? logFile : stderr);

  // Signals are taken through a descriptor in the main loop; blocked before the serving thread
  // starts so that it inherits the mask and never runs a handler.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed stdout must not kill us before cleanup
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0)
    return Fail(std::string("signalfd: ") + std::strerror(errno));

  int status = 0;
  {
    ppisim::PpiSimulator sim(options);
    for (const std::string& file : memoryFiles) {
      std::string error;
      if (!ppisim::LoadMemoryFile(sim, file, &error))
        return Fail(error, 2);
    }
    for (const auto& generator : generators)
      sim.AddGenerator(generator);
    sim.SetFault(fault);
    if (!sim.Start())
      return Fail(sim.LastError());
    const std::string slave = sim.SlavePath();

    if (!linkPath.empty()) {
      std::error_code ec;
      if (std::filesystem::is_symlink(linkPath, ec)) {
        std::filesystem::remove(linkPath, ec);  // left behind by an earlier run
      } else if (std::filesystem::exists(linkPath, ec)) {
        return Fail(linkPath + " exists and is not a symbolic link");
      }
      if (symlink(slave.c_str(), linkPath.c_str()) != 0) {
        return Fail("--link " + linkPath + ": " + std::strerror(errno));
      }
    }
    std::printf("PTY %s\n", slave.c_str());
    if (options.tcp.port >= 0) {
      sim.SetTcpFault(tcpFault);
      std::printf("TCP %u\n", unsigned{sim.TcpPort()});
    }
    std::fflush(stdout);

    std::string input;
    bool quit = false;
    bool stdinOpen = control;
    while (!quit) {
      pollfd fds[2] = {{signalFd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR)
          continue;
        status = Fail(std::string("poll: ") + std::strerror(errno));
        break;
      }
      if (fds[0].revents & POLLIN) {
        signalfd_siginfo info;
        if (read(signalFd, &info, sizeof info) > 0) {
          sim.LogNote(info.ssi_signo == SIGINT ? "SIGINT; exiting" : "SIGTERM; exiting");
        }
        break;
      }
      if (fds[1].revents == 0)
        continue;
      char buffer[4096];
      const ssize_t n = read(0, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        input += '\n';  // a last line without its newline still counts
        quit = true;
      } else {
        input.append(buffer, static_cast<size_t>(n));
      }
      size_t end;
      while ((end = input.find('\n')) != std::string::npos) {
        const std::string line = input.substr(0, end);
        input.erase(0, end + 1);
        bool askedToQuit = false;
        const std::string response = ppisim::RunCommand(sim, line, &askedToQuit);
        if (!response.empty()) {
          sim.LogNote("command: " + line + " -> " + response);
          std::printf("%s\n", response.c_str());
          std::fflush(stdout);
        }
        if (askedToQuit) {
          quit = true;
          break;
        }
      }
      if (n <= 0)
        sim.LogNote("end of standard input; exiting");
    }
    if (!linkPath.empty())
      RemoveLink(linkPath, slave);
    sim.Stop();
  }
  close(signalFd);
  if (logFile != nullptr)
    std::fclose(logFile);
  return status;
}

// Running the build's own programs from tests: a program with the current environment, and the
// regsvr program registering a module of the build into the current TALVEK_CONFIG_DIR, exactly as
// an installer does.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/testing/test_support.h"

extern char** environ;

namespace testing_support {

// Exit code and output of a program run by RunProgram.
struct RunResult {
  int exitCode = -1;   // -1 when the program could not be started or did not exit normally
  std::string output;  // standard output and standard error together
};

// Runs a program (argv[0] is its path) with the current environment and waits for it.
inline RunResult RunProgram(const std::vector<std::string>& args) {
  RunResult result;
  int fds[2];
  if (args.empty() || pipe2(fds, O_CLOEXEC) != 0)
    return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return result;
  }
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
    result.output.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  return result;
}

// The regsvr program of this build.
inline std::string RegsvrPath() {
  return (BinDir() / "regsvr").string();
}

// The full path of a module of this build (e.g. "libOstrel.so"), as the loader records it.
inline std::string BuiltModulePath(const char* file) {
  return std::filesystem::canonical(BinDir() / file).string();
}

// Registers a module of this build with the real regsvr program.
inline RunResult RegisterBuiltModule(const char* file) {
  return RunProgram({RegsvrPath(), BuiltModulePath(file)});
}

}  // namespace testing_support

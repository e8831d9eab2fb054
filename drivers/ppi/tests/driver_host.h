// Helpers for tests that meet the PPI driver module as the host does: running the real regsvr
// program and locating the built module.
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

namespace ppi_test {

// Exit code and output of a program run by RunProgram.
struct RunResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error together
};

// Runs a program with the current environment and waits for it.
inline RunResult RunProgram(const std::vector<std::string>& args) {
  RunResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
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
inline std::string Regsvr() {
  return (testing_support::BinDir() / "regsvr").string();
}

// The full path of the built module, as the loader will record it.
inline std::string OstrelPath() {
  return std::filesystem::canonical(testing_support::BinDir() / "libOstrel.so").string();
}

}  // namespace ppi_test

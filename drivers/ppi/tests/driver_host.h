// Helpers for tests that meet the PPI driver module as the host does: running the real regsvr
// program and locating the built module.
#pragma once

#include <string>

#include "common/testing/run_program.h"

namespace ppi_test {

using testing_support::RunProgram;
using testing_support::RunResult;

// The regsvr program of this build.
inline std::string Regsvr() {
  return testing_support::RegsvrPath();
}

// The full path of the built module, as the loader will record it.
inline std::string OstrelPath() {
  return testing_support::BuiltModulePath("libOstrel.so");
}

}  // namespace ppi_test

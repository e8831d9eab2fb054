// FUZZ_CHECK(condition): the property check of the libFuzzer targets. A property that does not
// hold prints what failed and aborts, so libFuzzer reports it like a crash and keeps the input.
//
//   FUZZ_CHECK(length <= bytes.size());
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/driver_contract.h"

namespace fuzz_check {

// A LastError value no address rule sets: a parse that leaves it alone set no error.
inline constexpr int32_t kUnsetError = 777;

// The driver's input for one register text. A text of 128 bytes or more fills the array without
// a NUL, as a careless caller could hand it over.
inline TagAddressInput MakeAddressInput(std::string_view text, uint16_t type, int16_t extra,
                                        std::string_view model = {}) {
  TagAddressInput in{};
  // copy_n, not memcpy: an empty view may hold a null pointer.
  std::copy_n(text.data(), std::min(text.size(), sizeof in.address), in.address);
  std::copy_n(model.data(), std::min(model.size(), sizeof in.model), in.model);
  in.dataType = static_cast<int16_t>(type);
  in.extra = extra;
  return in;
}

// What one ConvertUserConfigToVar call answered.
struct ParsedAddress {
  uint16_t result = 1;
  int32_t lastError = kUnsetError;
  DriverItem item{};
};

// Runs a driver's `convert(const TagAddressInput*, DriverItem*, int32_t& lastError)` on a zeroed
// item.
template <typename Convert>
ParsedAddress ParseAddress(Convert convert, const TagAddressInput& in) {
  ParsedAddress p;
  std::memset(&p.item, 0, sizeof p.item);
  p.result = convert(&in, &p.item, p.lastError);
  return p;
}

}  // namespace fuzz_check

// Interfaces of the test server libComTestModule.so, shared by the module and its tests the way
// the host and a driver share the driver contract.
#pragma once

#include <cstdint>

#include "platform/com.h"

// {5B0E6C71-3A2D-4F8E-9C41-7D2A61B3E0F5}
inline constexpr CLSID CLSID_TalvekComTest = {
    0x5B0E6C71, 0x3A2D, 0x4F8E, {0x9C, 0x41, 0x7D, 0x2A, 0x61, 0xB3, 0xE0, 0xF5}};
inline constexpr char kTalvekComTestProgId[] = "Talvek.ComTest";

// {C3A9E2D4-58B1-4C07-A6F3-0E91D4B27A18}
inline constexpr IID IID_ITestCalc = {
    0xC3A9E2D4, 0x58B1, 0x4C07, {0xA6, 0xF3, 0x0E, 0x91, 0xD4, 0xB2, 0x7A, 0x18}};
// {7E4F1B92-0C6D-4A35-B8E0-52D7C91F3A64}
inline constexpr IID IID_ITestMemory = {
    0x7E4F1B92, 0x0C6D, 0x4A35, {0xB8, 0xE0, 0x52, 0xD7, 0xC9, 0x1F, 0x3A, 0x64}};

// Adds two numbers and remembers the result.
class ITestCalc : public IUnknown {
 public:
  virtual int32_t Add(int32_t a, int32_t b) = 0;  // slot 3

 protected:
  ~ITestCalc() = default;
};

// The second face of the same object: what the last Add returned (0 before any).
class ITestMemory : public IUnknown {
 public:
  virtual int32_t LastResult() = 0;  // slot 3

 protected:
  ~ITestMemory() = default;
};

// Test-only export: the number of objects alive in the module.
using ComTestLiveObjectsFn = long (*)();

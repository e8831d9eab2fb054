// The answers of the tag editor's test driver (libTagEditorTestDriver.so) and what it saw.
//
// The module serves one class, kTagEditorTestDriverClsid, implementing IProtocolDriver. Its
// register list is `registers` (GBK names, at most 8 bytes each, in order); ConvertUserConfigToVar
// answers `convertResult` and GetLastErrorText `errorText` (or null). Tests reach the control
// block through the exported function below, after loading the module as COM does (same path,
// same handle).
#pragma once

#include <string>
#include <vector>

#include "common/driver_contract.h"

// {5E2B7C41-8A3D-4F19-B6E2-7D40C9A1F3B8}
inline constexpr CLSID kTagEditorTestDriverClsid = {
    0x5E2B7C41, 0x8A3D, 0x4F19, {0xB6, 0xE2, 0x7D, 0x40, 0xC9, 0xA1, 0xF3, 0xB8}};
inline constexpr const char* kTagEditorTestDriverProgId = "TagEditorTestDriver.Driver";

struct TagEditorDriverControl {
  // Answers.
  HRESULT createResult = S_OK;  // what creating a driver object answers
  BOOL registersResult = 1;
  bool nullTable = false;  // GetRegisters answers registersResult with a null table
  std::vector<std::string> registers{"V", "I", "Q", "M"};
  uint16_t convertResult = 0;
  std::string errorText;  // GBK
  bool errorTextNull = false;

  // What happened.
  int objects = 0;  // live driver objects
  int created = 0;
  int peakObjects = 0;
  int registersCalls = 0;
  int convertCalls = 0;
  std::string lastModel;  // as GetRegisters received it
  TagAddressInput lastInput{};
  bool lastOutputZeroed = false;  // the DriverItem arrived all zero
};

// Sets every answer back to its default and every record to empty (live objects stay counted).
inline void ResetControl(TagEditorDriverControl& c) {
  const int objects = c.objects;
  c = TagEditorDriverControl{};
  c.objects = objects;
  c.peakObjects = objects;
}

// Exported by the module.
using TagEditorDriverControlFn = TagEditorDriverControl* (*)();
inline constexpr const char* kTagEditorDriverControlSymbol = "TagEditorTestDriverControl";

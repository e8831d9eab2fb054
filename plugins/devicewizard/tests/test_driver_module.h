// The control block of the wizard's test driver (libWizardTestDriver.so), a protocol driver that
// tests steer: it accepts or refuses station addresses on demand, normalises the texts it
// accepts (blanks and leading zeros removed: " 02" -> "2") and counts its objects.
//
//   auto* control = reinterpret_cast<WizardTestDriverControlFn>(
//       dlsym(module, "WizardTestDriverControlBlock"))();
//   control->refuseAddresses = 1;  // every ParseStationAddress now answers 0
#pragma once

#include "platform/win_types.h"

// {5B0F7E21-3C4D-4E8A-9A61-2D7C0B9E4F13}
inline constexpr CLSID CLSID_WizardTestDriver = {
    0x5B0F7E21, 0x3C4D, 0x4E8A, {0x9A, 0x61, 0x2D, 0x7C, 0x0B, 0x9E, 0x4F, 0x13}};
inline constexpr char kWizardTestDriverProgId[] = "OndrelTest.Driver";

// What the tests set and read. Plain C, shared with the module through one exported function.
struct WizardTestDriverControl {
  int refuseAddresses;  // 1: ParseStationAddress refuses every text
  int liveObjects;      // driver objects created and not yet released
  int createdObjects;   // driver objects created since the last reset
  int parseCalls;       // ParseStationAddress calls since the last reset
  char lastText[128];   // the last text handed to ParseStationAddress (cut to fit)
};

// The module's exported WizardTestDriverControlBlock: its control block (never null).
using WizardTestDriverControlFn = WizardTestDriverControl* (*)();

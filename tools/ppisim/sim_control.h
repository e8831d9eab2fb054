// The simulator's text interface: memory files, fault descriptions and the line commands the
// program reads from its standard input. Shared by the program and the tests.
//
// Memory file / `set` arguments, one value per line:   [@STATION] ADDRESS TYPE VALUE
//   V100 w 1234      V200 f 2.5      V300 s hello world      I0 b 0x0F      Q0.1 x 1
// Blank lines and lines starting with # are skipped. Without @STATION a value goes to every
// served station.
//
// Fault description:   KIND [COUNT|always] [ARGUMENT...]
//   silence | noreply | badfcs
//   wrongack [HEX...]      noise [HEX...]      itemerror [CODE]
//   split [AFTER [MS]]     truncate [DROP]     busy [POLLS]
//   wrongsource | othermaster | wrongref      off
#pragma once

#include <string>
#include <string_view>

#include "tools/ppisim/ppi_simulator.h"

namespace ppisim {

// Parses a fault description; false with a reason. "off" gives kind kNone.
[[nodiscard]] bool ParseFault(std::string_view text, Fault* fault, std::string* error);

// Stores the value of one memory-file line; blank and comment lines succeed without effect.
[[nodiscard]] bool ApplyMemoryLine(PpiSimulator& sim, std::string_view line, std::string* error);

// Applies every line of a memory file; false with "FILE:LINE: reason" at the first bad line
// (earlier lines stay applied) or when the file cannot be read.
[[nodiscard]] bool LoadMemoryFile(PpiSimulator& sim, const std::string& path, std::string* error);

// Runs one command line and returns its one-line response: "OK", "OK <value>" or
// "ERR <reason>"; an empty response for blank and comment lines. Sets *quit for "quit".
std::string RunCommand(PpiSimulator& sim, std::string_view line, bool* quit);

}  // namespace ppisim

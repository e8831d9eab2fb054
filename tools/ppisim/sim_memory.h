// The simulated PLC's memory (areas V, I, Q, M), typed values in the text form used by the memory
// file and the control commands, and the generators that move values for demonstrations.
//
// Everything here is plain data and arithmetic: no locking, no OS calls. Multi-byte values are
// stored big-endian, as the PLC holds them and as they travel on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ppisim {

// A memory area, by its S7 area code: sequence relays S, special memory SM, analog inputs AI
// (words AIW) and outputs AQ (words AQW), inputs I, outputs Q, flags M, V memory.
enum class Area : uint8_t {
  kS = 0x04,
  kSM = 0x05,
  kAI = 0x06,
  kAQ = 0x07,
  kI = 0x81,
  kQ = 0x82,
  kM = 0x83,
  kV = 0x84
};

inline constexpr size_t kVSize = 65536;
inline constexpr size_t kIqmSize = 10000;
inline constexpr size_t kSmSize = 550;     // SMB0..SMB549
inline constexpr size_t kSSize = 32;       // S0.0..S31.7
inline constexpr size_t kAnalogSize = 64;  // AIW0..AIW62, AQW0..AQW62
// SMB0..SMB29 are the PLC's own status: read-only for a master.
inline constexpr uint32_t kFirstWritableSm = 30;
// Number of areas, for per-area counters.
inline constexpr size_t kAreaCount = 8;

// The area of an area code; false for codes this PLC does not have.
[[nodiscard]] bool AreaFromCode(uint8_t code, Area* area);
// Size of the area in bytes.
size_t AreaSize(Area area);
// 0..7 for V, I, Q, M, SM, S, AI, AQ (the order of the per-area counters).
int AreaIndex(Area area);
// The area's name in address texts: "V", "I", "Q", "M", "SM", "S", "AIW", "AQW".
const char* AreaName(Area area);
// True for the areas that hold words at even addresses only (AI, AQ).
bool IsWordArea(Area area);

// Highest data block number, and the size a data block gets when none is given.
inline constexpr uint32_t kMaxDb = 65535;
inline constexpr size_t kDefaultDbSize = 1024;

// One PLC's memory image. Not locked: the owner serialises access.
//
// Data blocks: V memory is data block 1 (area code 0x84, DB 1). Further blocks (DB 2..65535) exist
// only once added; every access names its block in `db`, which counts only for area V (0 and 1
// both mean V memory itself).
class Memory {
 public:
  Memory();

  // Adds data block `db` (2..65535) of `size` bytes (1..65536), zeroed; an existing block keeps
  // its contents and takes the new size. False for a number or size outside those ranges.
  [[nodiscard]] bool AddDb(uint32_t db, size_t size);
  // True when the area (and for V, the data block) exists.
  bool Has(Area area, uint16_t db = 0) const;
  // Size in bytes of the area or data block; 0 when it does not exist.
  size_t Size(Area area, uint16_t db = 0) const;
  // The added data blocks and their sizes, in number order.
  std::vector<std::pair<uint16_t, size_t>> DataBlocks() const;

  // Copies out.size() bytes from `address`; false, copying nothing, when the range leaves the area.
  [[nodiscard]] bool Read(Area area, uint32_t address, std::span<uint8_t> out,
                          uint16_t db = 0) const;
  // Stores `data` at `address`; false, storing nothing, when the range leaves the area.
  [[nodiscard]] bool Write(Area area, uint32_t address, std::span<const uint8_t> data,
                           uint16_t db = 0);
  // Reads the bit at bit address byte × 8 + bit; false when the byte is outside the area.
  [[nodiscard]] bool ReadBit(Area area, uint32_t bitAddress, bool* value, uint16_t db = 0) const;
  // Sets or clears the bit at bit address byte × 8 + bit; false when outside the area.
  [[nodiscard]] bool WriteBit(Area area, uint32_t bitAddress, bool value, uint16_t db = 0);

 private:
  // The bytes of the area or data block; null for a data block that was never added.
  std::vector<uint8_t>* Bytes(Area area, uint16_t db);
  const std::vector<uint8_t>* Bytes(Area area, uint16_t db) const;

  std::vector<uint8_t> v_, i_, q_, m_, sm_, s_, ai_, aq_;
  std::map<uint16_t, std::vector<uint8_t>> dbs_;
};

// Parses a decimal or 0x-prefixed hexadecimal integer with an optional sign (a leading 0 does
// not mean octal); false for anything else or magnitudes beyond 2^62.
[[nodiscard]] bool ParseInteger(std::string_view text, int64_t* value);

// The value types of the text form: x bit, b byte, w 16-bit word, i 16-bit signed, d 32-bit
// signed, f 32-bit float, s string.
enum class ValueType { kBit, kByte, kWord, kInt, kDword, kFloat, kString };

// The type named by one letter; false for anything else.
[[nodiscard]] bool ParseValueType(std::string_view text, ValueType* type);
// The letter of a type.
char ValueTypeLetter(ValueType type);

// A place in memory written as an address text: "V100", "I0", "Q0.1", "m12.7", "SM0.5", "S3",
// "AIW2", or in a data block "DB5.DBB10", "DB5.DBW10", "DB5.DBD10", "DB5.DBX10.3" (the width
// letter after DB is a reading aid; the type of the value says how many bytes count).
struct Location {
  Area area = Area::kV;
  uint32_t byte = 0;
  int bit = -1;     // -1 when the text names a byte
  uint16_t db = 0;  // data block (area V only); 0 for V memory itself
};

// Parses an address text; false when the area letter, the number or the bit (0..7) is invalid or
// the byte lies outside the area.
[[nodiscard]] bool ParseLocation(std::string_view text, Location* location);
// The address text of a location ("V100", "Q0.1").
std::string FormatLocation(const Location& location);

// Stores a value given as text ("42", "0x2A", "-3", "2.5", "hello"): numbers big-endian in their
// width, a bit (which needs a location with a bit) as 0 or 1, a string as its characters followed
// by one NUL byte. False with a reason when the text does not fit the type or the place.
[[nodiscard]] bool StoreValue(Memory& memory, const Location& location, ValueType type,
                              std::string_view text, std::string* error);
// Reads a value as text: numbers in decimal (w unsigned, i and d signed), a float with up to 9
// significant digits, a string up to its first NUL within `stringLength` bytes (0 = up to 254).
[[nodiscard]] bool LoadValue(const Memory& memory, const Location& location, ValueType type,
                             size_t stringLength, std::string* text, std::string* error);
// Stores a number in a numeric or bit type, rounded and wrapped to the type's width (bit: 1 when
// at least 0.5). False for strings and places outside the area.
[[nodiscard]] bool StoreNumber(Memory& memory, const Location& location, ValueType type,
                               double value);

// A value that moves with time. A ramp counts from `a` to `b` in steps of `c` per second and
// starts again at `a` after `b`; a sine is `b` + `a` × sin(2π t / `c` seconds).
struct Generator {
  enum class Kind { kRamp, kSine };
  Kind kind = Kind::kRamp;
  Location location;
  ValueType type = ValueType::kWord;
  double a = 0, b = 0, c = 1;
};

// Parses "LOCATION:TYPE:A:B:C" ("V100:w:0:1000:1"); false with a reason for a bad field, a string
// type, a non-positive ramp step or sine period.
[[nodiscard]] bool ParseGenerator(Generator::Kind kind, std::string_view text, Generator* out,
                                  std::string* error);
// The generator's value `seconds` after the simulator started.
double GeneratorValue(const Generator& generator, double seconds);

}  // namespace ppisim

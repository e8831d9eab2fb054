// Fuzz target of the S7 Ethernet driver's untrusted input: station texts (ParseStation and
// ParseStationAddress), register texts with data blocks (ConvertUserConfigToVar), and the replies
// a PLC sends (ParseAck, SetupPduSize, ParseReadItems).
//
// Input: byte 0 chooses the mode (0..2 station, tag, reply) in bits 0..1, byte 1 the tag's type
// (bits 0..3: 1 << n) or the reply's item count (bits 0..3); the rest is the text or the reply.
//
// Properties:
//  - a station text is accepted by ParseStationAddress exactly when ParseStation accepts it and it
//    is shorter than 64 bytes; an accepted one has a port 1..65535, rack 0..7, slot 0..31, a
//    non-empty host, station number rack × 32 + slot, and "host:port,rack,slot" written back (the
//    host in brackets when it holds a colon) parses to the same station;
//  - an accepted register text gives an area of the table, the requested type, which the area
//    allows, and for a data block (the DB entry) a block 1..65535, and the same text parses to the
//    same item again; a refusal sets LastError to 12..19, or leaves it alone exactly when no area
//    name starts the text;
//  - the parts of a reply that ParseAck and ParseReadItems hand out lie inside the reply.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "drivers/s7common/s7_pdu.h"
#include "drivers/s7tcp/s7tcp_address.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

void Station(std::string_view text) {
  s7tcp::Station parsed;
  const bool accepted = s7tcp::ParseStation(text, &parsed) == 0;
  const std::string nul(text.substr(0, text.find('\0')));
  StationInfo info{};
  int32_t error = s7tcp::kErrNoError;
  const BOOL r = s7tcp::ParseStationAddress(nul.c_str(), &info, error);
  if (nul.size() == text.size())
    Check((r == 1) == (accepted && text.size() < sizeof info.addressText), "both parsers agree");
  if (r == 0)
    Check(error == s7tcp::kErrStationText, "a refused station sets 11");
  if (!accepted)
    return;
  Check(!parsed.host.empty() && parsed.port >= 1 && parsed.rack >= 0 && parsed.rack <= 7 &&
            parsed.slot >= 0 && parsed.slot <= 31,
        "station parts in range");
  if (r == 1)
    Check(info.stationNumber == parsed.rack * 32 + parsed.slot, "station number");
  const bool colon = parsed.host.find(':') != std::string::npos;
  const std::string again = (colon ? "[" + parsed.host + "]" : parsed.host) + ":" +
                            std::to_string(parsed.port) + "," + std::to_string(parsed.rack) + "," +
                            std::to_string(parsed.slot);
  s7tcp::Station second;
  Check(s7tcp::ParseStation(again, &second) == 0 && second.host == parsed.host &&
            second.port == parsed.port && second.rack == parsed.rack && second.slot == parsed.slot,
        "a station written back parses to itself");
}

void Tag(std::string_view text, uint8_t selector) {
  TagAddressInput in{};
  std::memcpy(in.address, text.data(), std::min(text.size(), sizeof in.address));
  const auto type = static_cast<uint16_t>(1u << (selector & 0x0F));
  in.dataType = static_cast<int16_t>(type);
  DriverItem item{};
  int32_t error = 777;
  if (s7tcp::ConvertUserConfigToVar(&in, &item, error) != 0) {
    Check(error == 777 || (error >= 12 && error <= 19), "a refusal's code");
    return;
  }
  Check(error == 777, "an acceptance sets no code");
  Check(item.areaIndex < s7tcp::kAreaCount && item.area == &s7tcp::AreaTable()[item.areaIndex],
        "the area is the table's");
  Check(static_cast<uint16_t>(item.dataType2) == type &&
            (item.area->typeMask & static_cast<int32_t>(type)) != 0,
        "the type is allowed");
  if (item.areaIndex == s7tcp::kAreaDb)
    Check(item.wordOrder >= 1, "a block 1..65535");
  DriverItem again{};
  int32_t error2 = 777;
  Check(s7tcp::ConvertUserConfigToVar(&in, &again, error2) == 0 &&
            std::memcmp(&again, &item, sizeof item) == 0,
        "the same text gives the same item");
}

void Reply(std::span<const uint8_t> bytes, uint8_t selector) {
  s7::AckData ack;
  if (!s7::ParseAck(bytes, &ack))
    return;
  const uint8_t* end = bytes.data() + bytes.size();
  Check(ack.parameter.data() + ack.parameter.size() <= end &&
            ack.data.data() + ack.data.size() <= end,
        "parameter and data inside the reply");
  (void)s7::SetupPduSize(ack);
  s7::DataItem items[16];
  if (!s7::ParseReadItems(ack.data, std::span<s7::DataItem>(items, selector & 0x0F)))
    return;
  for (std::size_t k = 0; k < (selector & 0x0Fu); ++k) {
    if (!items[k].bytes.empty())
      Check(items[k].bytes.data() >= ack.data.data() &&
                items[k].bytes.data() + items[k].bytes.size() <= ack.data.data() + ack.data.size(),
            "an item inside the data");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2)
    return 0;
  const std::span<const uint8_t> rest(data + 2, size - 2);
  const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
  switch (data[0] & 3) {
    case 0:
      Station(text);
      break;
    case 1:
      Tag(text, data[1]);
      break;
    default:
      Reply(rest, data[1]);
      break;
  }
  return 0;
}

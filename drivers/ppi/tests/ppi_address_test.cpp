#include "drivers/ppi/ppi_address.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int32_t kUnset = -1;

// ---------------------------------------------------------------------------------------------
// Area table

TEST(PpiAreaTable, EntriesInOrderAtAStableAddress) {
  const AddressArea* table = ppi::AreaTable();
  ASSERT_EQ(table, ppi::AreaTable());
  struct Row {
    const char* name;
    int32_t min, max, mask;
  };
  // Every width entry ahead of the plain entry whose name starts its own.
  const Row rows[] = {
      {"VB", 0, 65535, 2}, {"VW", 0, 65534, 12}, {"VD", 0, 65532, 160}, {"V", 0, 65535, 0x1AF},
      {"IB", 0, 9999, 2},  {"IW", 0, 9998, 12},  {"ID", 0, 9996, 160},  {"I", 0, 9999, 3},
      {"QB", 0, 9999, 2},  {"QW", 0, 9998, 12},  {"QD", 0, 9996, 160},  {"Q", 0, 9999, 3},
      {"MB", 0, 9999, 2},  {"MW", 0, 9998, 12},  {"MD", 0, 9996, 160},  {"M", 0, 9999, 3},
      {"SMB", 0, 549, 2},  {"SMW", 0, 548, 12},  {"SMD", 0, 546, 160},  {"SM", 0, 549, 3},
      {"SB", 0, 31, 2},    {"SW", 0, 30, 12},    {"SD", 0, 28, 160},    {"S", 0, 31, 3},
      {"AIW", 0, 62, 12},  {"AQW", 0, 62, 12},   {"DELAY", 0, 1, 8},
  };
  ASSERT_EQ(std::size(rows), static_cast<std::size_t>(ppi::kAreaCount));
  for (int i = 0; i < ppi::kAreaCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::string(table[i].name, strnlen(table[i].name, 8)), rows[i].name);
    EXPECT_EQ(table[i].minAddress, rows[i].min);
    EXPECT_EQ(table[i].maxAddress, rows[i].max);
    EXPECT_EQ(table[i].typeMask, rows[i].mask);
    EXPECT_EQ(table[i].reserved, 0);
    for (std::size_t k = std::strlen(rows[i].name); k < 8; ++k)
      EXPECT_EQ(table[i].name[k], 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Station addresses

StationInfo Prefilled() {
  StationInfo info;
  info.stationNumber = -7;
  std::memset(info.addressText, 'x', sizeof info.addressText);
  return info;
}

TEST(PpiStationAddress, DigitsGiveTheNumberAndCopyAtMostTenBytes) {
  int32_t lastError = kUnset;
  // Exactly as long as the text: a read past its NUL would be caught by the address sanitizer.
  auto text = std::make_unique<char[]>(2);
  text[0] = '2';
  StationInfo info = Prefilled();
  ASSERT_EQ(ppi::ParseStationAddress(text.get(), &info, lastError), 1);
  EXPECT_EQ(info.stationNumber, 2);
  EXPECT_EQ(info.addressText[0], '2');
  EXPECT_EQ(info.addressText[1], '\0');
  for (int i = 2; i < 64; ++i)
    EXPECT_EQ(info.addressText[i], 'x') << i;  // kept as it was
  EXPECT_EQ(lastError, kUnset);

  info = Prefilled();
  ASSERT_EQ(ppi::ParseStationAddress("000000000126", &info, lastError), 1);
  EXPECT_EQ(info.stationNumber, 126);
  EXPECT_EQ(std::string(info.addressText, 10), "0000000001");
  EXPECT_EQ(info.addressText[10], 'x');

  info = Prefilled();
  ASSERT_EQ(ppi::ParseStationAddress("", &info, lastError), 1);
  EXPECT_EQ(info.stationNumber, 0);
  EXPECT_EQ(info.addressText[0], '\0');
  EXPECT_EQ(info.addressText[1], 'x');

  // Far beyond 32 bits: clamped, not wrapped into a small station number.
  info = Prefilled();
  ASSERT_EQ(ppi::ParseStationAddress("99999999999999999999999", &info, lastError), 1);
  EXPECT_EQ(info.stationNumber, INT32_MAX);
  EXPECT_EQ(lastError, kUnset);
}

TEST(PpiStationAddress, NonDigitsAreRefusedWithCode11) {
  for (const char* text : {"2a", " 2", "-2", "2 ", "+2"}) {
    int32_t lastError = kUnset;
    StationInfo info = Prefilled();
    EXPECT_EQ(ppi::ParseStationAddress(text, &info, lastError), 0) << text;
    EXPECT_EQ(lastError, ppi::kErrStationNotDigits) << text;
    EXPECT_EQ(info.stationNumber, -7) << text;
    EXPECT_EQ(info.addressText[0], 'x') << text;
  }
  int32_t lastError = kUnset;
  StationInfo info{};
  EXPECT_EQ(ppi::ParseStationAddress(nullptr, &info, lastError), 0);
  EXPECT_EQ(ppi::ParseStationAddress("2", nullptr, lastError), 0);
  EXPECT_EQ(lastError, kUnset);
}

// ---------------------------------------------------------------------------------------------
// Tag addresses

struct Converted {
  uint16_t result;
  int32_t lastError;
  DriverItem item;
};

// Converts `text` as a tag of `type`; untouched fields of the item hold 0x5A5A.
Converted Convert(const std::string& text, uint16_t type, int32_t lastError = kUnset) {
  TagAddressInput in{};
  std::memcpy(in.address, text.data(), std::min(text.size(), sizeof in.address));
  in.dataType = static_cast<int16_t>(type);
  in.extra = 0x1234;
  Converted c{};
  std::memset(&c.item, 0x5A, sizeof c.item);
  c.lastError = lastError;
  c.result = ppi::ConvertUserConfigToVar(&in, &c.item, c.lastError);
  return c;
}

TEST(PpiTagAddress, AcceptedFormsFillTheItem) {
  const AddressArea* table = ppi::AreaTable();
  {
    const Converted c = Convert("V100", ppi::kTypeInt16);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.item.area, &table[ppi::kAreaV]);
    EXPECT_EQ(c.item.areaIndex, ppi::kAreaV);
    EXPECT_EQ(c.item.byteAddress, 100);
    EXPECT_EQ(c.item.dataType, ppi::kTypeInt16);
    EXPECT_EQ(c.item.dataType2, ppi::kTypeInt16);
    EXPECT_EQ(c.item.extra, 0x1234);
    EXPECT_EQ(c.item.bitOrLength, 0x5A5A);  // only bits and strings set it
    EXPECT_EQ(c.lastError, kUnset);
  }
  {
    const Converted c = Convert("V65535", ppi::kTypeFloat);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(static_cast<uint16_t>(c.item.byteAddress), 65535);
  }
  {
    const Converted c = Convert("I0.3", ppi::kTypeBit);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.item.areaIndex, ppi::kAreaI);
    EXPECT_EQ(c.item.byteAddress, 0);
    EXPECT_EQ(c.item.bitOrLength, 3);
  }
  {
    const Converted c = Convert("V200.20", ppi::kTypeString);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.item.byteAddress, 200);
    EXPECT_EQ(c.item.bitOrLength, 20);
  }
  {
    const Converted c = Convert("  M9999.7  ", ppi::kTypeBit);  // blanks around
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.item.area, &table[ppi::kAreaM]);
    EXPECT_EQ(c.item.byteAddress, 9999);
    EXPECT_EQ(c.item.bitOrLength, 7);
  }
  {
    const Converted c = Convert("Q 12", ppi::kTypeByte);  // blanks between area and number
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.item.byteAddress, 12);
  }
  {
    const Converted c = Convert("V300.127", ppi::kTypeString);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.item.bitOrLength, 127);
  }
}

TEST(PpiTagAddress, DelayFormsIgnoreCaseAndBlanks) {
  const AddressArea* table = ppi::AreaTable();
  struct Case {
    const char* text;
    int address;
  };
  for (const Case& k : {Case{" delay1 ", 1}, Case{"DELAY", 0}, Case{"Delay0", 0},
                        Case{"\tdElAy1", 1}, Case{"DELAY 1", 1}}) {
    const Converted c = Convert(k.text, ppi::kTypeUint16);
    ASSERT_EQ(c.result, 0) << k.text;
    EXPECT_EQ(c.item.area, &table[ppi::kAreaDelay]) << k.text;
    EXPECT_EQ(c.item.areaIndex, ppi::kAreaDelay) << k.text;
    EXPECT_EQ(c.item.byteAddress, k.address) << k.text;
    EXPECT_EQ(c.item.extra, 0x1234) << k.text;
  }
  EXPECT_EQ(Convert("DELAY1", ppi::kTypeInt16).lastError, ppi::kErrTypeNotAllowed);
  EXPECT_EQ(Convert("delay", ppi::kTypeBit).lastError, ppi::kErrTypeNotAllowed);
  const Converted two = Convert("DELAY2", ppi::kTypeUint16);
  EXPECT_EQ(two.result, 1);
  EXPECT_EQ(two.lastError, ppi::kErrAddressOutOfRange);
}

TEST(PpiTagAddress, RefusalsAndTheirCodes) {
  struct Case {
    const char* text;
    uint16_t type;
    int32_t code;
  };
  const std::string blanks(40, ' ');
  const Case cases[] = {
      {"V65536", ppi::kTypeByte, ppi::kErrAddressOutOfRange},
      {"I10000", ppi::kTypeByte, ppi::kErrAddressOutOfRange},
      {"V-1", ppi::kTypeByte, ppi::kErrAddressOutOfRange},
      {"V99999999999999999999999", ppi::kTypeByte, ppi::kErrAddressOutOfRange},
      {"V4294967296", ppi::kTypeByte, ppi::kErrAddressOutOfRange},  // 2^32 must not wrap to 0
      {"I0.8", ppi::kTypeBit, ppi::kErrBitOrLength},
      {"I0", ppi::kTypeBit, ppi::kErrBitOrLength},
      {"I0.", ppi::kTypeBit, ppi::kErrBitOrLength},  // the bit number is missing
      {"I0.-1", ppi::kTypeBit, ppi::kErrBitOrLength},
      {"I0", ppi::kTypeInt16, ppi::kErrTypeNotAllowed},
      {"Q0", ppi::kTypeString, ppi::kErrTypeNotAllowed},
      {"V0", ppi::kTypeBcd16, ppi::kErrTypeNotAllowed},
      {"V0", ppi::kTypeBcd32, ppi::kErrTypeNotAllowed},
      {"V0", 0, ppi::kErrTypeNotAllowed},
      {"V0", ppi::kTypeBit | ppi::kTypeByte, ppi::kErrTypeNotAllowed},  // not a single flag
      {"V200", ppi::kTypeString, ppi::kErrBitOrLength},
      {"V200.128", ppi::kTypeString, ppi::kErrBitOrLength},
      {"V200.0", ppi::kTypeString, ppi::kErrBitOrLength},
      {"", ppi::kTypeByte, ppi::kErrAddressEmpty},
      {"   ", ppi::kTypeByte, ppi::kErrAddressEmpty},
      {blanks.c_str(), ppi::kTypeByte, ppi::kErrAddressEmpty},
  };
  for (const Case& k : cases) {
    const Converted c = Convert(k.text, k.type);
    EXPECT_EQ(c.result, 1) << '"' << k.text << '"';
    EXPECT_EQ(c.lastError, k.code) << '"' << k.text << '"';
  }
}

// The S7 forms name their width; a text that is not one whole address never becomes address 0
// (or any other address) by a partial reading.
TEST(PpiTagAddress, WidthFormsAndWholeAddressesOnly) {
  struct Accepted {
    const char* text;
    uint16_t type;
    int area, address, bit;  // bit -1: not set
  };
  const Accepted accepted[] = {
      {"VB5", ppi::kTypeByte, ppi::kAreaVB, 5, -1},
      {"VW100", ppi::kTypeInt16, ppi::kAreaVW, 100, -1},
      {"VD10", ppi::kTypeFloat, ppi::kAreaVD, 10, -1},
      {"VD65532", ppi::kTypeInt32, ppi::kAreaVD, 65532, -1},
      {"MB4", ppi::kTypeByte, ppi::kAreaMB, 4, -1},
      {"IW2", ppi::kTypeInt16, ppi::kAreaIW, 2, -1},
      {" VW 7 ", ppi::kTypeInt16, ppi::kAreaVW, 7, -1},
      {"V100", ppi::kTypeInt16, ppi::kAreaV, 100, -1},  // the plain forms stay as they were
      {"V10.3", ppi::kTypeBit, ppi::kAreaV, 10, 3},
      {"SM0.5", ppi::kTypeBit, ppi::kAreaSM, 0, 5},
      {"SMB28", ppi::kTypeByte, ppi::kAreaSMB, 28, -1},
      {"SM549", ppi::kTypeByte, ppi::kAreaSM, 549, -1},
      {"S3.1", ppi::kTypeBit, ppi::kAreaS, 3, 1},
      {"SD28", ppi::kTypeInt32, ppi::kAreaSD, 28, -1},
      {"AIW0", ppi::kTypeInt16, ppi::kAreaAIW, 0, -1},
      {"AQW62", ppi::kTypeUint16, ppi::kAreaAQW, 62, -1},
  };
  for (const Accepted& k : accepted) {
    SCOPED_TRACE(k.text);
    const Converted c = Convert(k.text, k.type);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.item.areaIndex, k.area);
    EXPECT_EQ(c.item.area, &ppi::AreaTable()[k.area]);
    EXPECT_EQ(static_cast<uint16_t>(c.item.byteAddress), k.address);
    EXPECT_EQ(c.item.bitOrLength, k.bit < 0 ? 0x5A5A : k.bit);
  }

  struct Refused {
    const char* text;
    uint16_t type;
    int32_t code;
  };
  const Refused refused[] = {
      {"VD10", ppi::kTypeInt16, ppi::kErrWidthMismatch},
      {"VW100", ppi::kTypeFloat, ppi::kErrWidthMismatch},
      {"MB4", ppi::kTypeInt32, ppi::kErrWidthMismatch},
      {"VB5", ppi::kTypeBit, ppi::kErrWidthMismatch},
      {"VW100", ppi::kTypeString, ppi::kErrWidthMismatch},
      {"VD65533", ppi::kTypeFloat, ppi::kErrAddressOutOfRange},  // would reach past V65535
      {"V", ppi::kTypeByte, ppi::kErrAddressForm},
      {"VX10", ppi::kTypeByte, ppi::kErrAddressForm},
      {"VW", ppi::kTypeInt16, ppi::kErrAddressForm},
      {"V100abc", ppi::kTypeByte, ppi::kErrAddressForm},
      {"V100.5", ppi::kTypeInt32, ppi::kErrAddressForm},  // a bit number on a double word
      {"VW100.1", ppi::kTypeInt16, ppi::kErrAddressForm},
      {"V1.2.3", ppi::kTypeBit, ppi::kErrAddressForm},
      {"V200.20x", ppi::kTypeString, ppi::kErrAddressForm},
      {"M 1 2", ppi::kTypeByte, ppi::kErrAddressForm},
      {"Q.3", ppi::kTypeBit, ppi::kErrAddressForm},
      {"SM550", ppi::kTypeByte, ppi::kErrAddressOutOfRange},
      {"S32.0", ppi::kTypeBit, ppi::kErrAddressOutOfRange},
      {"AIW1", ppi::kTypeInt16, ppi::kErrAddressOutOfRange},  // analog words are even
      {"AIW0", ppi::kTypeByte, ppi::kErrWidthMismatch},
      {"AIW0.1", ppi::kTypeBit, ppi::kErrWidthMismatch},
      {"SM0", ppi::kTypeInt16, ppi::kErrTypeNotAllowed},
      {"SMX0", ppi::kTypeByte, ppi::kErrAddressForm},
  };
  for (const Refused& k : refused) {
    SCOPED_TRACE(k.text);
    const Converted c = Convert(k.text, k.type);
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.lastError, k.code);
    EXPECT_EQ(c.item.byteAddress, 0x5A5A) << "a refused text fills nothing";
  }
}

TEST(PpiTagAddress, UnknownPrefixKeepsTheLastError) {
  for (const char* text : {"v100", "X1", "delay2", "1V"}) {
    const Converted c = Convert(text, ppi::kTypeByte, ppi::kErrTypeNotAllowed);
    EXPECT_EQ(c.result, 1) << text;
    EXPECT_EQ(c.lastError, ppi::kErrTypeNotAllowed) << text;
  }
  // More than 32 leading blanks: the prefix is not found either.
  const Converted c = Convert(std::string(33, ' ') + "V1", ppi::kTypeByte);
  EXPECT_EQ(c.result, 1);
  EXPECT_EQ(c.lastError, kUnset);
  EXPECT_EQ(Convert(std::string(32, ' ') + "V1", ppi::kTypeByte).result, 0);
}

TEST(PpiTagAddress, AddressArrayWithoutNulIsReadWithinItsBounds) {
  TagAddressInput in{};
  std::memset(in.address, ' ', sizeof in.address);
  std::memcpy(in.address, "V1.2", 4);  // and 124 blanks, no NUL
  in.dataType = ppi::kTypeBit;
  in.extra = 0x0707;  // right behind the array: must not be taken for address text
  DriverItem item{};
  int32_t lastError = kUnset;
  ASSERT_EQ(ppi::ConvertUserConfigToVar(&in, &item, lastError), 0);
  EXPECT_EQ(item.byteAddress, 1);
  EXPECT_EQ(item.bitOrLength, 2);

  std::memset(in.address, '9', sizeof in.address);
  in.address[0] = 'V';
  in.dataType = ppi::kTypeByte;
  EXPECT_EQ(ppi::ConvertUserConfigToVar(&in, &item, lastError), 1);
  EXPECT_EQ(lastError, ppi::kErrAddressOutOfRange);
}

// ---------------------------------------------------------------------------------------------
// Merging items into read groups

DriverItem Item(const char* text, uint16_t type, int station = 2) {
  TagAddressInput in{};
  std::strncpy(in.address, text, sizeof in.address - 1);
  in.dataType = static_cast<int16_t>(type);
  DriverItem item{};
  item.station = static_cast<int16_t>(station);
  int32_t lastError = kUnset;
  EXPECT_EQ(ppi::ConvertUserConfigToVar(&in, &item, lastError), 0) << text;
  return item;
}

// A group as the host opens it from its first item.
struct Group {
  RequestGroup g{};
  explicit Group(const DriverItem& first, int writeFlag = 0) {
    g.station = first.station;
    g.area = first.area;
    g.areaIndex = first.areaIndex;
    g.dataType = first.dataType;
    g.bitOrLength = first.bitOrLength;
    g.startAddress = g.endAddress = static_cast<uint16_t>(first.byteAddress);
    g.writeFlag = static_cast<uint16_t>(writeFlag);
    AppendGroupItem(g.items, new GroupItem{});
  }
  ~Group() { ClearGroupItems(g.items); }
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;
  // What the host does after an accepted merge.
  BOOL Merge(const DriverItem& item, int writeFlag = 0) {
    const BOOL ok = ppi::CanMergeItem(&item, writeFlag, &g);
    if (ok)
      AppendGroupItem(g.items, new GroupItem{});
    return ok;
  }
};

TEST(PpiMerge, SpanGrowsBothWaysAndCoversTheFirstItem) {
  Group group(Item("V10", ppi::kTypeByte));
  ASSERT_EQ(group.Merge(Item("V12", ppi::kTypeInt16)), 1);
  ASSERT_EQ(group.Merge(Item("V8.1", ppi::kTypeBit)), 1);
  EXPECT_EQ(group.g.startAddress, 8);
  EXPECT_EQ(group.g.endAddress, 13);

  // A single int32 first item is widened to its four bytes before anything joins.
  Group wide(Item("V100", ppi::kTypeInt32));
  ASSERT_EQ(wide.Merge(Item("V90", ppi::kTypeByte)), 1);
  EXPECT_EQ(wide.g.startAddress, 90);
  EXPECT_EQ(wide.g.endAddress, 103);

  // An item inside the span changes nothing.
  ASSERT_EQ(wide.Merge(Item("V95", ppi::kTypeUint16)), 1);
  EXPECT_EQ(wide.g.startAddress, 90);
  EXPECT_EQ(wide.g.endAddress, 103);
}

TEST(PpiMerge, ItemBelowTheStartThatReachesPastTheEndWidensTheEnd) {
  Group group(Item("V10", ppi::kTypeByte));
  ASSERT_EQ(group.Merge(Item("V9", ppi::kTypeInt32)), 1);
  EXPECT_EQ(group.g.startAddress, 9);
  EXPECT_EQ(group.g.endAddress, 12);
}

TEST(PpiMerge, SpanNeverExceeds200Bytes) {
  {
    Group group(Item("V10", ppi::kTypeByte));
    EXPECT_EQ(group.Merge(Item("V210", ppi::kTypeByte)), 0);  // span 201
    EXPECT_EQ(group.g.endAddress, 10);
    EXPECT_EQ(group.Merge(Item("V209", ppi::kTypeByte)), 1);  // span 200
    EXPECT_EQ(group.g.endAddress, 209);
  }
  {
    Group group(Item("V0", ppi::kTypeByte));
    EXPECT_EQ(group.Merge(Item("V197", ppi::kTypeInt32)), 0);  // would end at 200
    EXPECT_EQ(group.Merge(Item("V196", ppi::kTypeInt32)), 1);
    EXPECT_EQ(group.g.endAddress, 199);
    EXPECT_EQ(group.Merge(Item("V198", ppi::kTypeInt16)), 1);
    EXPECT_EQ(group.Merge(Item("V199", ppi::kTypeInt16)), 0);
  }
  {
    Group group(Item("V300", ppi::kTypeByte));
    ASSERT_EQ(group.Merge(Item("V499", ppi::kTypeByte)), 1);
    EXPECT_EQ(group.Merge(Item("V299", ppi::kTypeByte)), 0);  // lower: span 201
    EXPECT_EQ(group.g.startAddress, 300);
  }
  {
    // Addresses above 32767 count as unsigned.
    Group group(Item("V40000", ppi::kTypeByte));
    ASSERT_EQ(group.Merge(Item("V40100", ppi::kTypeUint16)), 1);
    EXPECT_EQ(group.g.endAddress, 40101);
  }
}

TEST(PpiMerge, Refusals) {
  const DriverItem v12 = Item("V12", ppi::kTypeByte);
  {
    Group group(Item("V10", ppi::kTypeByte));
    EXPECT_EQ(group.Merge(v12, 1), 0);                           // writes never merge
    EXPECT_EQ(group.Merge(Item("V12", ppi::kTypeByte, 3)), 0);   // other station
    EXPECT_EQ(group.Merge(Item("M12", ppi::kTypeByte)), 0);      // other area
    EXPECT_EQ(group.Merge(Item("V12.5", ppi::kTypeString)), 0);  // strings stay alone
    EXPECT_EQ(group.g.endAddress, 10);
  }
  {
    Group write(Item("V10", ppi::kTypeByte), 1);
    EXPECT_EQ(write.Merge(v12, 1), 0);
    EXPECT_EQ(write.Merge(v12, 0), 0);  // a read never joins a write group
  }
  {
    Group delay(Item("DELAY0", ppi::kTypeUint16));
    EXPECT_EQ(delay.Merge(Item("DELAY1", ppi::kTypeUint16)), 0);
  }
  {
    Group string(Item("V10.4", ppi::kTypeString));
    EXPECT_EQ(string.Merge(v12), 0);  // nor does anything join a string
  }
}

}  // namespace

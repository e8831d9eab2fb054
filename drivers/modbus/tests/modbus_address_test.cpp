#include "drivers/modbus/modbus_address.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/gbk.h"

namespace {

using namespace modbus;

struct Converted {
  uint16_t result;
  int32_t error;
  DriverItem item;
};

Converted Convert(const char* address, uint16_t type, int16_t extra = 0, const char* model = "") {
  TagAddressInput in{};
  std::memcpy(in.model, model, strnlen(model, sizeof in.model));
  std::memcpy(in.address, address, strnlen(address, sizeof in.address));
  in.dataType = static_cast<int16_t>(type);
  in.extra = extra;
  Converted c{0, kErrNoError, DriverItem{}};
  c.result = ConvertUserConfigToVar(&in, &c.item, c.error);
  return c;
}

// The code a refused conversion sets; 0 when it was accepted.
int32_t RefusalOf(const char* address, uint16_t type, int16_t extra = 0) {
  const Converted c = Convert(address, type, extra);
  return c.result == 0 ? 0 : c.error;
}

TEST(ModbusAddressConvert, EveryAreaAcceptsExactlyItsTypes) {
  const AddressArea* t = AreaTable();
  ASSERT_EQ(t, AreaTable());
  const char* names[] = {"0X", "1X", "3X", "4X"};
  const int32_t masks[] = {1, 1, 0x1FE, 0x1FE};
  for (int a = 0; a < kAreaCount; ++a) {
    EXPECT_STREQ(t[a].name, names[a]);
    EXPECT_EQ(t[a].minAddress, 1);
    EXPECT_EQ(t[a].maxAddress, 65535);
    EXPECT_EQ(t[a].typeMask, masks[a]);
    for (uint16_t type = 1; type <= kTypeString; type <<= 1) {
      const std::string text = std::string(names[a]) + "10" + (type == kTypeString ? ".4" : "");
      EXPECT_EQ(RefusalOf(text.c_str(), type), (masks[a] & type) ? 0 : kErrTypeNotAllowed)
          << text << " " << type;
    }
  }
  // Not a single known DataTypeFlag.
  for (uint16_t type : {0, kTypeInt16 | kTypeUint16, 512})
    EXPECT_EQ(RefusalOf("4X10", type), kErrTypeNotAllowed) << type;
}

TEST(ModbusAddressConvert, FillsTheItem) {
  Converted c = Convert(" 4X40000L ", kTypeFloat, 1, " modbustcp ");
  ASSERT_EQ(c.result, 0);
  EXPECT_EQ(c.item.area, &AreaTable()[kAreaHoldingRegisters]);
  EXPECT_EQ(c.item.areaIndex, kAreaHoldingRegisters);
  EXPECT_EQ(c.item.dataType, kTypeFloat);
  EXPECT_EQ(c.item.dataType2, kTypeFloat);
  EXPECT_EQ(static_cast<uint16_t>(c.item.byteAddress), 40000);
  EXPECT_EQ(c.item.wordOrder, kLowWordFirst);
  EXPECT_EQ(c.item.bitOrLength, 0);
  EXPECT_EQ(c.item.extra, 1);
  c = Convert("3X7.11", kTypeString);
  EXPECT_EQ(c.item.bitOrLength, 11);
  EXPECT_EQ(c.item.wordOrder, 0);
  EXPECT_EQ(Convert("4X5h", kTypeInt32).item.wordOrder, 0);
  EXPECT_EQ(Convert("4X5l", kTypeBcd32).item.wordOrder, kLowWordFirst);
}

void ExpectCode(int32_t code, uint16_t type, std::initializer_list<const char*> texts,
                int16_t extra = 0) {
  for (const char* text : texts)
    EXPECT_EQ(RefusalOf(text, type, extra), code) << "\"" << text << "\" type " << type;
}

TEST(ModbusAddressConvert, BoundsSuffixesAndWrites) {
  ExpectCode(kErrAddressEmpty, kTypeInt16, {"", " \t "});
  ExpectCode(kErrUnknownArea, kTypeInt16, {"2X1", "4x1"});  // the host matches case-sensitively
  ExpectCode(0, kTypeInt16, {"4X1", "4X65535", " 4X 00012 "});
  ExpectCode(kErrAddressNumber, kTypeInt16,
             {"4X0", "4X65536", "4X", "4X-1", "4X+1", "4Xa1", "4X99999999999999999999"});
  ExpectCode(0, kTypeInt32, {"4X65534", "4X65534L", "4X1 h"});
  ExpectCode(kErrAddressNumber, kTypeFloat, {"4X65535", "4X65535L"});
  ExpectCode(kErrSuffix, kTypeInt16, {"4X1L", "4X1.2", "4X1Z", "4X1 2"});
  ExpectCode(kErrSuffix, kTypeByte, {"4X1H"});
  ExpectCode(kErrSuffix, kTypeBit, {"0X1.0", "0X1H"});
  ExpectCode(kErrSuffix, kTypeInt32, {"4X1LL", "4X1.2", "4X1X"});
  // Strings: 1..127 bytes, (length + 1) / 2 registers that end at or before 65535.
  ExpectCode(kErrSuffix, kTypeString, {"4X1L", "4X1#2"});
  ExpectCode(kErrStringLength, kTypeString,
             {"4X1", "4X1.", "4X1.0", "4X1.128", "4X1.-3", "4X65535.3", "4X65473.127"});
  ExpectCode(0, kTypeString, {"4X1.127", "4X65535.2", "4X65472.127"});
  // Writes (extra != 0) to the read-only areas.
  ExpectCode(kErrReadOnly, kTypeBit, {"1X1"}, 1);
  ExpectCode(kErrReadOnly, kTypeInt16, {"3X1"}, 1);
  ExpectCode(0, kTypeBit, {"0X1", "1X1"}, 0);
  ExpectCode(0, kTypeInt16, {"4X1"}, 1);
}

TEST(ModbusAddressConvert, ModelsAndFullArrays) {
  for (const char* model : {"ZireviVER", "zireviver", "ModbusTCP", " ModbusASCII\t", "   "})
    EXPECT_EQ(Convert("4X1", kTypeInt16, 0, model).result, 0) << model;
  EXPECT_EQ(Convert("4X1", kTypeInt16, 0, "ModbusUDP").error, kErrUnknownModel);

  // Arrays without a NUL are read up to their ends only.
  TagAddressInput in{};
  std::memset(in.model, 'M', sizeof in.model);
  std::memset(in.address, '1', sizeof in.address);
  in.dataType = kTypeInt16;
  DriverItem item{};
  int32_t error = kErrNoError;
  EXPECT_EQ(ConvertUserConfigToVar(&in, &item, error), 1);
  EXPECT_EQ(error, kErrUnknownModel);
  std::memset(in.model, 0, sizeof in.model);
  std::memcpy(in.address, "4X", 2);
  EXPECT_EQ(ConvertUserConfigToVar(&in, &item, error), 1);
  EXPECT_EQ(error, kErrAddressNumber);
}

// The normalised text, or "E<code>" when refused.
std::string StationText(const char* text) {
  Station s;
  std::string normalised;
  int32_t error = kErrNoError;
  return ParseStation(text, s, normalised, error) ? normalised : "E" + std::to_string(error);
}

TEST(ModbusAddressStation, SerialAndTcpTexts) {
  const std::pair<const char*, const char*> accepted[] = {
      {" 0247 ", "247"},
      {"192.168.1.20", "192.168.1.20:502#1"},
      {" 192.168.001.020 : 1502 # 7 ", "192.168.1.20:1502#7"},
      {"10.0.0.1#0", "10.0.0.1:502#0"},
      {"PLC-1.Plant.local:503#255", "plc-1.plant.local:503#255"},
      {"[::1]", "[::1]:502#1"},
      {"[0:0::1]:1502#3", "[::1]:1502#3"},
  };
  for (const auto& [text, expected] : accepted)
    EXPECT_EQ(StationText(text), expected) << text;
  for (const char* text : {"0", "248", "99999999999999999999", "host:0", "host:65536", "host#256"})
    EXPECT_EQ(StationText(text), "E2") << text;
  for (const char* text :
       {"", "[fe80::1%eth0]#1", "::1#1", "[::1", "[::1]x", "1.2.3#1", "1.2.3.256", "5#1", "-5",
        "host_1", "-host", "a..b", "host:", "host:1:2", "host#", "host#1#2"}) {
    EXPECT_EQ(StationText(text), "E1") << text;
  }

  Station s;
  std::string normalised;
  int32_t error = kErrNoError;
  ASSERT_TRUE(ParseStation("[::1]:1502#3", s, normalised, error));
  EXPECT_TRUE(s.tcp);
  EXPECT_EQ(s.unit, 3);
  EXPECT_EQ(s.endpoint.host, "::1");
  EXPECT_EQ(s.endpoint.port, 1502);
  ASSERT_TRUE(ParseStation("12", s, normalised, error));
  EXPECT_FALSE(s.tcp);
  EXPECT_EQ(s.unit, 12);
}

TEST(ModbusAddressStation, StationInfoHoldsSixtyThreeBytes) {
  StationInfo info;
  std::memset(&info, 'x', sizeof info);
  int32_t error = kErrNoError;
  ASSERT_EQ(ParseStationAddress(" 10.0.0.9 # 4", &info, error), 1);
  EXPECT_EQ(info.stationNumber, 4);
  EXPECT_EQ(std::string(info.addressText, sizeof info.addressText),
            std::string("10.0.0.9:502#4") + std::string(50, '\0'));

  // "name:65535#255" is 10 bytes longer than the name.
  const std::string fits = std::string(53, 'a') + ":65535#255";
  const std::string tooLong = std::string(54, 'a') + ":65535#255";
  ASSERT_EQ(ParseStationAddress(fits.c_str(), &info, error), 1);
  EXPECT_EQ(ParseStationAddress(tooLong.c_str(), &info, error), 0);
  EXPECT_EQ(error, kErrStationText);
  EXPECT_EQ(std::string(info.addressText), fits);  // untouched on refusal
}

// A read group that the host opened from `first`, as AddItem opens it.
struct Host {
  StationInfo station{1, "10.0.0.1:502#1"};
  RequestGroup group{};

  Host(const char* address, uint16_t type) {
    const DriverItem first = Convert(address, type).item;
    group.station = 1;
    group.stationBuffer = &station;
    group.area = first.area;
    group.areaIndex = first.areaIndex;
    group.dataType = first.dataType;
    group.bitOrLength = first.bitOrLength;
    group.wordOrder = first.wordOrder;
    group.startAddress = group.endAddress = static_cast<uint16_t>(first.byteAddress);
  }
  BOOL Offer(const char* address, uint16_t type, int32_t write = 0, int16_t stationNumber = 1,
             const char* hostText = nullptr) {
    Converted c = Convert(address, type);
    EXPECT_EQ(c.result, 0) << address;
    c.item.station = stationNumber;
    StationInfo copy{stationNumber, {}};
    std::strcpy(copy.addressText, hostText ? hostText : station.addressText);
    c.item.stationCopy = &copy;
    return CanMergeItem(&c.item, write, &group);
  }
};

TEST(ModbusAddressMerge, RegisterAndBitSpans) {
  Host h("4X100", kTypeInt16);
  EXPECT_EQ(h.Offer("4X224", kTypeInt16), 1);
  EXPECT_EQ(h.group.endAddress, 224);
  EXPECT_EQ(h.Offer("4X224", kTypeInt32), 0);  // 126 registers
  EXPECT_EQ(h.Offer("4X99", kTypeInt16), 0);
  EXPECT_EQ(h.group.startAddress, 100);

  // A group opened by a 32-bit item already covers two registers.
  Host wide("4X65534", kTypeFloat);
  EXPECT_EQ(wide.Offer("4X65411", kTypeInt16), 1);
  EXPECT_EQ(wide.group.startAddress, 65411);
  EXPECT_EQ(wide.group.endAddress, 65535);
  EXPECT_EQ(Host("4X200", kTypeInt32).Offer("4X76", kTypeInt16), 0);  // 76..201

  Host bits("0X1", kTypeBit);
  EXPECT_EQ(bits.Offer("0X2000", kTypeBit), 1);
  EXPECT_EQ(bits.Offer("0X2001", kTypeBit), 0);
  EXPECT_EQ(bits.Offer("1X5", kTypeBit), 0);  // another area
}

TEST(ModbusAddressMerge, StationWordOrderWritesAndStrings) {
  Host h("4X10", kTypeInt32);
  EXPECT_EQ(h.Offer("4X12", kTypeInt32), 1);
  EXPECT_EQ(h.Offer("4X14L", kTypeFloat), 0);
  EXPECT_EQ(h.Offer("4X14", kTypeInt16), 1);
  EXPECT_EQ(h.Offer("4X15", kTypeInt16, 1), 0);
  EXPECT_EQ(h.Offer("4X15", kTypeInt16, 0, 2), 0);
  EXPECT_EQ(h.Offer("4X15", kTypeInt16, 0, 1, "10.0.0.2:502#1"), 0);  // same unit, other host
  EXPECT_EQ(h.Offer("4X15.2", kTypeString), 0);

  Host low("4X10L", kTypeBcd32);
  EXPECT_EQ(low.Offer("4X12", kTypeBcd32), 0);
  EXPECT_EQ(low.Offer("4X12l", kTypeFloat), 1);
  EXPECT_EQ(Host("4X1.4", kTypeString).Offer("4X2", kTypeInt16), 0);
  Host write("4X1", kTypeInt16);
  write.group.writeFlag = 1;
  EXPECT_EQ(write.Offer("4X2", kTypeInt16, 1), 0);
}

TEST(ModbusAddressErrorText, EveryCodeHasAGbkText) {
  EXPECT_EQ(ErrorText(kErrNoError), nullptr);
  for (int32_t code = 1; code <= kErrLastCode; ++code) {
    std::string utf8;
    ASSERT_TRUE(platform::GbkToUtf8(ErrorText(code), utf8)) << code;
    EXPECT_GT(utf8.size(), 30u) << code;
  }
  EXPECT_NE(platform::GbkToUtf8(ErrorText(kErrStationText)).find("192.168.1.20:502#1"),
            std::string::npos);
  const std::string unknown = platform::GbkToUtf8(ErrorText(42));
  EXPECT_NE(unknown.find("未知错误"), std::string::npos);
  EXPECT_NE(unknown.find("42"), std::string::npos);
  EXPECT_EQ(ErrorText(42), ErrorText(42));
}

}  // namespace

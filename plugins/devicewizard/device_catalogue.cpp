#include "plugins/devicewizard/device_catalogue.h"

#include <cstring>

#include "platform/com.h"
#include "platform/gbk.h"

namespace ondrel {

namespace {

struct EntryText {
  const char* listText;
  const char* manufacturer;  // UTF-8 here, GBK in the descriptor
  const char* model;
  const char* commKind;
  const char* progId;
  uint16_t linkKind;
};

// The list texts and the descriptor's model texts differ in case for two rows.
constexpr EntryText kEntries[kCatalogueSize] = {
    {"ZireviVER", "莫迪康系列", "ZireviVER", "串口", kModbusProgId, kLinkSerial},
    {"ModbusTcp", "莫迪康系列", "ModbusTCP", "TCP/IP", kModbusProgId, kLinkTcpIp},
    {"ModbusAscii", "莫迪康系列", "ModbusASCII", "Ascii", kModbusProgId, kLinkSerial},
    {"S7-200(PPI)", "西门子", "S7-200(PPI)", "PPI", kPpiProgId, kLinkSerial},
    {"S7-200(TCP)", "西门子", "S7-200(TCP)", "TCP/IP", kS7TcpProgId, kLinkTcpIp},
    {"S7-300/400(TCP)", "西门子", "S7-300/400(TCP)", "TCP/IP", kS7TcpProgId, kLinkTcpIp},
    {"S7-1200/1500(TCP)", "西门子", "S7-1200/1500(TCP)", "TCP/IP", kS7TcpProgId, kLinkTcpIp},
};

}  // namespace

Catalogue BuildCatalogue() {
  Catalogue catalogue{};
  for (int i = 0; i < kCatalogueSize; ++i) {
    const EntryText& text = kEntries[i];
    DriverDescriptor& entry = catalogue.entries[i];
    std::memset(&entry, 0, sizeof entry);
    platform::CopyToArray(entry.manufacturer, platform::Utf8ToGbk(text.manufacturer));
    platform::CopyToArray(entry.model, platform::Utf8ToGbk(text.model));
    platform::CopyToArray(entry.commKind, platform::Utf8ToGbk(text.commKind));
    CLSID clsid{};
    if (FAILED(platform::CLSIDFromProgID(text.progId, &clsid))) {
      clsid = CLSID{};
    }
    entry.driverClsid = clsid;
    entry.linkKind = text.linkKind;
    catalogue.listTexts[i] = QString::fromUtf8(text.listText);
  }
  return catalogue;
}

int FindCatalogueEntry(const Catalogue& catalogue, const DeviceRecord& device) {
  for (int i = 0; i < kCatalogueSize; ++i) {
    const DriverDescriptor& entry = catalogue.entries[i];
    if (std::memcmp(&entry.driverClsid, &device.descriptor.driverClsid, sizeof(CLSID)) == 0 &&
        platform::ArrayText(entry.model) == platform::ArrayText(device.descriptor.model)) {
      return i;
    }
  }
  return -1;
}

}  // namespace ondrel

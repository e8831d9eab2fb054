// The device wizard's checks and text rules, free of widgets: how a typed name, port text and
// address are turned into record fields, and when another device of the project is in the way.
//
// Every record text is GBK in a fixed, NUL-terminated array; the wizard's controls hold UTF-8
// (QString). Conversions here are strict: a text with no GBK form is refused, never stored as "?".
//
//   std::string gbk;
//   if (EncodeLogicalName(edit->text(), gbk) == NameStatus::kOk &&
//       !LogicalNameTaken(devices, device, gbk)) {
//     platform::CopyToArray(device->logicalName, gbk);
//   }
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <QString>

#include "common/device_array.h"
#include "common/records.h"

namespace ondrel {

// Longest logical name in GBK bytes: the 64-byte array keeps its terminating NUL.
inline constexpr std::size_t kMaxLogicalNameBytes = sizeof(DeviceRecord::logicalName) - 1;

// Outcome of turning a typed text into GBK bytes for a record.
enum class TextStatus {
  kOk,
  kNotGbk,   // holds a character GBK cannot represent (or a NUL)
  kTooLong,  // longer than the array allows
};

// `text` without its trailing blanks (spaces, tabs and other ASCII white space).
QString TrimTrailingBlanks(const QString& text);

// The GBK form of a logical name: trailing blanks removed, at most kMaxLogicalNameBytes bytes.
// A name that is too long is refused as a whole, never cut.
TextStatus EncodeLogicalName(const QString& text, std::string& gbk);

// The GBK form of any other typed text (no length limit). False when it has no GBK form.
[[nodiscard]] bool EncodeGbk(const QString& text, std::string& gbk);

// Shows GBK bytes from a record: bytes that are not valid GBK become U+FFFD instead of hiding the
// whole text, so a damaged record still shows what it can.
QString DecodeGbk(std::string_view gbk);

// Highest port number a device may use: the ports the project keeps settings for.
inline constexpr int kMaxPortNumber = 128;

// The port number of a port text "COM<n>" ("COM12" -> 12): "COM" in any case, then decimal
// digits (leading zeros allowed) giving 1..kMaxPortNumber, blanks around the whole allowed. Any
// other text ("COMX", "1", "COM12abc", "COM0", "COM300") gives 0: it names no port, and storing
// some number read from it would put the device on a port the user never chose.
int ParsePortNumber(const QString& text);

// Whether a typed address has the form the device's model needs. The driver parses an address
// without knowing the model (the Modbus driver takes "5" as a serial station even for a TCP
// device, the PPI driver any station number), so the wizard checks the form first.
enum class AddressForm {
  kOk,
  kPpiStation,  // S7-200(PPI): a whole number 0..126 (blanks around allowed)
  kTcpHost,     // ModbusTCP: host[:port][#unit] with a host (a name, dotted IPv4 or [IPv6])
};
// Highest PPI station address: 127 is the broadcast address.
inline constexpr int kMaxPpiStation = 126;
AddressForm CheckAddressForm(std::string_view model, std::string_view typedGbk);

// The uniqueness checks. Every element of `devices` at the address `self` is skipped, so `self`
// may point into the array (re-configuring) or elsewhere (a new device). A null `devices` holds
// nothing. Texts are compared byte for byte (case-sensitive).

// True when another device already has the logical name `gbkName`.
bool LogicalNameTaken(const talvek::DeviceArray* devices, const DeviceRecord* self,
                      std::string_view gbkName);

// True when another device uses `port` with a driver class other than `driverClsid`; devices of
// one driver class may share a port.
bool PortTakenByOtherDriver(const talvek::DeviceArray* devices, const DeviceRecord* self, int port,
                            const CLSID& driverClsid);

// The framing a device model puts on its serial line. The Modbus models share one driver class,
// and one driver object serves every device on a port number: its serial line carries either RTU
// ("ZireviVER") or ASCII ("ModbusASCII") frames, never both. TCP devices and the models of other
// drivers put no framing on the line.
enum class SerialFraming {
  kNone,
  kRtu,
  kAscii,
};

// The serial framing of a model text, compared without regard to case or surrounding blanks, as
// the driver itself reads model texts.
SerialFraming SerialFramingOfModel(std::string_view model);

// The framing of another device on `port` of the same driver class as `descriptor` that differs
// from the framing `descriptor`'s model needs; kNone when there is no such device (or the model
// puts no framing on the line). The driver would refuse every tag of the second framing on that
// line, long after the wizard accepted the device.
SerialFraming SerialFramingConflict(const talvek::DeviceArray* devices, const DeviceRecord* self,
                                    int port, const DriverDescriptor& descriptor);

// True when another device on `port` stores one of the address texts: the driver's normalised
// form (what would be stored), or the text as typed. Stored texts are the driver's normalised
// forms, so comparing only the typed text would let " 2" or "02" pass next to "2".
bool AddressTaken(const talvek::DeviceArray* devices, const DeviceRecord* self, int port,
                  std::string_view normalisedGbk, std::string_view typedGbk);

// The four summary lines of a record, as GBK texts of at most 255 bytes each (cut at a character
// boundary should a line ever be longer).
struct SummaryLines {
  std::string model;     // "新设备为 <manufacturer> 生产的 <model> "
  std::string name;      // "设备逻辑名: <logicalName> "
  std::string address;   // "设备地址: <addressText> "
  std::string commKind;  // "通讯方式: <commKind> "
};
SummaryLines FormatSummary(const DeviceRecord& device);

}  // namespace ondrel

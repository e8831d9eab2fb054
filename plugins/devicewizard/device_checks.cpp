#include "plugins/devicewizard/device_checks.h"

#include <climits>
#include <cstring>

#include "platform/gbk.h"

namespace ondrel {

namespace {

// Longest summary line in bytes (the lines were formatted into 256-byte buffers).
constexpr std::size_t kMaxSummaryBytes = 255;

bool IsAsciiBlank(QChar c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

bool IsBlankByte(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view TrimAscii(std::string_view text) {
  while (!text.empty() && IsBlankByte(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlankByte(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII letters compared without regard to case; every other byte must be equal.
bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) {
      return false;
    }
  }
  return true;
}

// Visits every other element of the array.
template <typename Fn>
bool AnyOther(const talvek::DeviceArray* devices, const DeviceRecord* self, Fn&& matches) {
  if (devices == nullptr) {
    return false;
  }
  for (std::size_t i = 0; i < devices->GetSize(); ++i) {
    const DeviceRecord& other = (*devices)[i];
    if (&other != self && matches(other)) {
      return true;
    }
  }
  return false;
}

std::string SummaryLine(const char* utf8Label, std::string_view value) {
  std::string line = platform::Utf8ToGbk(utf8Label);
  line.append(value);
  line.push_back(' ');
  line.resize(platform::GbkPrefixLength(line, kMaxSummaryBytes));
  return line;
}

}  // namespace

QString TrimTrailingBlanks(const QString& text) {
  qsizetype end = text.size();
  while (end > 0 && IsAsciiBlank(text[end - 1])) {
    --end;
  }
  return text.left(end);
}

bool EncodeGbk(const QString& text, std::string& gbk) {
  // A NUL would silently end the text inside the record's array.
  if (text.contains(QChar(u'\0'))) {
    return false;
  }
  return platform::Utf8ToGbk(text.toStdString(), gbk);
}

TextStatus EncodeLogicalName(const QString& text, std::string& gbk) {
  if (!EncodeGbk(TrimTrailingBlanks(text), gbk)) {
    return TextStatus::kNotGbk;
  }
  return gbk.size() > kMaxLogicalNameBytes ? TextStatus::kTooLong : TextStatus::kOk;
}

QString DecodeGbk(std::string_view gbk) {
  std::string utf8;
  if (platform::GbkToUtf8(gbk, utf8)) {
    return QString::fromStdString(utf8);
  }
  // Decode piece by piece: one ASCII byte or one two-byte character at a time.
  QString text;
  for (std::size_t i = 0; i < gbk.size();) {
    const auto lead = static_cast<unsigned char>(gbk[i]);
    if (lead < 0x80) {
      text.append(QChar(lead));
      ++i;
      continue;
    }
    std::string piece;
    if (i + 1 < gbk.size() && platform::GbkToUtf8(gbk.substr(i, 2), piece)) {
      text.append(QString::fromStdString(piece));
      i += 2;
    } else if (platform::GbkToUtf8(gbk.substr(i, 1), piece)) {
      text.append(QString::fromStdString(piece));  // single-byte forms such as 0x80
      ++i;
    } else {
      text.append(QChar(QChar::ReplacementCharacter));
      ++i;
    }
  }
  return text;
}

int ParsePortNumber(const QString& text) {
  const QString trimmed = text.trimmed();
  if (trimmed.size() < 4 || !trimmed.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
    return 0;
  }
  int value = 0;
  for (qsizetype i = 3; i < trimmed.size(); ++i) {
    const QChar c = trimmed[i];
    if (c < u'0' || c > u'9') {
      return 0;
    }
    value = value * 10 + (c.unicode() - u'0');
    if (value > kMaxPortNumber) {
      return 0;
    }
  }
  return value;
}

AddressForm CheckAddressForm(std::string_view model, std::string_view typedGbk) {
  const std::string_view name = TrimAscii(model);
  const std::string_view text = TrimAscii(typedGbk);
  const bool allDigits =
      !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  if (EqualsIgnoringCase(name, "S7-200(PPI)")) {
    if (!allDigits) {
      return AddressForm::kPpiStation;
    }
    int station = 0;  // leading zeros allowed; stops growing once past the range
    for (char c : text) {
      station = station * 10 + (c - '0');
      if (station > kMaxPpiStation) {
        return AddressForm::kPpiStation;
      }
    }
    return AddressForm::kOk;
  }
  if (EqualsIgnoringCase(name, "ModbusTCP")) {
    // The host is everything before the port (":") or the unit ("#"); a bracketed IPv6 address
    // holds colons of its own.
    std::string_view host = text;
    if (!host.empty() && host.front() == '[') {
      const std::size_t close = host.find(']');
      host = close == std::string_view::npos ? std::string_view() : host.substr(1, close - 1);
    } else {
      host = host.substr(0, host.find_first_of(":#"));
    }
    // A bare number is a serial station, not a host.
    const bool numberOnly = host.find_first_not_of("0123456789") == std::string_view::npos;
    if (host.empty() || numberOnly) {
      return AddressForm::kTcpHost;
    }
    return AddressForm::kOk;
  }
  return AddressForm::kOk;
}

bool LogicalNameTaken(const talvek::DeviceArray* devices, const DeviceRecord* self,
                      std::string_view gbkName) {
  return AnyOther(devices, self, [&](const DeviceRecord& other) {
    return platform::ArrayText(other.logicalName) == gbkName;
  });
}

bool PortTakenByOtherDriver(const talvek::DeviceArray* devices, const DeviceRecord* self, int port,
                            const CLSID& driverClsid) {
  return AnyOther(devices, self, [&](const DeviceRecord& other) {
    return other.portNumber == port &&
           std::memcmp(&other.descriptor.driverClsid, &driverClsid, sizeof(CLSID)) != 0;
  });
}

SerialFraming SerialFramingOfModel(std::string_view model) {
  const std::string_view name = TrimAscii(model);
  if (EqualsIgnoringCase(name, "ZireviVER")) {
    return SerialFraming::kRtu;
  }
  if (EqualsIgnoringCase(name, "ModbusASCII")) {
    return SerialFraming::kAscii;
  }
  return SerialFraming::kNone;
}

SerialFraming SerialFramingConflict(const talvek::DeviceArray* devices, const DeviceRecord* self,
                                    int port, const DriverDescriptor& descriptor) {
  const SerialFraming wanted = SerialFramingOfModel(platform::ArrayText(descriptor.model));
  if (wanted == SerialFraming::kNone) {
    return SerialFraming::kNone;
  }
  SerialFraming found = SerialFraming::kNone;
  AnyOther(devices, self, [&](const DeviceRecord& other) {
    if (other.portNumber != port ||
        std::memcmp(&other.descriptor.driverClsid, &descriptor.driverClsid, sizeof(CLSID)) != 0) {
      return false;
    }
    const SerialFraming framing = SerialFramingOfModel(platform::ArrayText(other.descriptor.model));
    if (framing == SerialFraming::kNone || framing == wanted) {
      return false;
    }
    found = framing;
    return true;
  });
  return found;
}

bool AddressTaken(const talvek::DeviceArray* devices, const DeviceRecord* self, int port,
                  std::string_view normalisedGbk, std::string_view typedGbk) {
  return AnyOther(devices, self, [&](const DeviceRecord& other) {
    if (other.portNumber != port) {
      return false;
    }
    const std::string_view stored = platform::ArrayText(other.station.addressText);
    return stored == normalisedGbk || stored == typedGbk;
  });
}

SummaryLines FormatSummary(const DeviceRecord& device) {
  using platform::ArrayText;
  SummaryLines lines;
  std::string model = std::string(ArrayText(device.descriptor.manufacturer));
  model.append(platform::Utf8ToGbk(" 生产的 "));
  model.append(ArrayText(device.descriptor.model));
  lines.model = SummaryLine("新设备为 ", model);
  lines.name = SummaryLine("设备逻辑名: ", ArrayText(device.logicalName));
  lines.address = SummaryLine("设备地址: ", ArrayText(device.station.addressText));
  lines.commKind = SummaryLine("通讯方式: ", ArrayText(device.descriptor.commKind));
  return lines;
}

}  // namespace ondrel

// The texts of the driver's LastError codes, for GetLastErrorText. Each says what is wrong and
// what is accepted. The sources are UTF-8; the host shows GBK, so every text is converted once.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "drivers/modbus/modbus_address.h"
#include "platform/gbk.h"

namespace modbus {
namespace {

// UTF-8 texts by code; index 0 is unused.
constexpr const char* kTexts[kErrLastCode + 1] = {
    nullptr,
    // kErrStationText
    "站地址格式错误：串口设备填站号 1～247，TCP 设备填 主机[:端口]#单元号，"
    "例如 192.168.1.20:502#1；IPv6 地址写在方括号内，例如 [::1]:502#1",
    // kErrStationRange
    "站地址超出范围：串口站号须为 1～247，TCP 端口须为 1～65535，单元号须为 0～255",
    // kErrAddressEmpty
    "寄存器地址为空：请填写区号加地址编号，例如 4X100（保持寄存器 100）或 0X1（线圈 1）",
    // kErrUnknownArea
    "寄存器区号不正确：地址须以 0X（线圈）、1X（离散输入）、3X（输入寄存器）或 "
    "4X（保持寄存器）开头，X 为大写，例如 4X100",
    // kErrAddressNumber
    "寄存器地址编号不正确：区号后须为十进制数 1～65535，不带正负号；32 位整数、32 位 BCD "
    "和浮点占两个寄存器，编号不能超过 65534，例如 4X100",
    // kErrTypeNotAllowed
    "数据类型与寄存器区不符：0X、1X 只能用位（开关量）类型；3X、4X 可用字节、16 位整数、"
    "BCD、32 位整数、32 位 BCD、浮点和字符串类型",
    // kErrSuffix
    "地址后缀不正确：32 位整数、32 位 BCD 和浮点可加 L（低字在前）或 H（高字在前，默认），"
    "字符串须加 .长度，其他类型不能带后缀，例如 4X100L、4X200.16",
    // kErrStringLength
    "字符串长度不正确：字符串地址须写成 区号地址编号.长度，长度为 1～127 字节，"
    "所占寄存器（每两个字节一个）不能超出 65535，例如 4X200.16",
    // kErrReadOnly
    "该寄存器区只读：1X（离散输入）和 3X（输入寄存器）不能写入，"
    "需要写入的变量请用 0X（线圈）或 4X（保持寄存器）",
    // kErrUnknownModel
    "设备型号不正确：本驱动支持的型号为 ZireviVER（串口 RTU）、ModbusASCII（串口 ASCII）和 "
    "ModbusTCP（以太网）",
    // kErrMixedSerial
    "同一串口上不能同时连接 RTU 和 ASCII 设备：请把 ZireviVER 设备和 ModbusASCII "
    "设备接到不同的串口",
};

// Texts made for codes without one; kept so their pointers stay valid. Bounded, so a caller
// cycling through codes cannot grow it without end.
constexpr size_t kMaxUnknownTexts = 64;

}  // namespace

const char* ErrorText(int32_t code) {
  if (code == kErrNoError)
    return nullptr;
  static const std::string* const kGbk = [] {
    static std::string texts[kErrLastCode + 1];
    for (int32_t i = 1; i <= kErrLastCode; ++i)
      texts[i] = platform::Utf8ToGbk(kTexts[i]);
    return texts;
  }();
  if (code >= 1 && code <= kErrLastCode)
    return kGbk[code].c_str();

  static std::mutex mutex;
  static std::map<int32_t, std::string> unknown;
  static const std::string generic = platform::Utf8ToGbk("未知错误");
  std::lock_guard lock(mutex);
  if (auto it = unknown.find(code); it != unknown.end())
    return it->second.c_str();
  if (unknown.size() >= kMaxUnknownTexts)
    return generic.c_str();
  char utf8[48];
  std::snprintf(utf8, sizeof utf8, "未知错误（代码 %d）", static_cast<int>(code));
  return unknown.emplace(code, platform::Utf8ToGbk(utf8)).first->second.c_str();
}

}  // namespace modbus

#include "drivers/modbus/modbus_trace_text.h"

#include <cstdio>

#include "drivers/modbus/modbus_framing.h"
#include "platform/hex.h"

namespace modbus {
namespace {

// The function's name and the area prefix of its address texts; null for an unknown function.
struct FunctionText {
  uint8_t code;
  const char* name;
  const char* area;
};

constexpr FunctionText kFunctions[] = {
    {1, "读线圈", "0X"},       {2, "读离散输入", "1X"},    {3, "读保持寄存器", "4X"},
    {4, "读输入寄存器", "3X"}, {5, "写单个线圈", "0X"},    {6, "写单个寄存器", "4X"},
    {15, "写多个线圈", "0X"},  {16, "写多个寄存器", "4X"}, {22, "屏蔽写寄存器", "4X"},
};

const FunctionText* Find(uint8_t code) {
  for (const FunctionText& f : kFunctions) {
    if (f.code == code)
      return &f;
  }
  return nullptr;
}

unsigned Word(std::span<const uint8_t> pdu, size_t at) {
  return (static_cast<unsigned>(pdu[at]) << 8) | pdu[at + 1];
}

}  // namespace

const char* ExceptionName(uint8_t code) {
  switch (code) {
    case 1:
      return "非法功能";
    case 2:
      return "非法数据地址";
    case 3:
      return "非法数据值";
    case 4:
      return "从站设备故障";
    case 5:
      return "已确认，正在处理";
    case 6:
      return "从站设备忙";
    case 8:
      return "存储奇偶校验错误";
    case 10:
      return "网关路径不可用";
    case 11:
      return "网关目标设备无应答";
    default:
      return "未知异常";
  }
}

std::string DescribeRequest(std::span<const uint8_t> pdu) {
  if (pdu.empty())
    return "空请求";
  char text[96];
  const FunctionText* f = Find(pdu[0]);
  if (f == nullptr || pdu.size() < 5) {
    std::snprintf(text, sizeof text, "功能码 %02X", pdu[0]);
    return text;
  }
  const unsigned first = Word(pdu, 1) + 1;
  const unsigned second = Word(pdu, 3);
  switch (pdu[0]) {
    case 5:
      std::snprintf(text, sizeof text, "%s %s%u = %s", f->name, f->area, first,
                    second != 0 ? "ON" : "OFF");
      break;
    case 6:
      std::snprintf(text, sizeof text, "%s %s%u = %u", f->name, f->area, first, second);
      break;
    case 22:
      std::snprintf(text, sizeof text, "%s %s%u", f->name, f->area, first);
      break;
    default:  // a span: first address and quantity
      if (second <= 1) {
        std::snprintf(text, sizeof text, "%s %s%u", f->name, f->area, first);
      } else {
        std::snprintf(text, sizeof text, "%s %s%u..%s%u", f->name, f->area, first, f->area,
                      first + second - 1);
      }
      break;
  }
  return text;
}

std::string DescribeAnswer(Framing framing, std::span<const uint8_t> frame) {
  // The function code and the byte after it, wherever the framing puts them.
  int function = -1;
  int next = -1;
  size_t payload = 0;  // bytes of PDU after the function code
  switch (framing) {
    case Framing::kRtu:
      if (frame.size() >= 2)
        function = frame[1];
      if (frame.size() >= 3)
        next = frame[2];
      payload = frame.size() >= 4 ? frame.size() - 4 : 0;  // unit, function, CRC
      break;
    case Framing::kTcp:
      if (frame.size() >= 8)
        function = frame[7];
      if (frame.size() >= 9)
        next = frame[8];
      payload = frame.size() >= 8 ? frame.size() - 8 : 0;  // MBAP header, function
      break;
    case Framing::kAscii: {
      // ':' unit(2) function(2) data(2n) LRC(2) CR LF
      auto byteAt = [&](size_t i) -> int {
        const size_t at = 1 + 2 * i;
        if (frame.size() < at + 2)
          return -1;
        const int hi = platform::HexValue(frame[at]);
        const int lo = platform::HexValue(frame[at + 1]);
        return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
      };
      if (!frame.empty() && frame[0] == ':') {
        function = byteAt(1);
        next = byteAt(2);
        payload = frame.size() >= 9 ? (frame.size() - 9) / 2 : 0;  // ':', unit, fn, LRC, CRLF
      }
      break;
    }
  }
  if (function < 0)
    return "应答（不完整）";
  char text[96];
  if ((function & 0x80) != 0) {
    if (next < 0)
      return "异常应答（不完整）";
    std::snprintf(text, sizeof text, "异常 %02X %s", next,
                  ExceptionName(static_cast<uint8_t>(next)));
    return text;
  }
  const FunctionText* f = Find(static_cast<uint8_t>(function));
  if (f == nullptr) {
    std::snprintf(text, sizeof text, "应答 功能码 %02X", function);
  } else if (function <= 4) {
    std::snprintf(text, sizeof text, "应答 %s %zu 字节", f->name, payload > 0 ? payload - 1 : 0);
  } else {
    std::snprintf(text, sizeof text, "应答 %s", f->name);
  }
  return text;
}

}  // namespace modbus

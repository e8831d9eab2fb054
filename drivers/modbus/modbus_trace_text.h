// One-line Chinese readings of Modbus frames and exchange failures, for the communication monitor:
// "读保持寄存器 4X1..4X10", "应答 读保持寄存器 20 字节", "异常 02 非法数据地址", "超时". The texts
// are UTF-8; the driver converts them to GBK where they leave it. Pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "drivers/modbus/modbus_framing.h"

namespace modbus {

// The request PDU (function code first) as the user reads it: what is read or written where,
// with the register numbers of the address texts (protocol address + 1).
std::string DescribeRequest(std::span<const uint8_t> pdu);
// A received frame, whole or cut, in `framing`: the answer's function, its data length, or the
// exception and its meaning. "应答（不完整）" when the frame is too short to say.
std::string DescribeAnswer(Framing framing, std::span<const uint8_t> frame);
// "非法功能", "非法数据地址", ...; "未知异常" for a code without a name.
const char* ExceptionName(uint8_t code);

}  // namespace modbus

// One-line Chinese readings of PPI jobs and replies for the communication monitor: "读
// VW100..VW104", "应答 6 字节", "PLC 拒绝：0A 对象不存在". UTF-8; the driver converts them to GBK
// where they leave it. Pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/driver_contract.h"

namespace ppi {

// What a job for `group` reads or writes: the area text and the span of addresses.
std::string DescribeJob(const RequestGroup& group);
// A reply as received (without the stray acknowledgement): its data length, or the PLC's refusal.
std::string DescribeReply(std::span<const uint8_t> reply);
// The meaning of a PLC's item return code ("对象不存在", ...); "未知错误" for others.
const char* ReturnCodeName(uint8_t code);

}  // namespace ppi

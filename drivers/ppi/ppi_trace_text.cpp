#include "drivers/ppi/ppi_trace_text.h"

#include <cstdio>
#include <cstring>

#include "drivers/ppi/ppi_address.h"
#include "drivers/ppi/ppi_frame.h"

namespace ppi {

const char* ReturnCodeName(uint8_t code) {
  switch (code) {
    case 0x01:
      return "硬件故障";
    case 0x03:
      return "不允许访问该对象";
    case 0x05:
      return "地址超出范围";
    case 0x06:
      return "数据类型不支持";
    case 0x07:
      return "数据类型不一致";
    case 0x0A:
      return "对象不存在";
    default:
      return "未知错误";
  }
}

std::string DescribeJob(const RequestGroup& group) {
  const char* verb = group.writeFlag != 0 ? "写" : "读";
  char area[sizeof(AddressArea::name) + 1] = "?";
  if (group.areaIndex < kAreaCount) {
    const AddressArea& a = AreaTable()[group.areaIndex];
    std::memcpy(area, a.name, sizeof a.name);
    area[sizeof a.name] = '\0';
  }
  char text[64];
  if (group.endAddress > group.startAddress) {
    std::snprintf(text, sizeof text, "%s %s%d..%s%d", verb, area, group.startAddress, area,
                  group.endAddress);
  } else {
    std::snprintf(text, sizeof text, "%s %s%d", verb, area, group.startAddress);
  }
  return text;
}

std::string DescribeReply(std::span<const uint8_t> reply) {
  char text[64];
  if (reply.size() <= kReplyReturnCode + 2 || reply[0] != kSd2) {
    std::snprintf(text, sizeof text, "应答不完整（%zu 字节）", reply.size());
    return text;
  }
  const uint8_t code = reply[kReplyReturnCode];
  if (code != kReturnOk) {
    std::snprintf(text, sizeof text, "PLC 拒绝：%02X %s", code, ReturnCodeName(code));
    return text;
  }
  const std::size_t data = reply.size() > kReplyData + 2 ? reply.size() - kReplyData - 2 : 0;
  std::snprintf(text, sizeof text, "应答 %zu 字节", data);
  return text;
}

}  // namespace ppi

// The texts of the driver's LastError codes, for GetLastErrorText. Each says what is wrong and
// what to check. The sources are UTF-8; the host shows GBK, so every text is converted once.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "drivers/s7tcp/s7tcp_driver.h"
#include "platform/gbk.h"

namespace s7tcp {
namespace {

struct Text {
  int32_t code;
  const char* utf8;
};

constexpr Text kTexts[] = {
    {kErrStationText,
     "站地址格式错误：应为 IP地址[:端口],机架号,槽号，例如 192.168.0.10,0,1 或 "
     "192.168.0.10:102,0,2；端口 1～65535（默认 102），机架 0～7，槽号 0～31；IPv6 "
     "地址写在方括号内"},
    {s7::kErrAddressEmpty, "变量地址不能为空"},
    {s7::kErrTypeNotAllowed, "该数据类型不能用于此地址区域"},
    {s7::kErrAddressOutOfRange, "地址超出该区域的范围"},
    {s7::kErrBitOrLength, "位号必须在0到7之间，字符串长度必须在1到127之间"},
    {s7::kErrAddressForm,
     "地址格式不正确，应为区域名加字节地址，如 V100、VW100、V10.3、DB5.DBW10、DB5.DBX2.3"},
    {s7::kErrWidthMismatch, "地址所指的宽度（B字节、W字、D双字）与数据类型不符"},
    {kErrReadOnly, "该地址只读，不能写入"},
    {kErrDbNumber,
     "数据块地址格式不正确：应为 DB块号.DBB/DBW/DBD/DBX地址，块号 1～65535，例如 DB5.DBW10"},
    {kErrUnknownModel,
     "设备型号不正确：本驱动支持的型号为 S7-200(TCP)、S7-300/400(TCP) 和 S7-1200/1500(TCP)"},
    {kErrRackSlot,
     "机架号或槽号不符合该型号的规则：S7-200(TCP) 只能是 0,1；S7-300/400(TCP) 槽号 1～31；"
     "S7-1200/1500(TCP) 机架 0、槽号 0 或 1"},
    {kErrConnect, "无法与 PLC 建立 TCP 连接：请检查 IP 地址、端口、网线以及 PLC 是否上电"},
    {kErrTsapRefused,
     "PLC 拒绝了连接请求（TSAP 不被接受）：请检查站地址中的机架号、槽号以及设备型号是否与 PLC "
     "一致"},
    {kErrSetup, "PLC 未同意通信参数（PDU 大小协商失败）"},
    {kErrTimeout, "PLC 在超时时间内没有应答"},
    {kErrConnectionLost, "与 PLC 的连接已中断，驱动将自动重新连接"},
    {kErrWrongReference, "PLC 的应答不属于本次请求（PDU 参考号不符），已丢弃并重新连接"},
    {kErrBadReply, "PLC 的应答格式错误"},
    {kErrJobRefused, "PLC 拒绝执行该请求"},
    {kErrTooLarge, "写入的数据超过了与 PLC 协商的 PDU 大小"},
    {kErrItemBase + 0x01, "PLC 报告硬件故障"},
    {kErrItemBase + 0x03, "PLC 拒绝访问该地址（只读或受保护）"},
    {kErrItemBase + 0x05, "地址超出 PLC 中该区域或数据块的范围"},
    {kErrItemBase + 0x06, "PLC 不支持该数据类型"},
    {kErrItemBase + 0x07, "数据类型与 PLC 中的数据不一致"},
    {kErrItemBase + 0x0A, "PLC 中不存在该区域或数据块"},
};

constexpr std::size_t kMaxOtherTexts = 64;

}  // namespace

const char* ErrorText(int32_t code) {
  if (code == kErrNoError)
    return nullptr;
  static const std::map<int32_t, std::string>* const kGbk = [] {
    auto* texts = new std::map<int32_t, std::string>;
    for (const Text& t : kTexts)
      (*texts)[t.code] = platform::Utf8ToGbk(t.utf8);
    return texts;
  }();
  if (auto it = kGbk->find(code); it != kGbk->end())
    return it->second.c_str();

  // Other item return codes and unknown codes: made once, kept so their pointers stay valid.
  static std::mutex mutex;
  static std::map<int32_t, std::string> other;
  static const std::string generic = platform::Utf8ToGbk("未知错误");
  std::lock_guard lock(mutex);
  if (auto it = other.find(code); it != other.end())
    return it->second.c_str();
  if (other.size() >= kMaxOtherTexts)
    return generic.c_str();
  char utf8[80];
  if (code > kErrItemBase && code < kErrItemBase + 0xFF)
    std::snprintf(utf8, sizeof utf8, "PLC 拒绝访问该变量（返回码 0x%02X）", code - kErrItemBase);
  else
    std::snprintf(utf8, sizeof utf8, "未知错误（代码 %d）", static_cast<int>(code));
  return other.emplace(code, platform::Utf8ToGbk(utf8)).first->second.c_str();
}

}  // namespace s7tcp

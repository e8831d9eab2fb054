// The error texts of the PPI driver, one string resource per error code. The driver loads this
// module by name and reads string resource n for error code n (LoadStringA, platform/module.h).
//
// The literals are compiled with the GBK execution character set (see CMakeLists.txt), so the
// bytes handed out are GBK although this file is UTF-8.

namespace {

struct StringResource {
  unsigned id;
  const char* text;
};

constexpr StringResource kStrings[] = {
    {11, "站地址只能包含数字0到9"},
    {12, "变量地址不能为空"},
    {13, "该数据类型不能用于此地址区域"},
    {14, "地址超出该区域的范围"},
    {15, "位号必须在0到7之间，字符串长度必须在1到127之间"},
    {16, "地址格式不正确，应为区域名加字节地址，如V100、VW100、V10.3"},
    {17, "地址所指的宽度（B字节、W字、D双字）与数据类型不符"},
    {18, "该地址只读，不能写入"},
};

}  // namespace

// The GBK text of string resource `id`, or null when the module has none of that number.
extern "C" __attribute__((visibility("default"))) const char* TalvekStringResource(unsigned id) {
  for (const StringResource& s : kStrings) {
    if (s.id == id)
      return s.text;
  }
  return nullptr;
}

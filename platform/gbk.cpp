#include "platform/gbk.h"

#include <errno.h>
#include <iconv.h>

#include <cstring>

namespace platform {
namespace {

// One converter per direction and thread: an iconv_t carries shift state and must not be used by
// two threads at once, and opening one per call costs more than most conversions.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (valid())
      iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Strict conversion: any invalid, incomplete or unrepresentable sequence fails the whole call.
  bool Convert(std::string_view in, std::string& out) {
    out.clear();
    if (!valid())
      return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // a failed call may have left state behind
    if (in.empty())
      return true;

    // GBK <-> UTF-8 grows by at most 3/2 in either direction; start there and grow on E2BIG.
    out.resize(in.size() * 2 + 8);
    char* src = const_cast<char*>(in.data());  // iconv's prototype is not const-correct
    size_t srcLeft = in.size();
    size_t used = 0;
    for (;;) {
      char* dst = out.data() + used;
      size_t dstLeft = out.size() - used;
      size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      used = out.size() - dstLeft;
      if (rc != static_cast<size_t>(-1))
        break;
      if (errno != E2BIG)
        return false;  // EILSEQ (invalid or unrepresentable) or EINVAL (cut)
      out.resize(out.size() * 2);
    }
    // Flush any pending shift sequence (none for these encodings, but the call is cheap).
    char* dst = out.data() + used;
    size_t dstLeft = out.size() - used;
    if (iconv(cd_, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1))
      return false;
    out.resize(out.size() - dstLeft);
    return true;
  }

 private:
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  iconv_t cd_;
};

Converter& GbkDecoder() {
  thread_local Converter converter("UTF-8", "GBK");
  return converter;
}

Converter& GbkEncoder() {
  thread_local Converter converter("GBK", "UTF-8");
  return converter;
}

bool IsLeadByte(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}

}  // namespace

bool GbkToUtf8(std::string_view gbk, std::string& out) {
  return GbkDecoder().Convert(gbk, out);
}

bool Utf8ToGbk(std::string_view utf8, std::string& out) {
  return GbkEncoder().Convert(utf8, out);
}

std::string GbkToUtf8(std::string_view gbk) {
  std::string out;
  if (!GbkToUtf8(gbk, out))
    out.clear();
  return out;
}

std::string Utf8ToGbk(std::string_view utf8) {
  std::string out;
  if (!Utf8ToGbk(utf8, out))
    out.clear();
  return out;
}

std::size_t GbkPrefixLength(std::string_view gbk, std::size_t maxBytes) {
  std::size_t end = 0;
  while (end < gbk.size()) {
    std::size_t width = IsLeadByte(static_cast<unsigned char>(gbk[end])) ? 2 : 1;
    // A lead byte without its trail byte at the very end is dropped as well: kept, it would
    // swallow the terminating NUL of whoever reads the array.
    if (end + width > maxBytes || end + width > gbk.size())
      break;
    end += width;
  }
  return end;
}

bool CopyToArray(std::span<char> dst, std::string_view gbk) {
  if (dst.empty())
    return false;
  std::size_t n = GbkPrefixLength(gbk, dst.size() - 1);
  // memmove: callers may copy an array's own text back into it.
  if (n > 0)
    std::memmove(dst.data(), gbk.data(), n);
  std::memset(dst.data() + n, 0, dst.size() - n);
  return n == gbk.size();
}

std::string_view ArrayText(std::span<const char> src) {
  if (src.empty())
    return {};
  const void* nul = std::memchr(src.data(), '\0', src.size());
  std::size_t n =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - src.data()) : src.size();
  return std::string_view(src.data(), n);
}

}  // namespace platform

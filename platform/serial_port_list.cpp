// The serial devices present on this machine, for the port chooser.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <tuple>

#include "platform/serial_port.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Order of the groups in the list.
enum Group { kUart, kUsb, kAcm, kById };

// "ttyUSB12" -> ("ttyUSB", 12); a name without a number at its end gets -1.
std::pair<std::string, long> SplitNumber(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9')
    --digits;
  if (digits == name.size() || name.size() - digits > 9)
    return {name, -1};
  return {name.substr(0, digits), std::stol(name.substr(digits))};
}

// The kernel driver of tty `name`, "" when there is none to be seen.
std::string DriverOf(const fs::path& sysTty, const std::string& name) {
  std::error_code ec;
  const fs::path driver = fs::read_symlink(sysTty / name / "device" / "driver", ec);
  return ec ? std::string() : driver.filename().string();
}

// A /dev/ttyS<n> is a real port when the kernel has a device behind it and, where it says, a
// known UART type (type 0 is a placeholder for a port that is not there).
bool IsRealUart(const fs::path& sysTty, const std::string& name) {
  std::error_code ec;
  if (!fs::exists(sysTty / name / "device", ec))
    return false;
  std::ifstream type(sysTty / name / "type");
  int value = -1;
  return !(type >> value) || value != 0;
}

struct Found {
  Group group;
  std::string prefix;
  long number;
  SerialPortEntry entry;
};

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts(std::string_view rootText) {
  const fs::path root(rootText.empty() ? std::string_view("/") : rootText);
  const fs::path dev = root / "dev";
  const fs::path sysTty = root / "sys" / "class" / "tty";
  std::vector<Found> found;
  std::error_code ec;

  for (fs::directory_iterator it(dev, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    Group group;
    if (name.starts_with("ttyUSB"))
      group = kUsb;
    else if (name.starts_with("ttyACM"))
      group = kAcm;
    else if (name.starts_with("ttyS"))
      group = kUart;
    else
      continue;
    auto [prefix, number] = SplitNumber(name);
    if (number < 0 || prefix.size() != name.size() - std::to_string(number).size())
      continue;  // "ttyS", "ttyUSB0a", a leading zero
    if (group == kUart && !IsRealUart(sysTty, name))
      continue;
    found.push_back(
        {group, prefix, number, {"/dev/" + name, "/dev/" + name, DriverOf(sysTty, name)}});
  }

  const fs::path byId = dev / "serial" / "by-id";
  for (fs::directory_iterator it(byId, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code linkError;
    fs::path target = fs::read_symlink(it->path(), linkError);
    if (linkError)
      continue;
    // The links are relative ("../../ttyUSB0"); an absolute one names a device from the real
    // root, which is `root` here.
    target =
        target.is_absolute() ? root / target.relative_path() : (byId / target).lexically_normal();
    std::error_code existsError;
    if (!fs::exists(target, existsError))
      continue;  // a stale link to a device that has gone
    const fs::path relative = target.lexically_relative(root.lexically_normal());
    if (relative.empty() || *relative.begin() == "..")
      continue;
    const std::string name = it->path().filename().string();
    found.push_back({kById,
                     name,
                     -1,
                     {"/dev/serial/by-id/" + name, "/" + relative.string(),
                      DriverOf(sysTty, target.filename().string())}});
  }

  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.group, a.prefix, a.number) < std::tie(b.group, b.prefix, b.number);
  });
  std::vector<SerialPortEntry> list;
  list.reserve(found.size());
  for (Found& f : found)
    list.push_back(std::move(f.entry));
  return list;
}

}  // namespace platform

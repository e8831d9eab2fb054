#include "platform/atoms.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/gbk.h"

namespace {

constexpr ATOM kFirstAtom = 0xC000;
constexpr std::size_t kSlotCount = 0x10000 - kFirstAtom;  // 16,384 handles
constexpr std::size_t kMaxNameBytes = 255;

// Lets the index be searched with a string_view, so a lookup allocates nothing.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

class AtomTable {
 public:
  AtomTable() : slots_(kSlotCount) {
    for (std::size_t i = 0; i < kSlotCount; ++i)
      free_.push_back(static_cast<uint16_t>(i));
  }

  ATOM Add(std::string_view name) {
    std::unique_lock lock(mutex_);
    if (auto it = index_.find(name); it != index_.end()) {
      Slot& slot = slots_[it->second];
      // A count that reached the ceiling stays there: the atom is then never removed, which is
      // safer than wrapping to 0 and freeing a handle that is still in use.
      if (slot.refs != kPinned)
        ++slot.refs;
      return ToAtom(it->second);
    }
    if (free_.empty())
      return 0;
    uint16_t index = free_.front();
    free_.pop_front();
    auto [it, inserted] = index_.emplace(std::string(name), index);
    slots_[index] = Slot{&it->first, 1};
    return ToAtom(index);
  }

  ATOM Find(std::string_view name) const {
    std::shared_lock lock(mutex_);
    auto it = index_.find(name);
    return it == index_.end() ? 0 : ToAtom(it->second);
  }

  // Copies the name cut to fit `size` - 1 bytes; false for an unknown atom.
  bool GetName(ATOM atom, char* buffer, std::size_t size, std::size_t& copied) const {
    std::shared_lock lock(mutex_);
    const Slot* slot = Lookup(atom);
    if (!slot)
      return false;
    const std::string& name = *slot->name;
    // Never hand out half of a double-byte character: the text is shown and converted as GBK.
    copied = platform::GbkPrefixLength(name, size - 1);
    std::memcpy(buffer, name.data(), copied);
    buffer[copied] = '\0';
    return true;
  }

  bool Delete(ATOM atom) {
    std::unique_lock lock(mutex_);
    Slot* slot = Lookup(atom);
    if (!slot)
      return false;
    if (slot->refs == kPinned)
      return true;
    if (--slot->refs == 0) {
      index_.erase(*slot->name);
      *slot = Slot{};
      // Freed handles go to the back of the queue, so a stale handle is not at once reissued
      // for a different text.
      free_.push_back(static_cast<uint16_t>(atom - kFirstAtom));
    }
    return true;
  }

 private:
  static constexpr uint32_t kPinned = std::numeric_limits<uint32_t>::max();

  struct Slot {
    const std::string* name = nullptr;  // key of index_ (node keys never move); null when free
    uint32_t refs = 0;
  };

  static ATOM ToAtom(uint16_t index) { return static_cast<ATOM>(kFirstAtom + index); }

  const Slot* Lookup(ATOM atom) const {
    if (atom < kFirstAtom)
      return nullptr;
    const Slot& slot = slots_[atom - kFirstAtom];
    return slot.name ? &slot : nullptr;
  }
  Slot* Lookup(ATOM atom) {
    return const_cast<Slot*>(static_cast<const AtomTable*>(this)->Lookup(atom));
  }

  mutable std::shared_mutex mutex_;
  std::vector<Slot> slots_;
  std::unordered_map<std::string, uint16_t, NameHash, std::equal_to<>> index_;
  std::deque<uint16_t> free_;
};

AtomTable& Table() {
  // Never destroyed: threads and modules may still use atoms while static objects are torn down.
  static AtomTable* table = new AtomTable;
  return *table;
}

// The name as a view, or an empty view when it is null, empty or too long.
std::string_view ValidName(const char* name) {
  if (!name)
    return {};
  std::size_t n = strnlen(name, kMaxNameBytes + 1);
  if (n > kMaxNameBytes)
    return {};
  return std::string_view(name, n);
}

}  // namespace

namespace platform {

ATOM GlobalAddAtomA(const char* name) {
  std::string_view text = ValidName(name);
  return text.empty() ? 0 : Table().Add(text);
}

ATOM GlobalFindAtomA(const char* name) {
  std::string_view text = ValidName(name);
  return text.empty() ? 0 : Table().Find(text);
}

UINT GlobalGetAtomNameA(ATOM atom, char* buffer, int size) {
  if (!buffer || size < 1)
    return 0;
  std::size_t copied = 0;
  if (!Table().GetName(atom, buffer, static_cast<std::size_t>(size), copied)) {
    buffer[0] = '\0';  // callers print the buffer even when the atom is gone
    return 0;
  }
  return static_cast<UINT>(copied);
}

ATOM GlobalDeleteAtom(ATOM atom) {
  return Table().Delete(atom) ? 0 : atom;
}

}  // namespace platform

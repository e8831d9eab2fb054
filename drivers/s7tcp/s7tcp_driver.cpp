#include "drivers/s7tcp/s7tcp_driver.h"

#include <algorithm>
#include <cstring>

#include "drivers/s7common/s7_pdu.h"
#include "drivers/s7common/s7_values.h"
#include "platform/clock.h"
#include "platform/com.h"

namespace s7tcp {

platform::ModuleLocks& ModuleLocks() {
  static platform::ModuleLocks locks;
  return locks;
}

}  // namespace s7tcp

using namespace s7tcp;
using platform::Guarded;

namespace {

using Clock = std::chrono::steady_clock;

// Items whose bytes lie at most this far apart are read as one run: a separate item costs 12
// bytes in the job and 4 in the reply, about what the gap's bytes cost.
constexpr int32_t kJoinGap = 16;
// Quality word of an item after a successful read through the second interface.
constexpr uint16_t kQualityGood = 192;

GroupItem* FirstItem(const RequestGroup& group) {
  return group.items.head != nullptr ? group.items.head->item : nullptr;
}

// A byte range [first, end) of the group's memory.
struct Range {
  int32_t first;
  int32_t end;
};

}  // namespace

CS7Tcp::CS7Tcp() : ComObject(s7tcp::ModuleLocks()) {}

CS7Tcp::~CS7Tcp() {
  ClosePort();
}

BOOL CS7Tcp::GetRegisters(const char* /*model*/, const AddressArea** table, int32_t* count) {
  if (table == nullptr || count == nullptr)
    return 0;
  *table = AreaTable();
  *count = kAreaCount;
  return 1;
}

uint16_t CS7Tcp::ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) {
  return Guarded<uint16_t>(1, [&] {
    int32_t error = kErrNoError;
    const uint16_t r = s7tcp::ConvertUserConfigToVar(in, out, error);
    if (error != kErrNoError)
      SetLastError(error);
    return r;
  });
}

BOOL CS7Tcp::OpenPort(int32_t /*mode*/, const CommSettings* settings) {
  if (settings == nullptr)
    return 0;
  timeoutMs_ = settings->timeoutMs > 0 ? settings->timeoutMs : kDefaultTimeoutMs;
  return 1;
}

BOOL CS7Tcp::ClosePort() {
  plcs_.clear();
  return 1;
}

BOOL CS7Tcp::InitLink(const char* model, int32_t /*stationNumber*/, int32_t* /*out*/) {
  Family family;
  if (model == nullptr || !FamilyOf(model, &family)) {
    SetLastError(kErrUnknownModel);
    return 0;
  }
  std::lock_guard lock(probeMutex_);
  probeModel_ = model;
  return 1;
}

BOOL CS7Tcp::ProbeStation(int32_t, int32_t, int32_t) {
  return Guarded<BOOL>(0, [&]() -> BOOL {
    Station station;
    std::string model;
    {
      std::lock_guard lock(probeMutex_);
      if (!probeStation_ || probeModel_.empty()) {
        SetLastError(probeModel_.empty() ? kErrUnknownModel : kErrStationText);
        return 0;
      }
      station = *probeStation_;
      model = probeModel_;
    }
    Family family;
    Tsaps tsaps;
    if (!FamilyOf(model, &family) || !TsapsFor(family, station, &tsaps)) {
      SetLastError(kErrRackSlot);
      return 0;
    }
    s7tcp::Link link;
    int32_t error = kErrNoError;
    if (!link.Open(station, tsaps, timeoutMs_, &error)) {
      SetLastError(error);
      return 0;
    }
    return 1;
  });
}

BOOL CS7Tcp::CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) {
  return Guarded<BOOL>(0, [&] { return s7tcp::CanMergeItem(item, writeFlag, group); });
}

BOOL CS7Tcp::ParseStationAddress(const char* text, StationInfo* out) {
  return Guarded<BOOL>(0, [&] {
    int32_t error = kErrNoError;
    const BOOL r = s7tcp::ParseStationAddress(text, out, error);
    if (error != kErrNoError)
      SetLastError(error);
    Station station;
    if (r == 1 && ParseStation(text, &station) == 0) {
      std::lock_guard lock(probeMutex_);
      probeStation_ = std::move(station);
    }
    return r;
  });
}

const char* CS7Tcp::GetLastErrorText() {
  return Guarded<const char*>(
      nullptr, [&] { return ErrorText(lastError_.load(std::memory_order_relaxed)); });
}

BOOL CS7Tcp::GetPortHandle(HANDLE* handle) {
  if (handle == nullptr)
    return 0;
  *handle = INVALID_HANDLE_VALUE;
  return 1;
}

BOOL CS7Tcp::SetTraceSink(ITraceSink* sink) {
  // Each link's monitor asks for the sink at every packet, so a sink attached while connections
  // are open sees their packets from then on, and none after it is detached.
  traceSink_ = sink;
  return 1;
}

std::size_t CS7Tcp::ConnectionCount() const {
  return static_cast<std::size_t>(std::count_if(
      plcs_.begin(), plcs_.end(), [](const auto& entry) { return entry.second.link.IsOpen(); }));
}

void CS7Tcp::TraceEvent(int32_t event, int32_t code, int32_t error) {
  if (traceSink_ != nullptr)
    SendTrace(traceSink_, kTraceEvent, event, traceStation_, code, {}, ErrorText(error));
}

CS7Tcp::Plc* CS7Tcp::PlcOf(const RequestGroup& group) {
  if (group.stationBuffer == nullptr || group.modelText == nullptr) {
    SetLastError(kErrStationText);
    return nullptr;
  }
  const char* text = group.stationBuffer->addressText;
  const std::string address(text, strnlen(text, sizeof group.stationBuffer->addressText));
  const std::string model(group.modelText);
  const std::string key = model + '\n' + address;
  if (auto it = plcs_.find(key); it != plcs_.end())
    return &it->second;
  Plc plc;
  Family family;
  if (ParseStation(address, &plc.station) != 0) {
    SetLastError(kErrStationText);
    return nullptr;
  }
  if (!FamilyOf(model, &family)) {
    SetLastError(kErrUnknownModel);
    return nullptr;
  }
  if (!TsapsFor(family, plc.station, &plc.tsaps)) {
    SetLastError(kErrRackSlot);
    return nullptr;
  }
  Plc& added = plcs_.emplace(key, std::move(plc)).first->second;
  return &added;
}

bool CS7Tcp::EnsureOpen(Plc& plc, int32_t* error) {
  if (plc.link.IsOpen())
    return true;
  const auto now = Clock::now();
  if (now < plc.nextAttempt) {
    // Still pausing after a failed attempt: the reason stays the one of that attempt.
    *error = plc.lastConnectError;
    return false;
  }
  plc.link.SetMonitor([this](bool sent, std::span<const uint8_t> packet) {
    if (traceSink_ != nullptr)
      SendTrace(traceSink_, sent ? kTraceSent : kTraceReceived, kTraceNoEvent, traceStation_, 0,
                packet, nullptr);
  });
  if (!plc.link.Open(plc.station, plc.tsaps, timeoutMs_, error)) {
    plc.backoffMs =
        plc.backoffMs == 0 ? kFirstBackoffMs : std::min(plc.backoffMs * 2, kMaxBackoffMs);
    plc.nextAttempt = Clock::now() + std::chrono::milliseconds(plc.backoffMs);
    plc.lastConnectError = *error;
    TraceEvent(kTraceLinkError, 0, *error);
    return false;
  }
  plc.backoffMs = 0;
  plc.nextAttempt = {};
  plc.used = false;
  return true;
}

bool CS7Tcp::Transact(Plc& plc, std::span<uint8_t> job, bool retry, s7::AckData* ack,
                      std::vector<uint8_t>& reply, int32_t* error) {
  for (int attempt = 0;; ++attempt) {
    const bool reused = plc.link.IsOpen() && plc.used;
    if (!EnsureOpen(plc, error))
      return false;
    // Each job its own reference, never 0, so that its reply can be told from any other.
    if (++reference_ == 0)
      reference_ = 1;
    job[s7::kReferenceOffset] = static_cast<uint8_t>(reference_ >> 8);
    job[s7::kReferenceOffset + 1] = static_cast<uint8_t>(reference_);
    if (!plc.link.Exchange(job, reply, timeoutMs_, error)) {
      plc.used = false;
      TraceEvent(*error == kErrTimeout ? kTraceTimeout : kTraceLinkError, 0, *error);
      // A kept connection the PLC has dropped meanwhile (restart, idle time-out, cable) says so
      // only now: the job goes once more on a new connection.
      if (retry && attempt == 0 && reused && *error == kErrConnectionLost) {
        TraceEvent(kTraceReconnect, 0, *error);
        continue;
      }
      return false;
    }
    plc.used = true;
    if (!s7::ParseAck(reply, ack)) {
      *error = kErrBadReply;
    } else if (ack->reference != reference_) {
      *error = kErrWrongReference;
    } else if (ack->errorClass != 0) {
      *error = kErrJobRefused;
      TraceEvent(kTraceRefused, ack->errorClass << 8 | ack->errorCode, *error);
      return false;
    } else {
      return true;
    }
    // Out of step with the PLC: a later reply could be taken for the next job's.
    TraceEvent(kTraceBadFormat, 0, *error);
    plc.link.Close();
    return false;
  }
}

bool CS7Tcp::Read(Plc& plc, RequestGroup& group, Via via, int32_t* error) {
  const s7::AreaInfo* info = AreaInfoOf(group.areaIndex);
  if (info == nullptr)
    return false;
  std::vector<Range> ranges;
  for (const GroupItemNode* n = group.items.head; n != nullptr; n = n->next) {
    const GroupItem* item = n->item;
    if (item == nullptr)
      return false;
    int size = s7::ValueWidth(item->dataType);
    if (item->dataType == s7::kTypeString) {
      if (via == Via::kFirst)
        return false;
      size = static_cast<uint8_t>(item->bitOrLength);
      if (size < 1 || size > s7::kMaxStringLength)
        return false;
    }
    if (size == 0)
      return false;
    ranges.push_back({item->byteAddress, item->byteAddress + size});
  }
  if (ranges.empty())
    return false;
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.first < b.first; });
  const int32_t base = ranges.front().first;
  std::vector<Range> runs;
  for (const Range& r : ranges) {
    if (!runs.empty() && r.first <= runs.back().end + kJoinGap)
      runs.back().end = std::max(runs.back().end, r.end);
    else
      runs.push_back(r);
  }
  int32_t top = 0;
  for (const Range& r : runs)
    top = std::max(top, r.end);
  std::vector<uint8_t> data(static_cast<std::size_t>(top - base));

  // Pieces of at most what one item of a reply carries (even, for the word areas), packed into
  // jobs whose request and reply both fit the agreed PDU.
  if (!EnsureOpen(plc, error))
    return false;
  const uint16_t pdu = plc.link.PduSize();
  const int32_t maxPiece = static_cast<int32_t>((pdu - s7::kAckHeaderSize - 2 - 4) & ~1u);
  std::vector<Range> pieces;
  for (const Range& r : runs) {
    for (int32_t first = r.first; first < r.end; first += maxPiece)
      pieces.push_back({first, std::min(r.end, first + maxPiece)});
  }
  std::vector<s7::ItemSpec> specs;
  std::vector<uint16_t> lengths;
  std::vector<uint8_t> job(pdu);
  std::vector<uint8_t> reply;
  auto flush = [&]() -> bool {
    if (specs.empty())
      return true;
    const std::size_t length = s7::BuildReadJob(0, specs, job);
    s7::AckData ack;
    if (length == 0 || !Transact(plc, {job.data(), length}, true, &ack, reply, error))
      return false;
    std::vector<s7::DataItem> items(specs.size());
    if (ack.function != s7::kFnRead || ack.itemCount != specs.size() ||
        !s7::ParseReadItems(ack.data, items)) {
      *error = kErrBadReply;
      plc.link.Close();
      return false;
    }
    for (std::size_t k = 0; k < items.size(); ++k) {
      if (items[k].returnCode != s7::kReturnOk) {
        *error = kErrItemBase + items[k].returnCode;
        TraceEvent(kTraceRefused, items[k].returnCode, *error);
        return false;
      }
      if (items[k].bytes.size() != lengths[k]) {
        *error = kErrBadReply;
        return false;
      }
      const std::size_t offset = specs[k].bitAddress / 8 - static_cast<uint32_t>(base);
      std::copy(items[k].bytes.begin(), items[k].bytes.end(), data.begin() + offset);
    }
    specs.clear();
    lengths.clear();
    return true;
  };
  const uint16_t db = WireDb(group.areaIndex, group.wordOrder);
  for (const Range& piece : pieces) {
    const auto count = static_cast<uint16_t>(piece.end - piece.first);
    lengths.push_back(count);
    const bool fits = s7::ReadJobSize(specs.size() + 1) <= pdu && s7::ReadReplySize(lengths) <= pdu;
    lengths.pop_back();
    if (!fits && !flush())
      return false;
    specs.push_back(
        {info->code, db, static_cast<uint32_t>(piece.first) * 8, s7::kTransportByte, count});
    lengths.push_back(count);
  }
  if (!flush())
    return false;

  FILETIME now{};
  platform::CoFileTimeNow(&now);
  for (GroupItemNode* n = group.items.head; n != nullptr; n = n->next) {
    GroupItem* item = n->item;
    int32_t& target = via == Via::kSecond ? item->value : item->bitOrLength;
    const unsigned bit =
        via == Via::kSecond ? static_cast<uint8_t>(item->bitOrLength) : item->bitNumber;
    const int size = item->dataType == s7::kTypeString ? static_cast<uint8_t>(item->bitOrLength)
                                                       : s7::ValueWidth(item->dataType);
    if (!s7::DecodeValue(item->dataType, bit, data.data() + (item->byteAddress - base), size,
                         target))
      return false;
    if (via == Via::kSecond) {
      item->quality = kQualityGood;
      item->updateTime = now;
    }
  }
  return true;
}

bool CS7Tcp::Write(Plc& plc, RequestGroup& group, Via via, int32_t* error) {
  const s7::AreaInfo* info = AreaInfoOf(group.areaIndex);
  const GroupItem* item = FirstItem(group);
  if (info == nullptr || item == nullptr)
    return false;
  if (s7::IsReadOnlyMemory(info->memory, group.startAddress)) {
    *error = kErrReadOnly;
    return false;
  }
  const uint16_t type = item->dataType;
  const auto value = static_cast<uint32_t>(item->value);
  s7::ItemSpec given{info->code, WireDb(group.areaIndex, group.wordOrder),
                     static_cast<uint32_t>(group.startAddress) * 8, s7::kTransportByte, 0};
  std::vector<uint8_t> data;
  uint8_t transport = s7::kDataBytes;
  if (type == s7::kTypeBit) {
    // The second interface keeps the bit number in the item, the first in the group.
    const uint32_t bit = via == Via::kSecond ? static_cast<uint8_t>(item->bitOrLength)
                                             : static_cast<uint16_t>(group.bitOrLength);
    if (bit > 7)
      return false;
    given.transportSize = s7::kTransportBit;
    given.count = 1;
    given.bitAddress += bit;
    transport = s7::kDataBit;
    data.push_back(static_cast<uint8_t>(value & 1));
  } else if (type == s7::kTypeString) {
    const int n = group.bitOrLength;
    if (via == Via::kFirst || n < 1 || n > s7::kMaxStringLength)
      return false;
    data.resize(static_cast<std::size_t>(n) + 1);  // the characters and a terminating 0x00
    if (!s7::StringFromAtom(static_cast<ATOM>(value & 0xFFFF), n, data.data()))
      return false;
  } else {
    const int n = s7::ValueWidth(type);
    if (n == 0)
      return false;
    data.resize(static_cast<std::size_t>(n));
    s7::PutBigEndian(value, n, data.data());
  }
  if (given.count == 0)
    given.count = static_cast<uint16_t>(data.size());
  if (!EnsureOpen(plc, error))
    return false;
  const uint16_t pdu = plc.link.PduSize();
  std::vector<uint8_t> job(std::max<std::size_t>(pdu, 64));
  const std::size_t length = s7::BuildWriteJob(0, given, transport, data, job);
  if (length == 0 || length > pdu) {
    *error = kErrTooLarge;
    return false;
  }
  std::vector<uint8_t> reply;
  s7::AckData ack;
  if (!Transact(plc, {job.data(), length}, false, &ack, reply, error))
    return false;
  if (ack.function != s7::kFnWrite || ack.itemCount != 1 || ack.data.empty()) {
    *error = kErrBadReply;
    plc.link.Close();
    return false;
  }
  if (ack.data[0] != s7::kReturnOk) {
    *error = kErrItemBase + ack.data[0];
    TraceEvent(kTraceRefused, ack.data[0], *error);
    return false;
  }
  return true;
}

BOOL CS7Tcp::Execute(RequestGroup* group, Via via) {
  if (group == nullptr)
    return 0;
  return Guarded<BOOL>(0, [&]() -> BOOL {
    Plc* plc = PlcOf(*group);
    if (plc == nullptr)
      return 0;
    traceStation_ = group->station;
    int32_t error = kErrNoError;
    bool ok = false;
    if (group->writeFlag == 0)
      ok = Read(*plc, *group, via, &error);
    else if (group->writeFlag == 1)
      ok = Write(*plc, *group, via, &error);
    if (!ok && error != kErrNoError)
      SetLastError(error);
    return ok ? 1 : 0;
  });
}

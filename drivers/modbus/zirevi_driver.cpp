#include "drivers/modbus/zirevi_driver.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <span>

#include "drivers/modbus/modbus_pdu.h"
#include "drivers/modbus/modbus_trace_text.h"
#include "drivers/modbus/modbus_values.h"
#include "platform/gbk.h"

namespace modbus {
namespace {

bool IsThirtyTwoBit(uint16_t type) {
  return type == kTypeInt32 || type == kTypeBcd32 || type == kTypeFloat;
}

bool IsBitArea(int area) {
  return area == kAreaCoils || area == kAreaDiscreteInputs;
}

// The items of a group, walked from the head, never more than the list says it holds (a damaged
// list cannot make the walk run forever).
template <typename Visit>
bool ForEachItem(RequestGroup& group, Visit&& visit) {
  int32_t left = group.items.count;
  for (GroupItemNode* node = group.items.head; node != nullptr && left > 0;
       node = node->next, --left) {
    if (node->item != nullptr && !visit(*node->item))
      return false;
  }
  return true;
}

// The string length of a string item: strings never share a group, so the group's own
// bitOrLength is the length whichever interface view the item is read through.
int StringLength(const RequestGroup& group) {
  return group.bitOrLength;
}

}  // namespace

platform::ModuleLocks& ModuleLocks() {
  static platform::ModuleLocks locks;
  return locks;
}

}  // namespace modbus

using namespace modbus;
using platform::Guarded;

CZireviVer::CZireviVer() : ComObject(modbus::ModuleLocks()) {}

CZireviVer::~CZireviVer() {
  ClosePort();
}

BOOL CZireviVer::GetRegisters(const char* /*model*/, const AddressArea** table, int32_t* count) {
  if (!table || !count)
    return 0;
  *table = AreaTable();
  *count = kAreaCount;
  return 1;
}

BOOL CZireviVer::ProbeStation(int32_t /*reserved*/, int32_t station, int32_t /*reserved2*/) {
  return Guarded<BOOL>(0, [&]() -> BOOL {
    if (!opened_ || station < 1 || station > 247)
      return 0;
    std::array<uint8_t, kMaxPdu> request{};
    const size_t n = BuildReadRequest(Function::kReadHoldingRegisters, 0, 1, request);
    std::vector<uint8_t> answer;
    // A TCP device is reached at the address text parsed last (the number alone names no host).
    const bool tcp = probeTcp_.has_value() && probeTcp_->unit == station;
    const LinkStatus status =
        tcp ? net_.Transact(probeTcp_->endpoint, probeTcp_->unit, {request.data(), n}, answer,
                            timeoutMs_)
            : line_.Transact(SerialFraming().value_or(Framing::kRtu), static_cast<uint8_t>(station),
                             {request.data(), n}, answer);
    if (status != LinkStatus::kOk)
      return 0;
    const ReplyStatus reply = CheckReply({request.data(), n}, answer).status;
    if (!tcp && reply != ReplyStatus::kOk && reply != ReplyStatus::kException)
      line_.AnswerRefused();
    return reply == ReplyStatus::kOk || reply == ReplyStatus::kException ? 1 : 0;
  });
}

uint16_t CZireviVer::ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) {
  return Guarded<uint16_t>(1, [&]() -> uint16_t {
    int32_t code = kErrNoError;
    const uint16_t refused = modbus::ConvertUserConfigToVar(in, out, code);
    SetLastError(code);
    if (refused != 0)
      return 1;
    // A serial line carries one framing: a tag of the other serial model is refused here, so the
    // host never polls it, and the message says why.
    char model[sizeof in->model + 1] = {};
    std::memcpy(model, in->model, sizeof in->model);
    Framing framing{};
    if (FramingOfModel(model, &framing) && !ClaimFraming(framing))
      return 1;
    return 0;
  });
}

BOOL CZireviVer::Reserved6(int32_t, int32_t, int32_t) {
  return 1;
}

BOOL CZireviVer::OpenPort(int32_t /*mode*/, const CommSettings* settings) {
  return Guarded<BOOL>(0, [&]() -> BOOL {
    if (!settings || !line_.Configure(*settings))
      return 0;
    timeoutMs_ = line_.TimeoutMs();
    opened_ = true;
    return 1;
  });
}

BOOL CZireviVer::ClosePort() {
  return Guarded<BOOL>(1, [&]() -> BOOL {
    line_.Close();
    net_.CloseAll();
    splitSpans_.clear();
    noMaskWrite_.clear();
    opened_ = false;
    return 1;
  });
}

BOOL CZireviVer::InitLink(const char*, int32_t stationNumber, int32_t* stationNumberOut) {
  if (stationNumberOut)
    *stationNumberOut = stationNumber;
  return 1;
}

BOOL CZireviVer::CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) {
  return Guarded<BOOL>(0, [&] { return modbus::CanMergeItem(item, writeFlag, group); });
}

BOOL CZireviVer::ExecuteGroup(RequestGroup* group) {
  return Execute(group, Via::kFirst);
}

BOOL CZireviVer::ParseStationAddress(const char* text, StationInfo* out) {
  return Guarded<BOOL>(0, [&] {
    int32_t code = kErrNoError;
    const BOOL parsed = modbus::ParseStationAddress(text, out, code);
    SetLastError(code);
    probeTcp_.reset();
    if (parsed == 1 && text != nullptr) {
      Station station;
      std::string normalised;
      int32_t ignored = kErrNoError;
      if (ParseStation(text, station, normalised, ignored) && station.tcp)
        probeTcp_ = std::move(station);
    }
    return parsed;
  });
}

const char* CZireviVer::GetLastErrorText() {
  return Guarded<const char*>(
      nullptr, [&] { return ErrorText(lastError_.load(std::memory_order_relaxed)); });
}

BOOL CZireviVer::ExecuteGroupEx(RequestGroup* group) {
  return Execute(group, Via::kSecond);
}

BOOL CZireviVer::AttachPort(const HANDLE* handle) {
  if (!handle)
    return 0;
  Guarded<bool>(false, [&] { return line_.Attach(*handle); });
  return 1;
}

BOOL CZireviVer::Reserved5(int32_t, int32_t, int32_t) {
  return 1;
}

BOOL CZireviVer::GetPortHandle(HANDLE* handle) {
  if (!handle)
    return 0;
  *handle = line_.Handle();
  return 1;
}

BOOL CZireviVer::SetTraceSink(ITraceSink* sink) {
  traceSink_ = sink;
  FrameMonitor monitor;
  if (sink != nullptr)
    monitor = [this](bool sent, std::span<const uint8_t> frame) { TraceFrame(sent, frame); };
  line_.SetMonitor(monitor);
  net_.SetMonitor(std::move(monitor));
  return 1;
}

namespace {

struct LinkFailure {
  int32_t event;
  const char* text;
};

LinkFailure FailureOf(LinkStatus status) {
  switch (status) {
    case LinkStatus::kTimeout:
      return {kTraceTimeout, "超时：没有完整的应答"};
    case LinkStatus::kBadFrame:
      return {kTraceBadChecksum, "校验错误或帧格式错误"};
    case LinkStatus::kWrongUnit:
      return {kTraceBadFormat, "应答来自其他站号"};
    case LinkStatus::kNoLine:
      return {kTraceLinkError, "线路无法打开或连接已断开"};
    case LinkStatus::kSendFailed:
      return {kTraceLinkError, "请求没有完整发出"};
    default:
      return {kTraceLinkError, "线路故障"};
  }
}

}  // namespace

void CZireviVer::TraceFrame(bool sent, std::span<const uint8_t> frame) {
  if (traceSink_ == nullptr)
    return;
  const std::string text =
      sent ? traceRequestText_ : platform::Utf8ToGbk(DescribeAnswer(traceFraming_, frame));
  SendTrace(traceSink_, sent ? kTraceSent : kTraceReceived, kTraceNoEvent, traceStation_, 0, frame,
            text.c_str());
}

void CZireviVer::TraceFailure(int32_t event, int32_t code, const std::string& text) {
  if (traceSink_ == nullptr)
    return;
  const std::string gbk = platform::Utf8ToGbk(text);
  SendTrace(traceSink_, kTraceEvent, event, traceStation_, code, {}, gbk.c_str());
}

bool CZireviVer::ClaimFraming(Framing framing) {
  if (framing == Framing::kTcp)
    return true;
  std::lock_guard lock(framingMutex_);
  if (!serialFraming_) {
    serialFraming_ = framing;
    return true;
  }
  if (*serialFraming_ == framing)
    return true;
  SetLastError(kErrMixedSerial);
  return false;
}

const Station* CZireviVer::TcpStation(const RequestGroup& group) {
  if (group.stationBuffer == nullptr)
    return nullptr;
  const char* text = group.stationBuffer->addressText;
  const std::string key(text, strnlen(text, sizeof group.stationBuffer->addressText));
  auto found = tcpStations_.find(key);
  if (found != tcpStations_.end())
    return &found->second;
  Station station;
  std::string normalised;
  int32_t ignored = kErrNoError;  // a polling failure is not an input error: LastError stays
  if (!ParseStation(key.c_str(), station, normalised, ignored) || !station.tcp)
    return nullptr;
  return &tcpStations_.emplace(key, std::move(station)).first->second;
}

BOOL CZireviVer::Execute(RequestGroup* group, Via via) {
  if (!group)
    return 0;
  return Guarded<BOOL>(0, [&]() -> BOOL {
    Framing framing{};
    if (!FramingOfModel(group->modelText, &framing)) {
      SetLastError(kErrUnknownModel);
      return 0;
    }
    if (!ClaimFraming(framing))
      return 0;
    if (group->areaIndex >= kAreaCount || group->items.count <= 0 || group->items.head == nullptr)
      return 0;
    Station serial;
    const Station* station = &serial;
    if (framing == Framing::kTcp) {
      station = TcpStation(*group);
      if (station == nullptr)
        return 0;
    } else {
      if (!opened_)
        return 0;  // no settings for the serial line yet
      serial.unit = static_cast<uint8_t>(group->station);
    }
    const bool ok = group->writeFlag == 0 ? Read(*group, framing, *station, via)
                                          : Write(*group, framing, *station, via);
    return ok ? 1 : 0;
  });
}

bool CZireviVer::Transact(Framing framing, const Station& station,
                          std::span<const uint8_t> request) {
  reply_ = Reply{};  // a failure on the line leaves no earlier answer's verdict behind
  if (traceSink_ != nullptr) {
    traceFraming_ = framing;
    traceStation_ = station.unit;
    traceRequestText_ = platform::Utf8ToGbk(DescribeRequest(request));
  }
  const LinkStatus status =
      framing == Framing::kTcp
          ? net_.Transact(station.endpoint, station.unit, request, answer_, timeoutMs_)
          : line_.Transact(framing, station.unit, request, answer_);
  if (status != LinkStatus::kOk) {
    if (traceSink_ != nullptr) {
      const LinkFailure failure = FailureOf(status);
      TraceFailure(failure.event, 0, failure.text);
    }
    return false;
  }
  reply_ = CheckReply(request, answer_);
  if (traceSink_ != nullptr) {
    if (reply_.status == ReplyStatus::kException) {
      char text[64];
      std::snprintf(text, sizeof text, "异常 %02X %s", reply_.exceptionCode,
                    ExceptionName(reply_.exceptionCode));
      TraceFailure(kTraceRefused, reply_.exceptionCode, text);
    } else if (reply_.status != ReplyStatus::kOk) {
      TraceFailure(kTraceBadFormat, 0, "应答与请求不符");
    }
  }
  // An answer that is not the answer to this request (another function, a byte count that does
  // not fit the quantity asked for, a write echo that differs) may be a late or repeated one.
  if (framing != Framing::kTcp && reply_.status != ReplyStatus::kOk &&
      reply_.status != ReplyStatus::kException)
    line_.AnswerRefused();
  return reply_.status == ReplyStatus::kOk;
}

bool CZireviVer::Read(RequestGroup& group, Framing framing, const Station& station, Via via) {
  const int area = group.areaIndex;
  const bool bits = IsBitArea(area);
  // The span comes from the items themselves, so it covers every item whole whatever start and
  // end the group was given.
  std::vector<ReadItem>& items = readItems_;  // kept between calls: no allocation per read
  items.clear();
  bool known = ForEachItem(group, [&](GroupItem& item) {
    const int width = bits ? 1 : ItemWidth(item.dataType, StringLength(group));
    if (width <= 0 || (bits && item.dataType != kTypeBit))
      return false;
    items.push_back({&item, item.byteAddress, item.byteAddress + width - 1});
    return true;
  });
  if (!known || items.empty())
    return false;
  int32_t first = 65536;
  int32_t last = 0;
  for (const ReadItem& r : items) {
    first = std::min(first, r.first);
    last = std::max(last, r.last);
  }
  if (first < 1 || last > 65535 || last < first)
    return false;
  if (last - first + 1 > (bits ? kMaxReadBits : kMaxReadRegisters))
    return false;
  const auto byFirst = [](const ReadItem& a, const ReadItem& b) { return a.first < b.first; };
  if (!std::is_sorted(items.begin(), items.end(), byFirst))
    std::sort(items.begin(), items.end(), byFirst);

  std::vector<GroupItem*> refused;
  const SpanResult result = ReadSpan(group, framing, station, via, items, refused);
  if (result == SpanResult::kFailed || refused.size() == items.size())
    return false;  // nothing read: the host marks the whole group
  if (refused.empty())
    return true;
  // Part of the group was refused by the device (exception 2 on a register of its own): those
  // items alone are bad. The first interface has no quality per item, so the call fails there.
  if (via == Via::kFirst)
    return false;
  FILETIME now{};
  platform::CoFileTimeNow(&now);
  for (GroupItem* item : refused) {
    item->quality = 0;
    item->updateTime = now;
  }
  return true;
}

CZireviVer::SpanResult CZireviVer::ReadSpan(RequestGroup& group, Framing framing,
                                            const Station& station, Via via,
                                            std::span<const ReadItem> items,
                                            std::vector<GroupItem*>& refused) {
  const int area = group.areaIndex;
  const bool bits = IsBitArea(area);
  int32_t first = 65536;
  int32_t last = 0;
  for (const ReadItem& r : items) {
    first = std::min(first, r.first);
    last = std::max(last, r.last);
  }
  const int32_t count = last - first + 1;
  // Where a merged request would split best: at the widest gap between the items (sorted by
  // their first register), the likeliest place of registers the device does not have. 0 when all
  // items start at one register and no split is possible. Worked out only when a split is asked
  // for, so an ordinary read does not pay for it.
  auto splitPoint = [&] {
    size_t at = 0;
    int32_t widest = INT32_MIN;
    int32_t reached = items.front().last;
    for (size_t i = 1; i < items.size(); ++i) {
      if (items[i].first != items[i - 1].first && items[i].first - reached > widest) {
        widest = items[i].first - reached;
        at = i;
      }
      reached = std::max(reached, items[i].last);
    }
    return at;
  };
  auto split = [&](size_t at) -> SpanResult {
    const SpanResult head = ReadSpan(group, framing, station, via, items.first(at), refused);
    if (head == SpanResult::kFailed)
      return head;
    return ReadSpan(group, framing, station, via, items.subspan(at), refused);
  };
  if (items.size() > 1 && !splitSpans_.empty() &&
      splitSpans_.contains(SplitKey(framing, station, area, first, count))) {
    if (const size_t at = splitPoint(); at != 0)
      return split(at);
  }

  static constexpr Function kReadFunction[kAreaCount] = {
      Function::kReadCoils, Function::kReadDiscreteInputs, Function::kReadInputRegisters,
      Function::kReadHoldingRegisters};
  std::array<uint8_t, kMaxPdu> request{};
  const size_t n = BuildReadRequest(kReadFunction[area], static_cast<uint16_t>(first - 1),
                                    static_cast<uint16_t>(count), request);
  if (n == 0)
    return SpanResult::kFailed;
  if (!Transact(framing, station, {request.data(), n})) {
    if (reply_.status != ReplyStatus::kException || reply_.exceptionCode != kIllegalDataAddress)
      return SpanResult::kFailed;
    // The device has no register somewhere in the span. Read the parts on their own, and
    // remember the split so that later cycles go straight to the parts.
    const size_t at = splitPoint();
    if (at == 0) {
      for (const ReadItem& r : items)
        refused.push_back(r.item);
      return SpanResult::kOk;
    }
    if (splitSpans_.size() >= kMaxRememberedSplits)
      splitSpans_.clear();
    splitSpans_.insert(SplitKey(framing, station, area, first, count));
    return split(at);
  }

  FILETIME now{};
  platform::CoFileTimeNow(&now);
  const bool lowWordFirst = (group.wordOrder & kLowWordFirst) != 0;
  const std::span<const uint8_t> data = reply_.data;
  for (const ReadItem& r : items) {
    GroupItem& item = *r.item;
    const size_t offset = static_cast<size_t>(item.byteAddress - first);
    int32_t value = 0;
    bool decoded = false;
    if (bits) {
      decoded = DecodeBit(data, offset, &value);
    } else if (offset * 2 < data.size()) {
      decoded = DecodeRegisters(item.dataType, lowWordFirst, StringLength(group),
                                data.subspan(offset * 2), &value);
    }
    if (via == Via::kSecond) {
      // An item whose registers do not hold a valid value of its type (a BCD nibble above 9)
      // reports bad quality on its own; the rest of the group keeps its good values.
      if (decoded)
        item.value = value;
      item.quality = decoded ? 192 : 0;
      item.updateTime = now;
    } else if (decoded) {
      item.bitOrLength = value;
    }
  }
  return SpanResult::kOk;
}

bool CZireviVer::WriteLowByte(Framing framing, const Station& station, uint16_t address,
                              uint8_t byte) {
  std::array<uint8_t, kMaxPdu> request{};
  const std::string device = SplitKey(framing, station, kAreaHoldingRegisters, 0, 0);
  if (!noMaskWrite_.contains(device)) {
    // Function 22 changes the low byte inside the device, in one step.
    const size_t n = BuildMaskWriteRegister(address, 0xFF00, byte, request);
    if (Transact(framing, station, {request.data(), n}))
      return true;
    if (reply_.status != ReplyStatus::kException || reply_.exceptionCode != kIllegalFunction)
      return false;
    // The device does not know function 22: read the register and write it back.
    if (noMaskWrite_.size() >= kMaxRememberedSplits)
      noMaskWrite_.clear();
    noMaskWrite_.insert(device);
  }
  size_t n = BuildReadRequest(Function::kReadHoldingRegisters, address, 1, request);
  if (!Transact(framing, station, {request.data(), n}) || reply_.data.size() != 2)
    return false;
  const uint16_t kept = static_cast<uint16_t>(reply_.data[0] << 8);
  n = BuildWriteSingleRegister(address, static_cast<uint16_t>(kept | byte), request);
  return Transact(framing, station, {request.data(), n});
}

std::string CZireviVer::SplitKey(Framing framing, const Station& station, int area, int32_t first,
                                 int32_t count) const {
  char key[160];
  snprintf(key, sizeof key, "%d|%s:%u|%u|%d|%d|%d", static_cast<int>(framing),
           station.tcp ? station.endpoint.host.c_str() : "",
           static_cast<unsigned>(station.tcp ? station.endpoint.port : 0),
           static_cast<unsigned>(station.unit), area, first, count);
  return key;
}

bool CZireviVer::Write(RequestGroup& group, Framing framing, const Station& station, Via via) {
  const int area = group.areaIndex;
  if (area != kAreaCoils && area != kAreaHoldingRegisters) {
    SetLastError(kErrReadOnly);
    return false;
  }
  const bool lowWordFirst = (group.wordOrder & kLowWordFirst) != 0;
  // Writes never share a group; should a caller put several items in one, each is written on
  // its own, in order, and the first failure ends the call.
  return ForEachItem(group, [&](GroupItem& item) {
    const int32_t value = via == Via::kSecond ? item.value : item.bitOrLength;
    const uint16_t address = static_cast<uint16_t>(item.byteAddress - 1);
    if (item.byteAddress < 1)
      return false;
    std::array<uint8_t, kMaxPdu> request{};
    size_t n = 0;
    if (area == kAreaCoils) {
      if (item.dataType != kTypeBit)
        return false;
      n = BuildWriteSingleCoil(address, value != 0, request);
    } else {
      std::array<uint16_t, (kMaxStringLength + 1) / 2> words{};
      const size_t count =
          EncodeRegisters(item.dataType, lowWordFirst, StringLength(group), value, words);
      if (count == 0)
        return false;
      // 32-bit values and strings must arrive whole: one request for all their registers. A
      // byte is the register's low byte, and the high byte stays as the device holds it.
      if (item.dataType == kTypeByte) {
        if (!WriteLowByte(framing, station, address, static_cast<uint8_t>(words[0])))
          return false;
      } else if (count == 1 && !IsThirtyTwoBit(item.dataType) && item.dataType != kTypeString) {
        n = BuildWriteSingleRegister(address, words[0], request);
      } else {
        n = BuildWriteMultipleRegisters(address, {words.data(), count}, request);
      }
    }
    if (item.dataType != kTypeByte && (n == 0 || !Transact(framing, station, {request.data(), n})))
      return false;
    if (via == Via::kSecond) {
      item.quality = 192;
      platform::CoFileTimeNow(&item.updateTime);
    }
    return true;
  });
}

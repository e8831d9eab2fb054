#include "workbench/runtime/cdriver.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>

#include "platform/com.h"
#include "platform/gbk.h"
#include "workbench/project/new_records.h"
#include "workbench/runtime/tag_fields.h"

namespace talvek {

namespace {

// The NUL-terminated text of a fixed char array that may be full (no terminator): at most
// N - 1 bytes are kept, so the copy is always terminated.
template <std::size_t N, std::size_t M>
void CopyText(char (&dest)[N], const char (&src)[M]) {
  const std::size_t n = strnlen(src, std::min(M, N - 1));
  std::memcpy(dest, src, n);
  dest[n] = '\0';
}

// The address number after an area name: optional blanks and sign, then decimal digits up to
// the first other character; no digits give 0. Saturates instead of overflowing.
int32_t ParseAddressNumber(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t'))
    ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  int64_t n = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + (*p - '0');
    if (n > INT32_MAX) {
      n = INT32_MAX;
      break;
    }
  }
  return static_cast<int32_t>(negative ? -n : n);
}

}  // namespace

HRESULT CreateProtocolDriver(const CLSID& clsid, void** out) {
  return platform::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IProtocolDriver, out);
}

CDriver::CDriver(const DeviceRecord& device, const DriverEnvironment& env)
    : env_(env), device_(device) {
  if (!env_.factory)
    env_.factory = CreateProtocolDriver;
  if (FAILED(env_.factory(device_.descriptor.driverClsid, driver_.PutVoid())))
    driver_.Reset();

  if (driver_) {
    char model[sizeof device_.descriptor.model + 1];
    CopyText(model, device_.descriptor.model);
    const AddressArea* table = nullptr;
    int32_t count = 0;
    // A null table cannot be searched whatever count comes with it.
    if (driver_->GetRegisters(model, &table, &count) != 0 && table != nullptr && count > 0) {
      areas_ = table;
      areaCount_ = count;
    }
    if (SUCCEEDED(driver_->QueryInterface(IID_IProtocolDriver2, driver2_.PutVoid())) && driver2_) {
      mode_ = 2;
    } else {
      driver2_.Reset();
      mode_ = 1;
    }
    // The sink stays attached for the driver's life: exchanges run only on the polling thread
    // (or RunCycle's caller), and the destructor detaches it after that thread has ended.
    if (SUCCEEDED(driver_->QueryInterface(IID_IDriverTrace, trace_.PutVoid())) && trace_) {
      trace_->SetTraceSink(&sink_);
    } else {
      trace_.Reset();
    }
  }

  char portName[sizeof(CommSettings::portName)];
  std::snprintf(portName, sizeof portName, "Com%d", static_cast<int>(device_.portNumber));
  portSettings_ = DefaultPortEntry(device_.portNumber);
  if (env_.ports != nullptr) {
    for (const CommSettings& port : *env_.ports) {
      if (strncmp(port.portName, portName, sizeof port.portName) == 0) {
        portSettings_ = port;
        break;
      }
    }
  }
}

CDriver::~CDriver() {
  StopThread();
  readGroups_.clear();
  {
    std::lock_guard lock(writesMutex_);
    pendingWrites_.clear();
  }
  if (trace_) {
    trace_->SetTraceSink(nullptr);
    trace_.Reset();
  }
  driver2_.Reset();
  driver_.Reset();
}

bool CDriver::SetPortSettings(const CommSettings& settings) {
  if (thread_.joinable() || opened_.load(std::memory_order_acquire) != 0)
    return false;
  portSettings_ = settings;
  return true;
}

int CDriver::Open() {
  if (thread_.joinable())
    return opened_;  // polling: the port is in use and stays as it is
  return Connect();
}

std::string CDriver::ErrorText(int savedErrno) const {
  if (driver_) {
    if (const char* text = driver_->GetLastErrorText(); text != nullptr && text[0] != '\0')
      return text;
  }
  if (savedErrno == 0)
    return {};
  // The usual reasons in the user interface's language; the system's text for the rest.
  const char* text = nullptr;
  switch (savedErrno) {
    case ENOENT:
      text = "设备不存在";
      break;
    case ENXIO:
    case ENODEV:
    case EIO:
      text = "设备不存在或已拔出";
      break;
    case EACCES:
    case EPERM:
      text = "没有访问权限";
      break;
    case EBUSY:
      text = "设备正被占用";
      break;
    case ECONNREFUSED:
      text = "连接被拒绝";
      break;
    case ETIMEDOUT:
      text = "连接超时";
      break;
    case EHOSTUNREACH:
    case ENETUNREACH:
      text = "网络不可达";
      break;
    default:
      text = std::strerror(savedErrno);
      break;
  }
  std::string gbk;
  if (!platform::Utf8ToGbk(text, gbk))
    return {};
  return gbk;
}

int CDriver::Connect() {
  opened_ = 0;
  if (!driver_)
    return 0;
  auto fail = [this](int savedErrno) {
    std::string text = ErrorText(savedErrno);
    std::lock_guard lock(openErrorMutex_);
    openError_ = std::move(text);
    return 0;
  };
  char text[sizeof device_.station.addressText + 1];
  CopyText(text, device_.station.addressText);
  StationInfo scratch{};
  BOOL r = driver_->ParseStationAddress(text, &scratch);
  if (r == 0)
    return fail(0);
  errno = 0;
  r = driver_->OpenPort(1, &portSettings_);
  if (r == 0)
    return fail(errno);
  if (device_.descriptor.linkKind == kLinkTcpIp) {
    char model[sizeof device_.descriptor.model + 1];
    CopyText(model, device_.descriptor.model);
    errno = 0;
    r = driver_->InitLink(model, device_.station.stationNumber, &device_.station.stationNumber);
    if (r == 0) {
      const int savedErrno = errno;
      driver_->ClosePort();  // the port opened: a failed link must not keep it
      return fail(savedErrno);
    }
  }
  {
    std::lock_guard lock(openErrorMutex_);
    openError_.clear();
  }
  opened_.store(r, std::memory_order_release);
  return r;
}

std::string CDriver::OpenError() const {
  std::lock_guard lock(openErrorMutex_);
  return openError_;
}

namespace {

// A device's retry interval in ms: its retryIntervalSec, the default when that is not above 0
// (or beyond a day, which no wizard accepts).
uint32_t RetryMsOf(int32_t seconds) {
  if (seconds <= 0 || seconds > 24 * 3600)
    return kDefaultRetryIntervalMs;
  return static_cast<uint32_t>(seconds) * 1000u;
}

}  // namespace

uint32_t CDriver::RetryInterval() const {
  const uint32_t override = retryOverrideMs_.load(std::memory_order_relaxed);
  return override != 0 ? override : RetryMsOf(device_.retryIntervalSec);
}

std::chrono::milliseconds CDriver::StationRetry(const Station& station) const {
  const uint32_t override = retryOverrideMs_.load(std::memory_order_relaxed);
  return std::chrono::milliseconds(override != 0 ? override : RetryMsOf(station.retryIntervalSec));
}

std::size_t CDriver::StationSlot(const StationInfo& station) {
  const std::size_t length = strnlen(station.addressText, sizeof station.addressText);
  const std::string_view address(station.addressText, length);
  for (std::size_t i = 0; i < stations_.size(); ++i) {
    if (stations_[i].number == station.stationNumber && stations_[i].addressText == address)
      return i;
  }
  Station added;
  added.number = station.stationNumber;
  added.addressText.assign(address);
  StationHealth::Policy policy;
  for (const DeviceRecord& device : devices_) {
    if (device.station.stationNumber != station.stationNumber ||
        strnlen(device.station.addressText, sizeof device.station.addressText) != length ||
        std::memcmp(device.station.addressText, address.data(), length) != 0) {
      continue;
    }
    added.deviceName.assign(device.logicalName,
                            strnlen(device.logicalName, sizeof device.logicalName));
    added.retryIntervalSec = device.retryIntervalSec;
    policy.demote = device.dynamicOptimization != 0;
    if (device.recoveryLimitHours > 0 && device.recoveryLimitHours <= 24 * 365)
      policy.giveUpAfter = std::chrono::hours(device.recoveryLimitHours);
    break;
  }
  added.health = StationHealth(policy);
  added.stats.deviceName =
      added.deviceName.empty()
          ? std::string(device_.logicalName,
                        strnlen(device_.logicalName, sizeof device_.logicalName))
          : added.deviceName;
  added.stats.portNumber = device_.portNumber;
  added.stats.tcp = device_.descriptor.linkKind == kLinkTcpIp;
  std::lock_guard lock(statsMutex_);
  stations_.push_back(std::move(added));
  return stations_.size() - 1;
}

int CDriver::Close() {
  StopThread();
  const BOOL r = driver_ ? driver_->ClosePort() : 1;
  opened_ = r == 0 ? 1 : 0;
  return opened_;
}

int CDriver::StartThread() {
  if (thread_.joinable())
    return 0;
  {
    std::lock_guard lock(writesMutex_);
    stop_ = false;
  }
  ended_ = false;
  for (Station& station : stations_) {
    station.health.Reset();  // a restart asks every station again, given up or not
    station.lastCycleStart = {};
  }
  ResetStatistics();
  // A port that did not open is down until the thread's next try, not waiting for an answer.
  SetStationStates(opened_.load(std::memory_order_acquire) != 0 ? DeviceState::kWaiting
                                                                : DeviceState::kPortDown);
  try {
    thread_ = std::thread([this] { PollingLoop(); });
  } catch (const std::system_error&) {
    return 0;
  }
  ++threadStarts_;
  return 1;
}

void CDriver::RequestStop() {
  {
    // Under the tag-table mutex: a result being stored finishes first, and none follows.
    std::optional<platform::MutexLock> fence;
    if (env_.table != nullptr)
      fence.emplace(env_.table->Mutex());
    std::lock_guard lock(writesMutex_);
    stop_ = true;
  }
  wakeCv_.notify_all();
}

int CDriver::StopThread() {
  if (thread_.joinable()) {
    RequestStop();
    thread_.join();
  }
  return 1;
}

bool CDriver::JoinIfEnded() {
  if (!thread_.joinable())
    return true;
  if (!ended_.load(std::memory_order_acquire))
    return false;
  thread_.join();  // the thread has left its loop: this returns at once
  return true;
}

template <typename F>
bool CDriver::WithTags(F&& f) {
  std::optional<platform::MutexLock> fence;
  if (env_.table != nullptr)
    fence.emplace(env_.table->Mutex());
  if (StopRequested())
    return false;
  f();
  return true;
}

void CDriver::Report(RuntimeEvent::Kind kind, std::string tagName, std::string text,
                     bool interactive, const std::string* deviceName) {
  if (!env_.report)
    return;
  RuntimeEvent e;
  e.kind = kind;
  e.portNumber = device_.portNumber;
  e.tcp = device_.descriptor.linkKind == kLinkTcpIp;
  e.interactive = interactive;
  if (deviceName != nullptr) {
    e.deviceName = *deviceName;
  } else {
    e.deviceName.assign(device_.logicalName,
                        strnlen(device_.logicalName, sizeof device_.logicalName));
  }
  e.tagName = std::move(tagName);
  e.text = std::move(text);
  env_.report(std::move(e));
}

void CDriver::StoreQualityOfPolledTags(uint16_t quality) {
  if (env_.tags == nullptr)
    return;
  WithTags([&] {
    std::vector<TagRecord>& tags = *env_.tags;
    for (const std::unique_ptr<HostGroup>& host : readGroups_) {
      for (GroupItemNode* node = host->group.items.head; node != nullptr; node = node->next) {
        if (node->item != nullptr && node->item->tagIndex < tags.size())
          StoreQuality(tags[node->item->tagIndex], quality);
      }
    }
  });
}

void CDriver::MarkUnread() {
  if (thread_.joinable())
    return;  // polling: the qualities are live
  {
    std::lock_guard lock(writesMutex_);
    stop_ = false;  // no thread runs: nothing to fence off
  }
  StoreQualityOfPolledTags(kQualityWaitingForData);
}

int CDriver::OpenForPolling() {
  if (thread_.joinable())
    return opened_;
  MarkUnread();
  if (opened_.load(std::memory_order_acquire) != 0)
    return opened_;
  const int r = Connect();
  if (r == 0) {
    StoreQualityOfPolledTags(kQualityNotConnected);
    SetStationStates(DeviceState::kPortDown);
    Report(RuntimeEvent::Kind::kPortDown, {}, OpenError());
  }
  return r;
}

bool CDriver::ConvertItem(DriverItem* item, const char* model) {
  if (!driver_ || item == nullptr)
    return false;
  TagAddressInput in{};
  if (model != nullptr)
    std::memcpy(in.model, model, strnlen(model, sizeof in.model - 1));
  if (item->registerText != nullptr)
    std::memcpy(in.address, item->registerText, strnlen(item->registerText, sizeof in.address - 1));
  in.dataType = static_cast<int16_t>(item->dataType2);
  in.extra = static_cast<int16_t>(item->extra);
  return (driver_->ConvertUserConfigToVar(&in, item) & 0xFFFFu) == 0;
}

void CDriver::AddDevice(const DeviceRecord& device) {
  devices_.push_back(device);
}

int CDriver::FindArea(const char* text, std::size_t length) const {
  for (int32_t k = 0; k < areaCount_; ++k) {
    const char* name = areas_[k].name;
    const std::size_t n = strnlen(name, sizeof areas_[k].name);
    // An empty name would start every text and swallow every tag: it names no area.
    if (n > 0 && n <= length && std::memcmp(text, name, n) == 0)
      return static_cast<int>(k);
  }
  return -1;
}

std::unique_ptr<GroupItem> CDriver::MakeItem(uint16_t tagIndex, int area, int32_t value) const {
  const TagRecord& tag = (*env_.tags)[tagIndex];
  const std::size_t length = strnlen(tag.registerText, sizeof tag.registerText);
  const std::size_t nameLength = strnlen(areas_[area].name, sizeof areas_[area].name);
  auto item = std::make_unique<GroupItem>();
  item->tagIndex = tagIndex;
  item->byteAddress = static_cast<uint16_t>(
      ParseAddressNumber(tag.registerText + nameLength, tag.registerText + length));
  item->dataType = DataTypeFlagOf(tag.rawType);
  item->value = value;
  return item;
}

void CDriver::BuildReadGroups() {
  if (areaCount_ == 0 || env_.tags == nullptr)
    return;
  const std::vector<TagRecord>& tags = *env_.tags;
  const std::size_t count = std::min(tags.size(), kMaxAddressableTags);
  for (const DeviceRecord& device : devices_) {
    const std::size_t nameLength = strnlen(device.logicalName, sizeof device.logicalName);
    for (std::size_t i = 0; i < count; ++i) {
      const TagRecord& tag = tags[i];
      if (strnlen(tag.deviceName, sizeof tag.deviceName) != nameLength ||
          std::memcmp(tag.deviceName, device.logicalName, nameLength) != 0) {
        continue;
      }
      const int area =
          FindArea(tag.registerText, strnlen(tag.registerText, sizeof tag.registerText));
      if (area < 0)
        continue;  // not polled
      AddItem(MakeItem(static_cast<uint16_t>(i), area, 0), device.station, &areas_[area], 0);
    }
  }
}

int CDriver::WriteValue(std::size_t devicePos, uint16_t tagIndex, int32_t value, bool interactive) {
  if (areaCount_ == 0 || env_.tags == nullptr || devicePos >= devices_.size() ||
      tagIndex >= env_.tags->size()) {
    return 0;
  }
  const TagRecord& tag = (*env_.tags)[tagIndex];
  const int area = FindArea(tag.registerText, strnlen(tag.registerText, sizeof tag.registerText));
  if (area < 0)
    return 0;
  writeInteractive_ = interactive;
  const int placed =
      AddItem(MakeItem(tagIndex, area, value), devices_[devicePos].station, &areas_[area], 1);
  writeInteractive_ = false;
  return placed;
}

std::size_t CDriver::ModelId(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < models_.size(); ++i) {
    if (models_[i].size() == length && std::memcmp(models_[i].data(), text, length) == 0)
      return i;
  }
  models_.emplace_back(text, length);
  return models_.size() - 1;
}

int CDriver::AddItem(std::unique_ptr<GroupItem> item, const StationInfo& station,
                     const AddressArea* area, int writeFlag) {
  if (!item || env_.tags == nullptr || item->tagIndex >= env_.tags->size())
    return 0;
  const TagRecord& tag = (*env_.tags)[item->tagIndex];

  // The driver reads the register text through a pointer: hand it a terminated copy, as the
  // tag's array may be full. The station copy lives until the item is placed.
  char registerText[sizeof tag.registerText + 1];
  CopyText(registerText, tag.registerText);
  StationInfo stationCopy = station;

  DriverItem base{};
  base.tagIndex = item->tagIndex;
  base.varType = static_cast<int16_t>(tag.varType);
  std::memcpy(base.name, tag.name, sizeof base.name);
  base.reserved36 = 0;
  base.station = static_cast<int16_t>(station.stationNumber);
  base.stationCopy = &stationCopy;
  base.registerText = registerText;
  base.areaIndex = tag.registerIndex;
  base.dataType = 0;
  base.bitOrLength = 0;
  base.wordOrder = 0;
  base.byteAddress = static_cast<int16_t>(item->byteAddress);
  base.dataType2 = item->dataType;
  base.extra = static_cast<uint16_t>(writeFlag);
  base.reserved64 = 1000;
  base.reserved68 = 875;
  base.reserved72 = 0;
  base.reserved76 = 0xFFFF;
  base.reserved80 = 0;
  base.reserved84 = 1;
  base.reserved86 = 0;
  base.reserved88 = 0;

  // Each distinct model text converts the item once; every offer gets a fresh copy of that
  // conversion, because CanMergeItem may write into the item it is handed.
  convState_.assign(models_.size(), 0);
  convItems_.resize(models_.size());
  auto converted = [&](std::size_t modelId) -> const DriverItem* {
    if (modelId >= convState_.size()) {
      convState_.resize(modelId + 1, 0);
      convItems_.resize(modelId + 1);
    }
    if (convState_[modelId] == 0) {
      convItems_[modelId] = base;
      convState_[modelId] = ConvertItem(&convItems_[modelId], models_[modelId].c_str()) ? 1 : 2;
    }
    return convState_[modelId] == 1 ? &convItems_[modelId] : nullptr;
  };

  // Writes never join a read group: a read group belongs to the polling thread once it runs, and
  // a write merged into it would be read instead of written. Pending writes are never offered.
  if (writeFlag == 0) {
    for (const std::unique_ptr<HostGroup>& host : readGroups_) {
      RequestGroup& group = host->group;
      if (static_cast<int32_t>(group.station) != station.stationNumber)
        continue;
      const DriverItem* conversion = converted(host->modelId);
      if (conversion == nullptr)
        continue;
      DriverItem copy = *conversion;
      if (driver_->CanMergeItem(&copy, writeFlag, &group) == 1) {
        if (area->reserved & kAreaAddressFromDriver)
          item->byteAddress = static_cast<uint16_t>(conversion->byteAddress);
        item->bitOrLength = copy.bitOrLength;
        if (item->dataType == DataTypeFlagOf(kRawBit))
          item->bitNumber = static_cast<uint8_t>(copy.bitOrLength);
        AppendGroupItem(group.items, item.release());
        return 1;
      }
    }
  }

  // A group of its own.
  const std::size_t modelLength = strnlen(tag.driverModel, sizeof tag.driverModel);
  const std::size_t modelId = ModelId(tag.driverModel, modelLength);
  const DriverItem* conversion = converted(modelId);
  if (conversion == nullptr)
    return 0;
  auto host = std::make_unique<HostGroup>();
  host->modelId = modelId;
  if (writeFlag == 0)
    host->stationSlot = StationSlot(station);
  std::memcpy(host->model, tag.driverModel, modelLength);
  host->station.stationNumber = station.stationNumber;
  CopyText(host->station.addressText, station.addressText);
  RequestGroup& group = host->group;
  group.reserved0 = 0;
  group.station = static_cast<int16_t>(station.stationNumber);
  group.stationBuffer = &host->station;
  group.modelText = host->model;
  group.area = area;
  // The area the driver matched; it is the tag's registerIndex (the host's guess) unless the
  // driver says otherwise, so a stale registerIndex cannot send the request to another area.
  group.areaIndex = conversion->areaIndex;
  group.dataType = conversion->dataType;
  group.bitOrLength = conversion->bitOrLength;
  group.wordOrder = conversion->wordOrder;
  // An area whose text names more than the address (a data block) takes the driver's address.
  if (area->reserved & kAreaAddressFromDriver)
    item->byteAddress = static_cast<uint16_t>(conversion->byteAddress);
  group.startAddress = item->byteAddress;
  group.endAddress = item->byteAddress;
  group.writeFlag = static_cast<uint16_t>(writeFlag);
  group.items.blockSize = 10;
  item->bitOrLength = conversion->bitOrLength;
  if (item->dataType == DataTypeFlagOf(kRawBit))
    item->bitNumber = static_cast<uint8_t>(conversion->bitOrLength);
  AppendGroupItem(group.items, item.release());

  if (writeFlag != 0) {
    host->tagName.assign(tag.name, strnlen(tag.name, sizeof tag.name));
    host->interactive = writeInteractive_;
    {
      std::lock_guard lock(writesMutex_);
      pendingWrites_.push_back(std::move(host));
    }
    wakeCv_.notify_all();  // the polling thread sends it after the exchange in progress
  } else {
    readGroups_.push_back(std::move(host));
  }
  return 1;
}

std::size_t CDriver::PendingWriteCount() const {
  std::lock_guard lock(writesMutex_);
  return pendingWrites_.size();
}

BOOL CDriver::Execute(RequestGroup* group) {
  if (mode_ == 2)
    return driver2_->ExecuteGroupEx(group);
  return driver_->ExecuteGroup(group);
}

int CDriver::RunCycle() {
  if (thread_.joinable())
    return 0;  // the polling thread owns the cycle
  {
    std::lock_guard lock(writesMutex_);
    stop_ = false;  // no thread runs: nothing to fence off
  }
  Cycle();
  return 1;
}

void CDriver::RunWrites() {
  // Writes queued until now, each executed once, then freed whatever the outcome.
  std::vector<std::unique_ptr<HostGroup>> writes;
  {
    std::lock_guard lock(writesMutex_);
    writes.swap(pendingWrites_);
  }
  for (const std::unique_ptr<HostGroup>& host : writes) {
    if (opened_.load(std::memory_order_acquire) == 0) {
      // Not sent: the port is not open. The reason the open failed says why.
      Report(RuntimeEvent::Kind::kWriteFailed, host->tagName, OpenError(), host->interactive);
      continue;
    }
    errno = 0;
    if (Execute(&host->group) != 0) {
      Report(RuntimeEvent::Kind::kWriteDone, host->tagName, {}, host->interactive);
    } else {
      Report(RuntimeEvent::Kind::kWriteFailed, host->tagName, ErrorText(errno), host->interactive);
    }
  }
}

void CDriver::ApplyGroup(const RequestGroup& group, BOOL r) {
  std::vector<TagRecord>& tags = *env_.tags;
  WithTags([&] {
    // The table is never reordered while polling, but a result must still land inside it.
    const std::size_t size = tags.size();
    for (GroupItemNode* node = group.items.head; node != nullptr; node = node->next) {
      GroupItem* item = node->item;
      if (item == nullptr || item->tagIndex >= size)
        continue;
      TagRecord& tag = tags[item->tagIndex];
      if (r == 0) {
        // A failed read says nothing about the value: it, the raw value and the time stay.
        StoreQuality(tag, kQualityBad);
        continue;
      }
      if (mode_ == 2) {
        // An item the driver marked bad inside a successful group (a value it could not decode)
        // is a failed read of that tag alone.
        if ((item->quality & 0xC0) == 0) {
          StoreQuality(tag, item->quality);
          continue;
        }
        env_.table->ApplyResult(item);
        continue;
      }
      const int32_t v = item->bitOrLength;
      bool copied = true;
      switch (tag.rawType) {
        case kRawBit:
          StoreRawWord(tag, v);
          break;
        case kRawInt16:
          StoreRawWord(
              tag, static_cast<int32_t>((static_cast<uint32_t>(LoadRawWord(tag)) & 0xFFFF0000u) |
                                        (static_cast<uint32_t>(v) & 0xFFFFu)));
          break;
        case kRawString:
          if ((v & 0xFFFF) != 0) {
            StoreRawWord(
                tag, static_cast<int32_t>((static_cast<uint32_t>(LoadRawWord(tag)) & 0xFFFF0000u) |
                                          (static_cast<uint32_t>(v) & 0xFFFFu)));
          }
          break;
        default:
          copied = false;  // the first interface gives no value of this type
          break;
      }
      // The raw word is live now; a type whose value never arrives stays as it was.
      if (copied)
        StoreQuality(tag, kQualityGood);
    }
  });
}

bool CDriver::Cycle() {
  if (!driver_ || env_.tags == nullptr || (mode_ == 2 && env_.table == nullptr))
    return true;
  RunWrites();
  if (opened_.load(std::memory_order_acquire) == 0)
    return true;  // nothing can be read; the writes have been reported
  const StationHealth::Clock::time_point now = StationHealth::Clock::now();
  for (Station& station : stations_) {
    station.asked = station.health.ShouldPoll(now, StationRetry(station));
    station.executed = 0;
    station.failed = 0;
    if (station.asked) {
      if (station.lastCycleStart != StationHealth::Clock::time_point{}) {
        std::lock_guard lock(statsMutex_);
        station.stats.cycleMs =
            std::chrono::duration<double, std::milli>(now - station.lastCycleStart).count();
      }
      station.lastCycleStart = now;
    }
  }
  std::size_t executed = 0;
  std::size_t failed = 0;
  for (const std::unique_ptr<HostGroup>& host : readGroups_) {
    RequestGroup& group = host->group;
    if (group.writeFlag != 0 || group.items.count == 0 || group.items.head == nullptr)
      continue;  // nothing to read
    Station& station = stations_[host->stationSlot];
    // A demoted station's retry costs one time-out at most: its other groups wait for an answer.
    if (!station.asked || (station.health.Demoted() && station.failed > 0))
      continue;
    // A stop waits at most for one exchange, and a write queued meanwhile goes out now.
    if (StopRequested())
      return false;
    RunWrites();
    errno = 0;
    exchangeEvent_ = kTraceNoEvent;
    exchangeText_.clear();
    const auto start = StationHealth::Clock::now();
    const BOOL r = Execute(&group);
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(StationHealth::Clock::now() - start).count();
    ++executed;
    ++station.executed;
    if (r == 0) {
      ++failed;
      ++station.failed;
      // What the driver traced says why; errno after a failed exchange may be a stale
      // "operation in progress" of a socket and is not used here.
      station.lastError = exchangeText_.empty() ? ErrorText(0) : exchangeText_;
    }
    CountRequest(station, r, elapsedMs);
    ApplyGroup(group, r);
  }
  RecordStations();
  // A cycle in which every station was set aside says nothing about the line.
  if (executed > 0)
    allFailed_ = failed == executed;
  return !StopRequested();
}

void CDriver::RecordStations() {
  const StationHealth::Clock::time_point now = StationHealth::Clock::now();
  for (Station& station : stations_) {
    if (station.executed == 0)
      continue;
    const bool answered = station.failed < station.executed;
    const StationHealth::Change change = station.health.Record(answered, now);
    {
      std::lock_guard lock(statsMutex_);
      DeviceStatistics& stats = station.stats;
      stats.consecutiveFailures = answered ? 0 : stats.consecutiveFailures + 1;
      stats.state = station.health.GivenUp()   ? DeviceState::kGivenUp
                    : station.health.Demoted() ? DeviceState::kDemoted
                    : answered                 ? DeviceState::kGood
                                               : DeviceState::kFailing;
    }
    switch (change) {
      case StationHealth::Change::kNone:
        break;
      case StationHealth::Change::kDemoted:
        Report(RuntimeEvent::Kind::kDeviceDemoted, {}, station.lastError, false,
               &station.deviceName);
        break;
      case StationHealth::Change::kPromoted:
        Report(RuntimeEvent::Kind::kDevicePromoted, {}, {}, false, &station.deviceName);
        break;
      case StationHealth::Change::kGivenUp:
        Report(RuntimeEvent::Kind::kDeviceGivenUp, {}, station.lastError, false,
               &station.deviceName);
        break;
    }
  }
}

void CDriver::PollingLoop() {
  using Clock = std::chrono::steady_clock;
  const auto period = [this] {
    return std::chrono::milliseconds(cyclePeriodMs_.load(std::memory_order_relaxed));
  };
  const auto retry = [this] { return std::chrono::milliseconds(RetryInterval()); };
  // StartAll opened the port (or reported why it did not) just before.
  bool down = opened_.load(std::memory_order_acquire) == 0;
  bool lineFailed = false;
  auto lastOpen = Clock::now();
  auto deadline = Clock::now() + (down ? retry() : period());
  for (;;) {
    bool writes = false;
    {
      std::unique_lock lock(writesMutex_);
      wakeCv_.wait_until(lock, deadline,
                         [this] { return stop_.load() || !pendingWrites_.empty(); });
      if (stop_)
        break;
      writes = !pendingWrites_.empty();
    }
    if (writes) {
      RunWrites();
      if (Clock::now() < deadline)
        continue;  // woken for the writes alone: the idle wait goes on
    }

    if (opened_.load(std::memory_order_acquire) == 0) {
      // The port is down: try it again, and when it opens poll at once.
      if (Connect() == 0) {
        StoreQualityOfPolledTags(kQualityNotConnected);
        SetStationStates(DeviceState::kPortDown);
        if (!down)
          Report(RuntimeEvent::Kind::kPortDown, {}, OpenError());
        down = true;
        deadline = Clock::now() + retry();
        continue;
      }
      lastOpen = Clock::now();
      if (down)
        Report(RuntimeEvent::Kind::kPortUp);
      down = false;
      lineFailed = false;
    }

    if (!Cycle())
      break;
    if (!allFailed_) {
      if (lineFailed)
        Report(RuntimeEvent::Kind::kPortUp);
      lineFailed = false;
    } else {
      if (!lineFailed)
        Report(RuntimeEvent::Kind::kLineFailed, {}, ErrorText(0));
      lineFailed = true;
      // Every read failed: the line may have hung up (an adapter pulled, a peer restarted), and
      // only a new open finds it again. Reopened at most once per retry interval, at once.
      if (Clock::now() - lastOpen >= retry()) {
        driver_->ClosePort();
        opened_ = 0;
        if (Connect() == 0) {
          StoreQualityOfPolledTags(kQualityNotConnected);
          SetStationStates(DeviceState::kPortDown);
          Report(RuntimeEvent::Kind::kPortDown, {}, OpenError());
          down = true;
          deadline = Clock::now() + retry();
          continue;
        }
        lastOpen = Clock::now();
      }
    }
    deadline = Clock::now() + period();
  }
  // Writes queued but not sent when communication stopped are not lost without a word.
  std::vector<std::unique_ptr<HostGroup>> unsent;
  {
    std::lock_guard lock(writesMutex_);
    unsent.swap(pendingWrites_);
  }
  for (const std::unique_ptr<HostGroup>& host : unsent)
    Report(RuntimeEvent::Kind::kWriteFailed, host->tagName,
           platform::Utf8ToGbk("通讯已停止，没有发送"), host->interactive);
  ended_.store(true, std::memory_order_release);
}

void CDriver::CountRequest(Station& station, BOOL result, double elapsedMs) {
  std::lock_guard lock(statsMutex_);
  DeviceStatistics& stats = station.stats;
  ++stats.requests;
  if (result != 0) {
    ++stats.answers;
    stats.lastResponseMs = elapsedMs;
    stats.maxResponseMs = std::max(stats.maxResponseMs, elapsedMs);
    station.responseSumMs += elapsedMs;
    stats.meanResponseMs = station.responseSumMs / static_cast<double>(stats.answers);
    return;
  }
  switch (exchangeEvent_) {
    case kTraceTimeout:
      ++stats.timeouts;
      break;
    case kTraceBadChecksum:
    case kTraceBadFormat:
      ++stats.badFrames;
      break;
    case kTraceRefused:
      ++stats.refusals;
      break;
    default:
      ++stats.otherFailures;
      break;
  }
  stats.lastError = station.lastError;
  stats.lastErrorTimeUs = TraceTimeNow();
}

void CDriver::SetStationStates(DeviceState state) {
  std::lock_guard lock(statsMutex_);
  for (Station& station : stations_)
    station.stats.state = state;
}

std::vector<DeviceStatistics> CDriver::Statistics() const {
  std::lock_guard lock(statsMutex_);
  std::vector<DeviceStatistics> out;
  out.reserve(stations_.size());
  for (const Station& station : stations_)
    out.push_back(station.stats);
  return out;
}

void CDriver::ResetStatistics() {
  std::lock_guard lock(statsMutex_);
  for (Station& station : stations_) {
    DeviceStatistics& stats = station.stats;
    DeviceStatistics fresh;
    fresh.deviceName = stats.deviceName;
    fresh.portNumber = stats.portNumber;
    fresh.tcp = stats.tcp;
    fresh.state = stats.state;
    stats = std::move(fresh);
    station.responseSumMs = 0;
  }
}

void CDriver::OnTrace(const TraceRecord* record) {
  if (record == nullptr)
    return;
  // The first failure of the exchange says why it failed; a reconnect that follows does not.
  if (record->kind == kTraceEvent && exchangeEvent_ == kTraceNoEvent &&
      record->event != kTraceReconnect) {
    exchangeEvent_ = record->event;
    if (record->text != nullptr)
      exchangeText_ = record->text;
  }
  if (env_.trace == nullptr || !env_.trace->Enabled())
    return;
  TraceEntry entry;
  entry.timeUs = record->timeUs;
  entry.portNumber = device_.portNumber;
  entry.tcp = device_.descriptor.linkKind == kLinkTcpIp;
  entry.station = record->station;
  entry.kind = record->kind;
  entry.event = record->event;
  entry.code = record->code;
  if (record->bytes != nullptr && record->length > 0)
    entry.bytes.assign(record->bytes, record->bytes + record->length);
  if (record->text != nullptr)
    entry.text = record->text;
  for (const Station& station : stations_) {
    if (station.number == record->station) {
      entry.deviceName = station.deviceName;
      break;
    }
  }
  if (entry.deviceName.empty())
    entry.deviceName.assign(device_.logicalName,
                            strnlen(device_.logicalName, sizeof device_.logicalName));
  env_.trace->Push(std::move(entry));
}

}  // namespace talvek

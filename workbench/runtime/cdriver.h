// CDriver: one protocol driver object serving every device on one serial port, the read requests
// built from those devices' tags, a queue of pending writes and the polling thread.
//
// Life of a driver (all on the user-interface thread except the polling thread itself):
//
//   CDriver d(device, env);        // creates the protocol driver, lists its address areas
//   d.AddDevice(device);           // every device on the port, the creating one first
//   d.BuildReadGroups();           // tags -> read groups, merged as the protocol driver allows
//   d.MarkUnread();                // the stored qualities are history: "waiting for data"
//   d.Open(); d.StartThread();     // connect, then poll every CyclePeriod() ms; a port that did
//                                  // not open is tried again every retry interval
//   d.WriteValue(0, tag, raw);     // queued; the thread wakes and sends it after the exchange
//                                  // in progress
//   d.RequestStop();               // returns at once; the thread ends after its exchange
//   d.JoinIfEnded(); d.Close();    // or StopThread(), which waits
//
// Threads and locks. The polling thread is the only caller of ExecuteGroup/ExecuteGroupEx,
// OpenPort and ClosePort once it runs, and the only reader of the read groups; the groups are
// built before it starts and never change while it runs. The pending-write list and the stop flag
// share a mutex and a condition variable: the user-interface thread appends a finished write
// group under it (while holding the tag-table mutex, as the writers do) and wakes the thread, and
// the polling thread takes the whole list under it and executes the writes with no lock held, so
// the tag-table mutex is never held across a request on the wire.
//
// Results go into the tag table with the tag-table mutex held, and only while no stop was asked
// for; RequestStop sets the stop flag under the same mutex. So once RequestStop has returned, the
// thread never touches the tag table again, even while it still finishes an exchange: the table
// may be saved, emptied or reloaded without waiting for the line.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/driver_contract.h"
#include "common/driver_trace.h"
#include "common/records.h"
#include "platform/com_ptr.h"
#include "platform/sync.h"
#include "workbench/project/driver_host_interface.h"
#include "workbench/runtime/station_health.h"
#include "workbench/runtime/tag_table.h"
#include "workbench/runtime/trace_buffer.h"

namespace talvek {

// Creates a protocol driver object of class `clsid` and returns its IProtocolDriver in *out
// (one reference). The default is CoCreateInstance (in-process server); tests and benchmarks
// may hand in objects of their own.
using DriverFactory = std::function<HRESULT(const CLSID& clsid, void** out)>;

// CoCreateInstance(clsid, no outer object, CLSCTX_INPROC_SERVER, IID_IProtocolDriver).
HRESULT CreateProtocolDriver(const CLSID& clsid, void** out);

// The default polling period: the idle wait between two cycles.
inline constexpr uint32_t kDefaultCyclePeriodMs = 1000;
// The wait between two attempts to open a port, when the device's retryIntervalSec is not above 0.
inline constexpr uint32_t kDefaultRetryIntervalMs = 10000;

// Quality codes the host itself stores (OPC Data Access): a polled tag not read yet since
// communication started, and the tags of a port that could not be opened.
inline constexpr uint16_t kQualityWaitingForData = 0x20;
inline constexpr uint16_t kQualityNotConnected = 0x08;
inline constexpr uint16_t kQualityBad = 0x00;
inline constexpr uint16_t kQualityGood = 0xC0;

// What a driver works on. All of it must outlive the driver.
struct DriverEnvironment {
  std::vector<TagRecord>* tags = nullptr;            // the runtime tag table's records
  const std::vector<CommSettings>* ports = nullptr;  // the project's port table
  RuntimeTagTable* table = nullptr;                  // ApplyResult for IProtocolDriver2 drivers
  DriverFactory factory;                             // empty: CreateProtocolDriver
  // Where write outcomes and port state changes go (any thread); empty: nowhere.
  std::function<void(RuntimeEvent&&)> report;
  // Where the driver's frames and events go while it is enabled; null: nowhere.
  TraceBuffer* trace = nullptr;
};

class CDriver final {
 public:
  // Creates the stop event (manual reset, not signalled) and the protocol driver for the
  // device's class, fetches its address areas (none when GetRegisters fails or answers a null
  // table), picks mode 2 when the object also answers IProtocolDriver2, else mode 1, and copies
  // the port settings of "Com<portNumber>" (the default settings when the port table has no such
  // entry). Never throws; a driver that cannot be created serves nothing and never opens.
  CDriver(const DeviceRecord& device, const DriverEnvironment& env);
  // Stops the polling thread if it runs, frees every group with its items, releases both
  // interfaces.
  ~CDriver();
  CDriver(const CDriver&) = delete;
  CDriver& operator=(const CDriver&) = delete;

  // Connects: ParseStationAddress of the device's address text (into a scratch record), OpenPort
  // (mode 1, the port settings), InitLink for a TCP/IP device. Returns and records the last
  // result (0 at the first failure; OpenError() then says why). While the thread runs the port is
  // left as it is.
  int Open();
  // Stops the polling thread first (a port never closes under a request), then ClosePort;
  // opened becomes 0 after a successful close. Returns opened.
  int Close();
  // Clears the stop flag and starts the polling thread; 0 when a thread already runs (or cannot
  // be started), else 1. The thread runs whether or not Open succeeded: a port that is not open
  // is opened again every retry interval.
  int StartThread();
  // RequestStop, then waits until the thread has ended (at most the exchange in progress). 1.
  int StopThread();
  // Asks the thread to stop and returns at once; from now on it stores nothing into the tag table
  // and ends after the exchange it is in.
  void RequestStop();
  // Joins the thread when it has ended; true when no thread is left. Never waits for a line.
  bool JoinIfEnded();
  // The result of the last Open (0 = not connected, also after Close).
  int IsOpen() const { return opened_.load(std::memory_order_acquire); }
  // Why the last Open failed (GBK; the driver's error text, else the system's), else empty.
  std::string OpenError() const;

  // MarkUnread, Open unless open, and when that fails kQualityNotConnected for every polled tag
  // and a kPortDown report. The result of Open, or the opened value when already open.
  int OpenForPolling();
  // True once a stop was asked for and until the next StartThread.
  bool StopRequested() const { return stop_.load(std::memory_order_acquire); }
  // Sets the quality of every polled tag to kQualityWaitingForData: the stored qualities are
  // history until the tag's first read. Takes the tag-table mutex.
  void MarkUnread();
  // The wait between two attempts to open the port: the device's retryIntervalSec, 10 s when
  // that is not above 0; SetRetryInterval overrides it (0 = the device's).
  void SetRetryInterval(uint32_t ms) { retryOverrideMs_.store(ms, std::memory_order_relaxed); }
  uint32_t RetryInterval() const;

  // Converts a tag address for `model` (ConvertUserConfigToVar); true when the low 16 bits of the
  // answer are 0 (accepted).
  bool ConvertItem(DriverItem* item, const char* model);
  // Appends a copy of `device` to the devices served by this driver.
  void AddDevice(const DeviceRecord& device);
  // Builds the read groups from the tags of every device, devices in order, tags in index order.
  // Only the first 65536 tags are addressable (tag indexes travel as 16 bits).
  void BuildReadGroups();
  // Queues the write of raw `value` to the tag at `tagIndex` of device `devicePos` and wakes the
  // polling thread. Runs on the user-interface thread with the tag-table mutex held. 1 when
  // queued; 0 when the driver has no areas, the tag's register text starts with no area name or
  // the driver refuses the address. Every queued write is reported once it has been executed (or
  // failed because the port is not open). `interactive` travels into that report.
  int WriteValue(std::size_t devicePos, uint16_t tagIndex, int32_t value, bool interactive = false);
  // Places `item` (owned from now on): a read is offered to the read groups of the same station in
  // order and joins the first that accepts it, else opens a new group; a write always gets a group
  // of its own, appended to the pending writes. 1 when placed, 0 when the driver refused the
  // address (the item is freed).
  int AddItem(std::unique_ptr<GroupItem> item, const StationInfo& station, const AddressArea* area,
              int writeFlag);

  // One polling cycle: the pending writes once, then every read group (writes queued meanwhile
  // go out between two groups), results into the tags. A failed read changes only the qualities
  // of its tags. A demoted station (see StationHealth) is asked only when its retry is due, and
  // that retry stops at its first failed group; a given-up station is not asked. The polling
  // thread runs it; tests may run it directly while no thread runs (then 1, else 0).
  int RunCycle();
  // The idle wait between cycles, in ms (default 1000). Takes effect at the next wait.
  void SetCyclePeriod(uint32_t ms) { cyclePeriodMs_.store(ms, std::memory_order_relaxed); }
  uint32_t CyclePeriod() const { return cyclePeriodMs_.load(std::memory_order_relaxed); }

  // The counters of every station polled (see DeviceStatistics), in first-poll order. Any thread.
  std::vector<DeviceStatistics> Statistics() const;
  // Sets the counters back to zero; states stay. Any thread.
  void ResetStatistics();
  // True when the protocol driver offers the trace channel (and the host's sink is attached).
  bool HasTrace() const { return static_cast<bool>(trace_); }

  // 2 when the driver is polled through IProtocolDriver2, 1 through IProtocolDriver.
  int Mode() const { return mode_; }
  // False when the protocol driver object could not be created.
  bool HasDriver() const { return static_cast<bool>(driver_); }
  // The number of usable address areas (0 when GetRegisters failed).
  int32_t AreaCount() const { return areaCount_; }
  // The creating device (its station, model and port are the ones used to connect).
  const DeviceRecord& Device() const { return device_; }
  // Every device served, the creating device first.
  const std::vector<DeviceRecord>& Devices() const { return devices_; }
  // The port settings handed to OpenPort (kept at this address while the port is open).
  const CommSettings& PortSettings() const { return portSettings_; }
  // Replaces those settings, for a line named outside the project's port table (a device path or
  // settings given on a command line). Only while the port is closed and no thread runs (else
  // false and nothing changes).
  bool SetPortSettings(const CommSettings& settings);
  // The read groups, in execution order.
  std::size_t ReadGroupCount() const { return readGroups_.size(); }
  const RequestGroup& ReadGroup(std::size_t i) const { return readGroups_[i]->group; }
  // The queued writes not yet taken by a cycle.
  std::size_t PendingWriteCount() const;
  // True while a polling thread exists (also one that has ended and is not joined yet).
  bool HasThread() const { return thread_.joinable(); }
  // True when no thread runs: none was started, or it has ended.
  bool ThreadEnded() const { return !thread_.joinable() || ended_.load(std::memory_order_acquire); }
  // How many polling threads this driver has started in its life.
  int ThreadStarts() const { return threadStarts_; }

 private:
  // A request group with the buffers it points at: the station copy and the model text.
  struct HostGroup {
    HostGroup() = default;
    ~HostGroup() { ClearGroupItems(group.items); }
    HostGroup(const HostGroup&) = delete;
    HostGroup& operator=(const HostGroup&) = delete;

    RequestGroup group{};
    StationInfo station{};
    char model[sizeof(TagRecord::driverModel) + 1] = {};
    std::size_t modelId = 0;      // index into models_, for the conversion cache
    std::size_t stationSlot = 0;  // reads: index into stations_
    // Writes: whom the outcome names.
    std::string tagName;
    bool interactive = false;
  };

  // A station of the line (number and address text) with the device that names it and how it
  // fares. Built with the read groups; the polling thread alone uses it once it runs.
  struct Station {
    int32_t number = 0;
    std::string addressText;
    std::string deviceName;        // GBK logical name of the first device with this station
    int32_t retryIntervalSec = 0;  // that device's retry interval
    StationHealth health;
    // This cycle: asked at all, groups executed, groups failed, the last failure's text.
    bool asked = false;
    std::size_t executed = 0;
    std::size_t failed = 0;
    std::string lastError;
    std::chrono::steady_clock::time_point lastCycleStart{};  // of its last polled cycle
    // Shown to any thread: guarded by statsMutex_.
    DeviceStatistics stats;
    double responseSumMs = 0;  // of stats.answers
  };

  // The host's end of the driver's trace channel: classifies the failure of the exchange in
  // progress and copies frames into the trace buffer while it is enabled.
  class TraceSink final : public ITraceSink {
   public:
    explicit TraceSink(CDriver& owner) : owner_(owner) {}
    void Trace(const TraceRecord* record) override { owner_.OnTrace(record); }

   private:
    CDriver& owner_;
  };
  void OnTrace(const TraceRecord* record);
  // Counts one executed group of `station` into its statistics.
  void CountRequest(Station& station, BOOL result, double elapsedMs);
  // Stores `state` into every station's statistics.
  void SetStationStates(DeviceState state);

  // The slot of `station` in stations_, added (with its device's recovery settings) when new.
  std::size_t StationSlot(const StationInfo& station);
  // The wait between two attempts to ask a demoted station.
  std::chrono::milliseconds StationRetry(const Station& station) const;
  // Feeds a cycle's outcome into each asked station's health and reports changes of state.
  void RecordStations();

  // The first area whose (non-empty) name starts `text`; -1 when none does.
  int FindArea(const char* text, std::size_t length) const;
  // A GroupItem for the tag at `tagIndex`: address number after the area's name, type flag.
  std::unique_ptr<GroupItem> MakeItem(uint16_t tagIndex, int area, int32_t value) const;
  // The id of a model text in models_, added when new.
  std::size_t ModelId(const char* text, std::size_t length);
  // Executes one group through the driver's polling interface.
  BOOL Execute(RequestGroup* group);
  // ParseStationAddress, OpenPort, InitLink; records opened_ and the reason of a failure.
  int Connect();
  // The driver's last error text (GBK), else the system's text for errno, else empty.
  std::string ErrorText(int savedErrno) const;
  // The polling thread's cycle: false when it ended early for a stop.
  bool Cycle();
  // Executes the queued writes and reports each outcome.
  void RunWrites();
  // Stores a read group's results, or only quality 0 for a failed read.
  void ApplyGroup(const RequestGroup& group, BOOL result);
  // Stores `quality` into every polled tag, unless a stop was asked for.
  void StoreQualityOfPolledTags(uint16_t quality);
  // Runs `f` with the tag-table mutex held; false (and `f` not run) once a stop was asked for.
  template <typename F>
  bool WithTags(F&& f);
  void Report(RuntimeEvent::Kind kind, std::string tagName = {}, std::string text = {},
              bool interactive = false, const std::string* deviceName = nullptr);
  void PollingLoop();

  DriverEnvironment env_;
  std::vector<std::unique_ptr<HostGroup>> readGroups_;
  mutable std::mutex writesMutex_;  // guards pendingWrites_ and the wake-ups of wakeCv_
  std::condition_variable wakeCv_;  // a write was queued or a stop asked for
  std::vector<std::unique_ptr<HostGroup>> pendingWrites_;  // guarded by writesMutex_
  std::atomic<bool> stop_{false};   // set under writesMutex_ and the tag-table mutex
  std::atomic<bool> ended_{false};  // the thread has left its loop
  std::atomic<int> opened_{0};
  mutable std::mutex openErrorMutex_;
  std::string openError_;   // guarded by openErrorMutex_
  bool allFailed_ = false;  // polling thread: every read of the last cycle failed
  std::atomic<uint32_t> retryOverrideMs_{0};
  bool writeInteractive_ = false;  // user-interface thread: WriteValue's flag for AddItem
  DeviceRecord device_{};
  CommSettings portSettings_{};
  std::vector<DeviceRecord> devices_;
  std::vector<Station> stations_;
  mutable std::mutex statsMutex_;  // guards each Station's stats and responseSumMs
  // The exchange in progress (polling thread): the first failure event the driver traced.
  int32_t exchangeEvent_ = kTraceNoEvent;
  std::string exchangeText_;            // that event's text (GBK)
  const AddressArea* areas_ = nullptr;  // owned by the protocol driver
  int32_t areaCount_ = 0;
  std::thread thread_;
  int threadStarts_ = 0;
  std::atomic<uint32_t> cyclePeriodMs_{kDefaultCyclePeriodMs};
  platform::ComPtr<IProtocolDriver> driver_;
  platform::ComPtr<IProtocolDriver2> driver2_;  // released before driver_
  platform::ComPtr<IDriverTrace> trace_;        // detached and released before driver_
  TraceSink sink_{*this};
  int mode_ = 1;

  // Distinct model texts of the groups and, per AddItem, each text's conversion of the item
  // (user-interface thread only): ConvertItem's result depends only on the model text and the
  // item, so it is computed once per text instead of once per group offered.
  std::vector<std::string> models_;
  std::vector<uint8_t> convState_;  // 0 not yet converted, 1 accepted, 2 refused
  std::vector<DriverItem> convItems_;
};

}  // namespace talvek

#include "workbench/project/talvek_doc.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/testing/test_support.h"
#include "platform/gbk.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/window_messages.h"
#include "workbench/project/app_profile.h"
#include "workbench/project/data_files.h"
#include "workbench/project/new_records.h"
#include "workbench/project/tests/project_test_util.h"

namespace talvek {
namespace {

namespace fs = std::filesystem;
using project_testing::Gbk;
using project_testing::Utf8;
using testing_support::ReadFileBytes;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

constexpr char kFakePlugin[] = "FakeAlmery.dll";

// Everything the document did, in order, as text: "Hint:268435456", "DestroyDrivers", ...
using Log = std::vector<std::string>;

std::string HintEntry(std::uint32_t hint) {
  return "Hint:" + std::to_string(hint);
}

// A driver host that records its calls and what the tables held at the time.
class RecordingHost final : public DriverHostInterface {
 public:
  RecordingHost(Log& log, const ProjectState& state) : log_(log), state_(state) {}

  int CreateDrivers(const char* deviceFilePath) override {
    log_.push_back("CreateDrivers");
    createPath = deviceFilePath;
    devicesAtCreate = state_.devices.GetSize();
    tagsAtCreate = state_.tags.size();
    return 1;
  }
  void DestroyDrivers() override {
    log_.push_back("DestroyDrivers");
    if (polling)
      log_.push_back("DestroyDrivers while polling");
    tablesEmptyAtDestroy = state_.devices.IsEmpty() && state_.tags.empty() &&
                           state_.ports.empty() && state_.screens.empty();
    if (onDestroy)
      onDestroy();
  }
  void StartAll() override {
    log_.push_back("StartAll");
    polling = true;
  }
  void StopAll() override {
    log_.push_back("StopAll");
    polling = false;
  }
  bool IsPolling() const override { return polling; }

  bool polling = false;
  std::string createPath;
  std::size_t devicesAtCreate = 0;
  std::size_t tagsAtCreate = 0;
  bool tablesEmptyAtDestroy = false;
  std::function<void()> onDestroy;

 private:
  Log& log_;
  const ProjectState& state_;
};

// A main window that records what the document asks of it. Its stop command behaves like the
// main frame's: the host's StopAll, then the running flag cleared.
class RecordingWindow final : public DocumentWindow {
 public:
  explicit RecordingWindow(Log& log) : log_(log) {}

  void SetTitle(std::string_view text) override {
    title = text;
    log_.push_back("Title:" + title);
  }
  void UpdateAllViews(std::uint32_t hint) override {
    hints.push_back(hint);
    log_.push_back(HintEntry(hint));
  }
  void SetToolbarLook(ToolbarLook value) override {
    look = value;
    log_.push_back("Look:" + std::to_string(static_cast<int>(value)));
  }
  void AddToRecentFileList(std::string_view path) override {
    recent.insert(recent.begin(), std::string(path));
  }
  void StopCommunication() override {
    log_.push_back("StopCommunication");
    if (!running || stopDoesNothing)
      return;
    host->StopAll();
    running = false;
  }
  bool IsCommunicationRunning() const override { return running; }

  RecordingHost* host = nullptr;
  bool running = false;
  bool stopDoesNothing = false;  // as the stop command of a project without devices
  std::string title;
  std::vector<std::uint32_t> hints;
  std::vector<std::string> recent;
  ToolbarLook look = ToolbarLook::kNoProject;

 private:
  Log& log_;
};

struct Shown {
  std::string text;
  std::string caption;
  MessageIcon icon;
};

class CapturingSink final : public MessageSink {
 public:
  CapturingSink() { SetMessageSink(this); }
  ~CapturingSink() override { SetMessageSink(nullptr); }
  MessageAnswer ShowMessage(std::string_view text, std::string_view caption, MessageButtons,
                            MessageIcon icon) override {
    shown.push_back({std::string(text), std::string(caption), icon});
    return MessageAnswer::kOk;
  }
  std::vector<Shown> shown;
};

// The screen editor's window, owned by the test: messages wait until the test dispatches them.
class FakeScreenEditor {
 public:
  bool Open() {
    return endpoint_.Open(
        kScreenEditorClass,
        [this](UINT message, WPARAM w, LPARAM l) -> LRESULT {
          messages.push_back({message, w, l});
          return 0;
        },
        platform::MessageEndpoint::Delivery::kPolled, [this] { ++raised; });
  }
  // True when something has arrived and waits to be dispatched.
  bool HasPending() const {
    pollfd p{endpoint_.fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
  }
  void Dispatch() {
    while (endpoint_.DispatchPending()) {
    }
  }

  struct Message {
    UINT message;
    WPARAM w;
    LPARAM l;
  };
  std::vector<Message> messages;
  int raised = 0;

 private:
  platform::MessageEndpoint endpoint_;
};

// Changes the working folder for its lifetime.
class ScopedWorkingDir {
 public:
  explicit ScopedWorkingDir(const fs::path& dir) : old_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~ScopedWorkingDir() {
    std::error_code ec;
    fs::current_path(old_, ec);
  }

 private:
  fs::path old_;
};

template <typename Record>
std::vector<uint8_t> BytesOf(const std::vector<Record>& records) {
  const auto* p = reinterpret_cast<const uint8_t*>(records.data());
  return std::vector<uint8_t>(p, p + records.size() * sizeof(Record));
}

DeviceRecord Device(const char* name, int port) {
  DeviceRecord device = NewDeviceRecord();
  platform::CopyToArray(device.logicalName, Gbk(name));
  device.portNumber = port;
  return device;
}

TagRecord Tag(const char* name) {
  TagRecord tag = DefaultTagRecord();
  platform::CopyToArray(tag.name, Gbk(name));
  return tag;
}

// Function types of the stand-in plug-in's extra exports.
using FakeSetFn = void (*)(const char*, const char*, int, int);
using FakeIntFn = int (*)();
using FakeVoidFn = void (*)();

class TalvekDocTest : public ::testing::Test {
 protected:
  TalvekDocTest()
      : configEnv_("TALVEK_CONFIG_DIR", (root_ / "config").string()),
        runtimeEnv_("TALVEK_RUNTIME_DIR", (root_ / "run").string()),
        window_(log_) {
    // The message folder must be private to the user, as a runtime folder is.
    fs::create_directories(root_ / "run");
    fs::permissions(root_ / "run", fs::perms::owner_all);
    platform::Registry::Instance().Reload();
    auto host = std::make_unique<RecordingHost>(log_, state_);
    host_ = host.get();
    window_.host = host_;
    doc_ = std::make_unique<CTalvekDoc>(std::move(host), window_, state_);
    doc_->SetNewProjectPluginFile(kFakePlugin);
  }

  ~TalvekDocTest() override {
    doc_.reset();
    data_files_testing::SetWriteFunction(nullptr);
  }

  // A project folder `name` under the test folder with its project file and the given data files;
  // returns the project file's path. Comm.dat is written only when `ports` is given.
  std::string MakeProject(const std::string& name, const std::vector<DeviceRecord>& devices,
                          const std::vector<TagRecord>& tags,
                          const std::vector<CommSettings>* ports = nullptr) {
    const fs::path folder = root_ / name;
    fs::create_directories(folder);
    EXPECT_TRUE(WriteFileBytes(folder / "Device.dat", BytesOf(devices)));
    EXPECT_TRUE(WriteFileBytes(folder / "Tag.dat", BytesOf(tags)));
    if (ports != nullptr) {
      EXPECT_TRUE(WriteFileBytes(folder / "Comm.dat", BytesOf(*ports)));
    }
    const fs::path file = folder / (name + ".ZRPrj");
    EXPECT_TRUE(WriteFileBytes(file, {}));
    return file.string();
  }

  // Opens a first project with two devices and three tags, and a screen as the editor would
  // have left it; clears the log.
  std::string OpenFirstProject() {
    const std::vector<CommSettings> ports = {DefaultPortEntry(1), DefaultPortEntry(2)};
    const std::string file = MakeProject("first", {Device("A", 1), Device("B", 3)},
                                         {Tag("T1"), Tag("T2"), Tag("T3")}, &ports);
    EXPECT_TRUE(doc_->OnOpenDocument(file));
    state_.screens.push_back(ScreenRecord{});
    log_.clear();
    window_.hints.clear();
    return file;
  }

  void StartCommunication() {
    host_->StartAll();
    window_.running = true;
    log_.clear();
  }

  std::string Folder() const { return Utf8(state_.folder); }

  // Position of the first log entry `entry`, or -1.
  int IndexOf(const std::string& entry) const {
    for (std::size_t i = 0; i < log_.size(); ++i) {
      if (log_[i] == entry)
        return static_cast<int>(i);
    }
    return -1;
  }

  std::optional<std::string> StoredFolder() const {
    return platform::Registry::Instance().GetString(kSettingsKey, kCurrentProjectValue);
  }

  // The stand-in plug-in, loaded exactly as the document loads it.
  HMODULE FakePlugin() {
    HMODULE module = platform::LoadLibraryA(kFakePlugin);
    EXPECT_NE(module, nullptr) << "libFakeAlmery.so is built beside the tests";
    return module;
  }
  void SetWizardAnswer(const std::string& locationUtf8, const std::string& nameUtf8, int result,
                       bool createFiles = true) {
    auto set = reinterpret_cast<FakeSetFn>(platform::GetProcAddress(FakePlugin(), "FakeAlmerySet"));
    ASSERT_NE(set, nullptr);
    set(Gbk(locationUtf8).c_str(), Gbk(nameUtf8).c_str(), result, createFiles ? 1 : 0);
  }
  int WizardInt(const char* exportName) {
    auto fn = reinterpret_cast<FakeIntFn>(platform::GetProcAddress(FakePlugin(), exportName));
    return fn ? fn() : -1;
  }

  TempDir root_;
  ScopedEnv configEnv_;
  ScopedEnv runtimeEnv_;
  CapturingSink sink_;
  Log log_;
  ProjectState state_;
  RecordingWindow window_;
  RecordingHost* host_ = nullptr;
  std::unique_ptr<CTalvekDoc> doc_;
};

// --- Opening ------------------------------------------------------------------------------------

TEST_F(TalvekDocTest, OpenWhileAnotherProjectIsOpenClosesItFirstThenLoadsTheNewOne) {
  OpenFirstProject();
  FakeScreenEditor editor;
  ASSERT_TRUE(editor.Open());
  bool editorToldBeforeDestroy = false;
  host_->onDestroy = [&] { editorToldBeforeDestroy = editor.HasPending(); };
  // The hook refers to this test's locals; the fixture destroys the document (and with it the
  // drivers) after they are gone.
  struct HookReset {
    RecordingHost* host;
    ~HookReset() { host->onDestroy = nullptr; }
  } hookReset{host_};
  doc_->SetModifiedFlag();

  const std::vector<CommSettings> ports = {DefaultPortEntry(1), DefaultPortEntry(2),
                                           DefaultPortEntry(7)};
  const std::string second =
      MakeProject("第二工程", {Device("泵站", 7)}, {Tag("液位"), Tag("流量")}, &ports);
  ASSERT_TRUE(doc_->OnOpenDocument(second));

  // The old project went first: editor told, tables emptied, drivers destroyed.
  EXPECT_TRUE(editorToldBeforeDestroy);
  EXPECT_TRUE(host_->tablesEmptyAtDestroy);
  ASSERT_GE(IndexOf("CreateDrivers"), 0);
  EXPECT_LT(IndexOf("DestroyDrivers"), IndexOf("CreateDrivers"));
  // The drivers were created from the new tables.
  EXPECT_EQ(host_->devicesAtCreate, 1u);
  EXPECT_EQ(host_->tagsAtCreate, 2u);
  EXPECT_EQ(host_->createPath, (root_ / "第二工程" / "Device.dat").string());
  EXPECT_EQ(window_.hints, (std::vector<std::uint32_t>{kHintProjectClosed, kHintProjectOpened}));
  EXPECT_GT(IndexOf(HintEntry(kHintProjectOpened)), IndexOf("CreateDrivers"));

  EXPECT_EQ(Folder(), (root_ / "第二工程").string());
  EXPECT_EQ(Utf8(state_.devices[0].logicalName), "泵站");
  EXPECT_EQ(state_.tags.size(), 2u);
  EXPECT_EQ(state_.ports.size(), 3u);
  EXPECT_TRUE(state_.screens.empty()) << "screens come from the editor, not from the open";
  EXPECT_EQ(StoredFolder(), Gbk((root_ / "第二工程").string()));
  EXPECT_EQ(window_.look, ToolbarLook::kStopped);
  EXPECT_EQ(window_.title, "第二工程.ZRPrj");
  EXPECT_EQ(doc_->GetPathName(), second);
  EXPECT_FALSE(doc_->IsModified());
  EXPECT_TRUE(doc_->OnUpdateFileClose());
  EXPECT_TRUE(sink_.shown.empty());

  editor.Dispatch();
  ASSERT_EQ(editor.messages.size(), 1u);
  EXPECT_EQ(editor.messages[0].message, 1125u);
  EXPECT_EQ(editor.messages[0].w, 0u);
  EXPECT_EQ(editor.messages[0].l, 0);
  EXPECT_EQ(editor.raised, 1);
}

TEST_F(TalvekDocTest, OpenCreatesAMissingCommDatWithCom1AndCom2) {
  const std::string file = MakeProject("noports", {Device("A", 1)}, {});
  ASSERT_TRUE(doc_->OnOpenDocument(file));

  ASSERT_EQ(state_.ports.size(), 2u);
  EXPECT_EQ(platform::ArrayText(state_.ports[0].portName), "Com1");
  EXPECT_EQ(platform::ArrayText(state_.ports[1].portName), "Com2");
  const auto bytes = ReadFileBytes(root_ / "noports" / "Comm.dat");
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), 2 * sizeof(CommSettings));
}

TEST_F(TalvekDocTest, OpenWithARefusedDataFileStillSucceeds) {
  const std::string file = MakeProject("broken", {Device("A", 1)}, {});
  ASSERT_TRUE(WriteFileBytes(root_ / "broken" / "Tag.dat", std::vector<uint8_t>(277, 1)));
  ASSERT_TRUE(doc_->OnOpenDocument(file));
  EXPECT_TRUE(state_.tags.empty());
  EXPECT_EQ(state_.devices.GetSize(), 1u);
  ASSERT_EQ(sink_.shown.size(), 1u);
  EXPECT_EQ(sink_.shown[0].text,
            RefusedFileMessage((root_ / "broken" / "Tag.dat").string(), std::nullopt));
  EXPECT_GE(IndexOf("CreateDrivers"), 0);
}

ssize_t DiskFull(int, const void*, std::size_t) {
  errno = ENOSPC;
  return -1;
}

// A refused Device.dat whose copy could not be made (a full disk at the open) is not replaced by
// the empty table when the project closes; the other files are saved as usual.
TEST_F(TalvekDocTest, CloseLeavesARefusedFileThatCouldNotBeCopied) {
  const std::string file = MakeProject("full", {}, {Tag("T1")});
  const fs::path folder = root_ / "full";
  const std::vector<uint8_t> refused(361, 7);
  ASSERT_TRUE(WriteFileBytes(folder / "Device.dat", refused));
  data_files_testing::SetWriteFunction(&DiskFull);
  ASSERT_TRUE(doc_->OnOpenDocument(file));
  data_files_testing::SetWriteFunction(nullptr);
  ASSERT_FALSE(sink_.shown.empty());
  EXPECT_NE(sink_.shown[0].text.find("无法另存"), std::string::npos) << sink_.shown[0].text;
  state_.tags[0].quality = 192;

  EXPECT_TRUE(doc_->OnCloseDocument());
  EXPECT_EQ(ReadFileBytes(folder / "Device.dat"), refused);
  EXPECT_FALSE(fs::exists(folder / "Device.dat.invalid"));
  ProjectState reread;
  project_testing::SetFolder(reread, folder);
  ASSERT_TRUE(LoadTags(reread));
  EXPECT_EQ(reread.tags.at(0).quality, 192);
}

// Com5's settings survive an open, the port list's rebuild and a close while Device.dat is missing
// or refused, and are still there at the next open; once the user saves devices, the device table
// says which ports are used again.
TEST_F(TalvekDocTest, UnreadDeviceFileKeepsThePortSettings) {
  CommSettings com5 = DefaultPortEntry(5);
  com5.baudRate = 9600;
  com5.dataBits = 7;
  com5.parity = 1;
  com5.stopBits = 2;
  com5.timeoutMs = 2000;
  const std::vector<CommSettings> ports = {DefaultPortEntry(1), DefaultPortEntry(2), com5};
  const std::string file = MakeProject("nodevices", {}, {}, &ports);
  const fs::path folder = root_ / "nodevices";
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused Device.dat" : "missing Device.dat");
    fs::remove(folder / "Device.dat");
    if (refused)
      ASSERT_TRUE(WriteFileBytes(folder / "Device.dat", std::vector<uint8_t>(361, 1)));
    for (int open = 0; open < 2; ++open) {
      ASSERT_TRUE(doc_->OnOpenDocument(file));
      MarkPortsInUse(state_);  // what the tree does when it shows the project
      ASSERT_TRUE(SavePorts(state_, SaveKind::kRoutine));
      ASSERT_TRUE(doc_->OnCloseDocument());
      EXPECT_EQ(ReadFileBytes(folder / "Comm.dat"), BytesOf(ports)) << "open " << open;
    }
  }
  ASSERT_TRUE(doc_->OnOpenDocument(file));
  state_.devices.Add(Device("A", 1));
  ASSERT_TRUE(SaveDevices(state_));
  MarkPortsInUse(state_);
  ASSERT_TRUE(SavePorts(state_, SaveKind::kRoutine));
  EXPECT_EQ(state_.ports.size(), 2u);
}

TEST_F(TalvekDocTest, RefusedOpensKeepThePreviousProjectUntouched) {
  const std::string first = OpenFirstProject();
  const std::string folder = Folder();

  // A folder with no GBK form, and one longer than the project folder can hold.
  const fs::path emoji = root_ / "工程😀";
  fs::create_directories(emoji);
  ASSERT_TRUE(WriteFileBytes(emoji / "p.ZRPrj", {}));
  fs::path deep = root_.path();
  for (int i = 0; i < 2; ++i)
    deep /= std::string(130, 'd');
  fs::create_directories(deep);
  ASSERT_TRUE(WriteFileBytes(deep / "p.ZRPrj", {}));
  fs::create_directories(root_ / "dir.ZRPrj");
  ASSERT_EQ(::mkfifo((root_ / "fifo.ZRPrj").c_str(), 0600), 0);
  // A project file named without a folder, found in the working folder.
  ASSERT_TRUE(WriteFileBytes(root_ / "bare.ZRPrj", {}));

  const std::vector<std::string> refused = {
      (root_ / "missing" / "missing.ZRPrj").string(),  // no such file
      (root_ / "dir.ZRPrj").string(),                  // not a file
      (root_ / "fifo.ZRPrj").string(),                 // not a file, and must not block the open
      "bare.ZRPrj",                                    // no '/'
      (emoji / "p.ZRPrj").string(),
      (deep / "p.ZRPrj").string(),
  };
  ScopedWorkingDir cwd(root_.path());
  for (const std::string& path : refused) {
    SCOPED_TRACE(path);
    sink_.shown.clear();
    EXPECT_FALSE(doc_->OnOpenDocument(path));
    ASSERT_EQ(sink_.shown.size(), 1u) << "the user is told why";
    EXPECT_EQ(Folder(), folder);
    EXPECT_EQ(state_.devices.GetSize(), 2u);
    EXPECT_EQ(state_.tags.size(), 3u);
    EXPECT_EQ(state_.ports.size(), 2u);
    EXPECT_EQ(state_.screens.size(), 1u);
    EXPECT_EQ(doc_->GetPathName(), first);
    EXPECT_TRUE(log_.empty()) << "nothing was closed, destroyed or told: " << log_.front();
  }
}

TEST_F(TalvekDocTest, RegistryWriteFailureIsShownAndTheOpenGoesOn) {
  const fs::path blocker = root_ / "blocker";
  ASSERT_TRUE(WriteFileBytes(blocker, {'x'}));
  ScopedEnv unwritable("TALVEK_CONFIG_DIR", (blocker / "config").string());
  platform::Registry::Instance().Reload();

  const std::string file = MakeProject("p", {Device("A", 1)}, {});
  ASSERT_TRUE(doc_->OnOpenDocument(file));
  ASSERT_EQ(sink_.shown.size(), 1u);
  EXPECT_EQ(sink_.shown[0].caption, "Error");
  EXPECT_EQ(sink_.shown[0].icon, MessageIcon::kInformation);
  EXPECT_FALSE(sink_.shown[0].text.empty());
  EXPECT_GT(IndexOf("Look:" + std::to_string(static_cast<int>(ToolbarLook::kStopped))),
            IndexOf(HintEntry(kHintProjectOpened)));
  EXPECT_EQ(Folder(), (root_ / "p").string());
}

// --- Closing ------------------------------------------------------------------------------------

TEST_F(TalvekDocTest, CloseWithoutAScreenEditorStillCloses) {
  OpenFirstProject();
  ASSERT_EQ(platform::FindWindowA(kScreenEditorClass, nullptr), nullptr);
  doc_->OnFileClose();

  EXPECT_EQ(window_.title, kNoProjectTitle);
  EXPECT_EQ(window_.hints, std::vector<std::uint32_t>{kHintProjectClosed});
  EXPECT_EQ(window_.look, ToolbarLook::kNoProject);
  EXPECT_EQ(Folder(), "");
  EXPECT_TRUE(host_->tablesEmptyAtDestroy);
  EXPECT_TRUE(state_.devices.IsEmpty() && state_.tags.empty() && state_.ports.empty() &&
              state_.screens.empty());
  EXPECT_EQ(doc_->GetPathName(), "");
  EXPECT_FALSE(doc_->OnUpdateFileClose());
}

TEST_F(TalvekDocTest, CloseDocumentSavesPortsDevicesAndTags) {
  OpenFirstProject();
  state_.devices.Add(Device("新设备", 5));
  state_.tags[0].quality = 192;
  state_.portFlags[4] = kPortInUse;  // the tree marked port 5 in use
  const fs::path folder = root_ / "first";
  ASSERT_TRUE(WriteFileBytes(folder / "PicManage.dat", {1, 2, 3}));

  EXPECT_TRUE(doc_->OnCloseDocument());
  EXPECT_TRUE(sink_.shown.empty());

  ProjectState reread;
  project_testing::SetFolder(reread, folder);
  ASSERT_TRUE(LoadDevices(reread));
  ASSERT_TRUE(LoadTags(reread));
  ASSERT_TRUE(LoadPorts(reread));
  ASSERT_EQ(reread.devices.GetSize(), 3u);
  EXPECT_EQ(Utf8(reread.devices[2].logicalName), "新设备");
  EXPECT_EQ(reread.tags[0].quality, 192);
  ASSERT_EQ(reread.ports.size(), 3u);
  EXPECT_EQ(platform::ArrayText(reread.ports[2].portName), "Com5");
  EXPECT_EQ(ReadFileBytes(folder / "PicManage.dat"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_GE(IndexOf("DestroyDrivers"), 0) << "the document's contents go with it";
}

ssize_t FailingWrite(int, const void*, std::size_t) {
  errno = EIO;
  return -1;
}

TEST_F(TalvekDocTest, CloseDocumentTellsTheUserWhichFilesWereNotSaved) {
  OpenFirstProject();
  const auto tagsBefore = ReadFileBytes(root_ / "first" / "Tag.dat");
  state_.tags[0].quality = 192;
  data_files_testing::SetWriteFunction(&FailingWrite);

  EXPECT_FALSE(doc_->OnCloseDocument());
  ASSERT_EQ(sink_.shown.size(), 1u);
  const std::string& text = sink_.shown[0].text;
  EXPECT_NE(text.find("Comm.dat"), std::string::npos) << text;
  EXPECT_NE(text.find("Device.dat"), std::string::npos) << text;
  EXPECT_NE(text.find("Tag.dat"), std::string::npos) << text;
  EXPECT_EQ(sink_.shown[0].icon, MessageIcon::kError);
  EXPECT_EQ(ReadFileBytes(root_ / "first" / "Tag.dat"), tagsBefore);
}

// --- Communication running ----------------------------------------------------------------------

TEST_F(TalvekDocTest, OpenNewAndCloseStopCommunicationBeforeDestroyingDrivers) {
  const std::string other = MakeProject("other", {Device("A", 1)}, {});
  SetWizardAnswer(root_.str(), "new", 1);
  const std::vector<std::pair<const char*, std::function<void()>>> commands = {
      {"open", [&] { EXPECT_TRUE(doc_->OnOpenDocument(other)); }},
      {"new", [&] { EXPECT_TRUE(doc_->NewProject()); }},
      {"close", [&] { doc_->CloseProject(); }},
      {"program end", [&] { doc_->OnCloseDocument(); }},
  };
  for (const auto& [name, run] : commands) {
    SCOPED_TRACE(name);
    OpenFirstProject();
    StartCommunication();
    run();
    ASSERT_GE(IndexOf("StopCommunication"), 0);
    EXPECT_LT(IndexOf("StopCommunication"), IndexOf("StopAll"));
    EXPECT_LT(IndexOf("StopAll"), IndexOf("DestroyDrivers"));
    EXPECT_EQ(IndexOf("DestroyDrivers while polling"), -1);
    EXPECT_FALSE(window_.running);
  }
}

TEST_F(TalvekDocTest, PollingThatOutlivesTheStopCommandIsStoppedByTheDocument) {
  OpenFirstProject();
  StartCommunication();
  window_.stopDoesNothing = true;
  doc_->CloseProject();
  ASSERT_GE(IndexOf("StopAll"), 0);
  EXPECT_LT(IndexOf("StopAll"), IndexOf("DestroyDrivers"));
  EXPECT_EQ(IndexOf("DestroyDrivers while polling"), -1);
}

// --- New project --------------------------------------------------------------------------------

TEST_F(TalvekDocTest, NewProjectMakesTheWizardsFolderTheCurrentProject) {
  OpenFirstProject();
  FakeScreenEditor editor;
  ASSERT_TRUE(editor.Open());
  SetWizardAnswer(root_.str(), "新工程", 1);

  ASSERT_TRUE(doc_->NewProject());
  EXPECT_EQ(WizardInt("FakeAlmeryCalls"), 1);
  EXPECT_EQ(WizardInt("FakeAlmeryBuffersWereZero"), 1);

  const fs::path folder = root_ / "新工程";
  EXPECT_TRUE(fs::exists(folder / "新工程.ZRPrj"));
  EXPECT_EQ(Folder(), folder.string());
  EXPECT_TRUE(state_.devices.IsEmpty() && state_.tags.empty() && state_.ports.empty() &&
              state_.screens.empty());
  EXPECT_EQ(window_.title, kNewProjectTitle);
  EXPECT_EQ(window_.hints, (std::vector<std::uint32_t>{kHintProjectClosed, kHintProjectOpened,
                                                       kHintProjectCreated}));
  ASSERT_FALSE(window_.recent.empty());
  EXPECT_EQ(window_.recent.front(), (folder / "新工程.zrprj").string());
  EXPECT_EQ(StoredFolder(), Gbk(folder.string()));
  EXPECT_GE(IndexOf("DestroyDrivers"), 0);
  EXPECT_EQ(IndexOf("CreateDrivers"), -1) << "a new project is not opened";
  EXPECT_TRUE(doc_->OnUpdateFileClose());
  EXPECT_EQ(doc_->GetPathName(), "");
  editor.Dispatch();
  EXPECT_EQ(editor.messages.size(), 1u);
}

TEST_F(TalvekDocTest, NewProjectThatDoesNotHappenChangesNothing) {
  const std::string first = OpenFirstProject();
  const std::string folder = Folder();
  const auto unchanged = [&] {
    EXPECT_EQ(Folder(), folder);
    EXPECT_EQ(state_.devices.GetSize(), 2u);
    EXPECT_EQ(state_.tags.size(), 3u);
    EXPECT_EQ(doc_->GetPathName(), first);
    EXPECT_TRUE(log_.empty());
    EXPECT_TRUE(window_.recent.empty());
  };

  {
    SCOPED_TRACE("cancelled");
    SetWizardAnswer(root_.str(), "x", 0);
    EXPECT_FALSE(doc_->NewProject());
    EXPECT_EQ(WizardInt("FakeAlmeryCalls"), 1);
    EXPECT_TRUE(sink_.shown.empty());
    unchanged();
  }
  {
    SCOPED_TRACE("name without its NUL");
    SetWizardAnswer(root_.str(), "x", 1, false);
    reinterpret_cast<FakeVoidFn>(
        platform::GetProcAddress(FakePlugin(), "FakeAlmeryFillWithoutNul"))();
    EXPECT_FALSE(doc_->NewProject());
    EXPECT_EQ(sink_.shown.size(), 1u);
    unchanged();
  }
  {
    SCOPED_TRACE("folder too long");
    sink_.shown.clear();
    SetWizardAnswer(root_.str() + "/" + std::string(220, 'L'), std::string(40, 'n'), 1, false);
    EXPECT_FALSE(doc_->NewProject());
    EXPECT_EQ(sink_.shown.size(), 1u);
    unchanged();
  }
  {
    SCOPED_TRACE("plug-in missing");
    sink_.shown.clear();
    doc_->SetNewProjectPluginFile("NoSuchAlmery.dll");
    EXPECT_FALSE(doc_->NewProject());
    ASSERT_EQ(sink_.shown.size(), 1u);
    EXPECT_EQ(sink_.shown[0].text, "加载  NoSuchAlmery.dll 失败");
    EXPECT_EQ(PluginLoadFailureText(kNewProjectPluginFile), "加载  Almery.dll 失败");
    unchanged();
  }
}

}  // namespace
}  // namespace talvek

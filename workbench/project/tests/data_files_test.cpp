#include "workbench/project/data_files.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/testing/test_support.h"
#include "workbench/project/new_records.h"
#include "workbench/project/project_edits.h"
#include "workbench/project/tests/project_test_util.h"

namespace talvek {
namespace {

namespace fs = std::filesystem;
using project_testing::Filled;
using project_testing::Gbk;
using project_testing::RecordingSink;
using project_testing::SameBytes;
using project_testing::SetFolder;
using project_testing::Utf8;
using testing_support::FilesIn;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

std::vector<uint8_t> Bytes(std::size_t count, uint8_t value = 0x5A) {
  return std::vector<uint8_t>(count, value);
}

template <typename Record>
std::vector<uint8_t> BytesOf(const std::vector<Record>& records) {
  const auto* p = reinterpret_cast<const uint8_t*>(records.data());
  return std::vector<uint8_t>(p, p + records.size() * sizeof(Record));
}

DeviceRecord DeviceOnPort(int port) {
  DeviceRecord device = NewDeviceRecord();
  device.portNumber = port;
  return device;
}

CommSettings Port(const char* name, int32_t baud = 9600) {
  CommSettings port = DefaultPortEntry(1);
  platform::CopyToArray(port.portName, name);
  port.baudRate = baud;
  return port;
}

// The texts of one array field of every record, in table order.
template <typename Record, std::size_t N>
std::vector<std::string> Texts(const std::vector<Record>& records, const char (Record::*field)[N]) {
  std::vector<std::string> texts;
  for (const Record& record : records)
    texts.emplace_back(platform::ArrayText(record.*field));
  return texts;
}

std::vector<std::string> PortNames(const ProjectState& state) {
  return Texts(state.ports, &CommSettings::portName);
}

class DataFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { SetFolder(state, dir.path()); }
  void TearDown() override { data_files_testing::SetWriteFunction(nullptr); }

  fs::path File(std::string_view name) const { return dir / name; }

  TempDir dir;
  ProjectState state;
  RecordingSink sink;
};

// --- Paths ------------------------------------------------------------------------------------

TEST_F(DataFilesTest, GbkFolderIsConvertedToUtf8OnDisk) {
  const fs::path folder = dir / "锅炉项目";
  fs::create_directory(folder);
  SetFolder(state, folder);
  ASSERT_EQ(state.folder[0] != 0, true);
  EXPECT_EQ(DataFilePath(state, kTagFileName), (folder / "Tag.dat").string());

  state.tags.push_back(DefaultTagRecord());
  ASSERT_TRUE(SaveTags(state));
  EXPECT_TRUE(fs::exists(folder / "Tag.dat"));
  state.tags.clear();
  ASSERT_TRUE(LoadTags(state));
  ASSERT_EQ(state.tags.size(), 1u);
  EXPECT_TRUE(SameBytes(state.tags[0], DefaultTagRecord()));
}

TEST_F(DataFilesTest, NoFolderOrInvalidGbkFolderActsAsUnopenableFile) {
  for (const char* folder : {"", "/tmp/\xFF\xFF"}) {
    SCOPED_TRACE(folder);
    platform::CopyToArray(state.folder, folder);
    EXPECT_FALSE(DataFilePath(state, kTagFileName).has_value());
    state.tags.push_back(DefaultTagRecord());
    EXPECT_FALSE(SaveTags(state));  // never "/Tag.dat" in the root folder
    EXPECT_FALSE(LoadTags(state));
    EXPECT_TRUE(state.tags.empty());
    EXPECT_FALSE(LoadPorts(state));
    EXPECT_EQ(PortNames(state), (std::vector<std::string>{"Com1", "Com2"}));
  }
  EXPECT_TRUE(sink.texts.empty());
}

// --- Missing and refused files ----------------------------------------------------------------

TEST_F(DataFilesTest, MissingFilesFollowTheirTablesRules) {
  state.devices.Add(NewDeviceRecord());
  state.tags.push_back(DefaultTagRecord());
  state.screens.push_back(Filled<ScreenRecord>(0x41));
  fs::create_directory(File("Tag.dat"));  // a folder in the file's place counts as missing

  EXPECT_FALSE(LoadDevices(state));
  EXPECT_FALSE(LoadTags(state));
  EXPECT_FALSE(LoadScreens(state));

  EXPECT_TRUE(state.devices.IsEmpty());
  EXPECT_TRUE(state.tags.empty());
  ASSERT_EQ(state.screens.size(), 1u) << "a missing PicManage.dat leaves the screens as they were";
  EXPECT_TRUE(sink.texts.empty());
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"Tag.dat"})) << "loads create nothing";
}

TEST_F(DataFilesTest, MissingPortFileGivesTwoDefaultsAndCreatesTheFile) {
  EXPECT_FALSE(LoadPorts(state));
  ASSERT_EQ(state.ports.size(), 2u);
  EXPECT_TRUE(SameBytes(state.ports[0], DefaultPortEntry(1)));
  EXPECT_TRUE(SameBytes(state.ports[1], DefaultPortEntry(2)));
  EXPECT_EQ(ReadFileBytes(File("Comm.dat")), BytesOf(state.ports));
  EXPECT_TRUE(sink.texts.empty());
}

TEST_F(DataFilesTest, DeviceFileOf361BytesIsRefusedWithOneMessageAndKeptAside) {
  ASSERT_TRUE(WriteFileBytes(File("Device.dat"), Bytes(361)));
  state.devices.Add(NewDeviceRecord());

  EXPECT_FALSE(LoadDevices(state));
  EXPECT_TRUE(state.devices.IsEmpty());
  // The empty table may be saved over Device.dat later; the user's bytes survive beside it, and
  // the message says where.
  EXPECT_EQ(
      sink.texts,
      (std::vector<std::string>{RefusedFileMessage(File("Device.dat").string(), std::nullopt)}));
  EXPECT_EQ(sink.texts[0].rfind(kInvalidDataFileMessage, 0), 0u);
  EXPECT_NE(sink.texts[0].find(File("Device.dat.invalid").string()), std::string::npos);
  EXPECT_EQ(ReadFileBytes(File("Device.dat.invalid")), Bytes(361));
  EXPECT_EQ(ReadFileBytes(File("Device.dat")), Bytes(361));
  EXPECT_EQ(state.keptFiles, 0);
  EXPECT_TRUE(state.devicesUnread);
}

TEST_F(DataFilesTest, TagAndScreenFilesOfWrongLengthAreRefusedAndEmptyTheTable) {
  ASSERT_TRUE(WriteFileBytes(File("Tag.dat"), Bytes(2 * sizeof(TagRecord) + 1)));
  ASSERT_TRUE(WriteFileBytes(File("PicManage.dat"), Bytes(129)));
  state.tags.push_back(DefaultTagRecord());
  state.screens.push_back(Filled<ScreenRecord>(0x41));

  EXPECT_FALSE(LoadTags(state));
  EXPECT_FALSE(LoadScreens(state));
  EXPECT_TRUE(state.tags.empty());
  EXPECT_TRUE(state.screens.empty()) << "PicManage.dat opened, so the table was emptied";
  EXPECT_EQ(sink.texts.size(), 2u);
}

TEST_F(DataFilesTest, EmptyTableSavesAsEmptyFileAndLoadsWithoutMessage) {
  ASSERT_TRUE(SaveTags(state));
  EXPECT_EQ(fs::file_size(File("Tag.dat")), 0u);
  state.tags.push_back(DefaultTagRecord());
  EXPECT_TRUE(LoadTags(state));
  EXPECT_TRUE(state.tags.empty());
  EXPECT_TRUE(sink.texts.empty());
}

TEST_F(DataFilesTest, PortFileOf57BytesGivesDefaultsAndStaysUntouched) {
  ASSERT_TRUE(WriteFileBytes(File("Comm.dat"), Bytes(57)));
  state.ports.push_back(Port("Com9"));

  EXPECT_FALSE(LoadPorts(state));
  ASSERT_EQ(state.ports.size(), 2u);
  EXPECT_TRUE(SameBytes(state.ports[0], DefaultPortEntry(1)));
  EXPECT_TRUE(SameBytes(state.ports[1], DefaultPortEntry(2)));
  EXPECT_EQ(ReadFileBytes(File("Comm.dat")), Bytes(57)) << "rewritten only at the next save";
  EXPECT_EQ(ReadFileBytes(File("Comm.dat.invalid")), Bytes(57));
  ASSERT_EQ(sink.texts.size(), 1u) << "the user learns that the settings were replaced";
  EXPECT_NE(sink.texts[0].find("Comm.dat.invalid"), std::string::npos);
}

// --- Refused files that cannot be copied aside ---------------------------------------------------

ssize_t DiskFull(int, const void*, std::size_t) {
  errno = ENOSPC;
  return -1;
}

struct DataFileCase {
  const char* file;
  uint8_t keepBit;
  std::size_t badSize;
  bool (*load)(ProjectState&);
  bool (*save)(ProjectState&, SaveKind);
};

const DataFileCase kDataFileCases[] = {
    {"Device.dat", kKeepDeviceFile, 361, &LoadDevices, &SaveDevices},
    {"Tag.dat", kKeepTagFile, 277, &LoadTags, &SaveTags},
    {"Comm.dat", kKeepPortFile, 57, &LoadPorts, &SavePorts},
    {"PicManage.dat", kKeepScreenFile, 129, &LoadScreens, &SaveScreens},
};

// With the disk full the copy fails: the user is told, and routine saves (closing, the port
// list's rebuild) leave the refused file as it is until a save on purpose replaces it.
TEST_F(DataFilesTest, RefusedFileWithoutCopyIsLeftByRoutineSaves) {
  for (const DataFileCase& c : kDataFileCases) {
    SCOPED_TRACE(c.file);
    sink.texts.clear();
    ASSERT_TRUE(WriteFileBytes(File(c.file), Bytes(c.badSize)));
    fs::remove(File(std::string(c.file) + ".invalid"));

    data_files_testing::SetWriteFunction(&DiskFull);
    EXPECT_FALSE(c.load(state));
    data_files_testing::SetWriteFunction(nullptr);
    EXPECT_EQ(state.keptFiles, c.keepBit);
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_EQ(sink.texts[0], RefusedFileMessage(File(c.file).string(), ENOSPC));
    EXPECT_NE(sink.texts[0].find(std::strerror(ENOSPC)), std::string::npos);
    EXPECT_FALSE(fs::exists(File(std::string(c.file) + ".invalid")));

    EXPECT_TRUE(c.save(state, SaveKind::kRoutine));
    EXPECT_EQ(ReadFileBytes(File(c.file)), Bytes(c.badSize));
    EXPECT_TRUE(c.save(state, SaveKind::kOnPurpose));
    EXPECT_NE(ReadFileBytes(File(c.file)), Bytes(c.badSize));
    EXPECT_EQ(state.keptFiles, 0);
  }
}

// The reported case: a read-only Device.dat.invalid left from an earlier refusal. Root may write
// any file, so the case runs in a child that has dropped to an unprivileged user.
TEST_F(DataFilesTest, ReadOnlyLeftoverCopyKeepsTheRefusedFile) {
  ASSERT_TRUE(WriteFileBytes(File("Device.dat"), Bytes(361)));
  ASSERT_TRUE(WriteFileBytes(File("Device.dat.invalid"), Bytes(5)));
  fs::permissions(File("Device.dat.invalid"),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(File("Device.dat"), fs::perms::all);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(10);
    sink.texts.clear();
    if (LoadDevices(state) || state.keptFiles != kKeepDeviceFile || sink.texts.size() != 1)
      ::_exit(11);
    if (sink.texts[0].find(std::strerror(EACCES)) == std::string::npos)
      ::_exit(12);
    ::_exit(SaveDevices(state, SaveKind::kRoutine) ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFileBytes(File("Device.dat")), Bytes(361));
  EXPECT_EQ(ReadFileBytes(File("Device.dat.invalid")), Bytes(5));
}

// --- Round trips ------------------------------------------------------------------------------

TEST_F(DataFilesTest, RuntimeFieldsPadsAndFullLengthTextsSurviveSaveAndLoad) {
  TagRecord tag = Filled<TagRecord>(0xA5);  // pads and bytes after each NUL must survive too
  // 15 double-byte characters and one letter: 31 bytes, the longest name that keeps its NUL.
  const std::string name = Gbk("一二三四五六七八九十一二三四五") + "A";
  ASSERT_EQ(name.size(), 31u);
  ASSERT_TRUE(platform::CopyToArray(tag.name, name));
  ASSERT_TRUE(
      platform::CopyToArray(tag.description, Gbk("一二三四五六七八九十一二三四五六七八九") + "Z"));
  tag.varType = kVarFloat;
  tag.value = FloatToWord(12.5f);
  tag.quality = 192;
  tag.updateTime = {0x89ABCDEFu, 0x01DA0123u};
  tag.rawValue = -7;
  state.tags = {tag, DefaultTagRecord()};

  ASSERT_TRUE(SaveTags(state));
  EXPECT_EQ(fs::file_size(File("Tag.dat")), 2 * sizeof(TagRecord));
  state.tags.clear();
  ASSERT_TRUE(LoadTags(state));

  ASSERT_EQ(state.tags.size(), 2u);
  EXPECT_TRUE(SameBytes(state.tags[0], tag));
  EXPECT_TRUE(SameBytes(state.tags[1], DefaultTagRecord()));
  EXPECT_EQ(platform::ArrayText(state.tags[0].name), name);
  EXPECT_EQ(state.tags[0].description[39], '\0');
}

// --- Atomic saves -----------------------------------------------------------------------------

TEST_F(DataFilesTest, SaveIntoMissingFolderFailsAndCreatesNothing) {
  SetFolder(state, dir / "absent");
  state.tags.push_back(DefaultTagRecord());
  EXPECT_FALSE(SaveTags(state));
  EXPECT_FALSE(fs::exists(dir / "absent"));
  EXPECT_TRUE(FilesIn(dir.path()).empty());
  EXPECT_TRUE(sink.texts.empty()) << "a failed save shows nothing";
}

// Writes a little, then fails as a full disk does.
ssize_t FailAfterFirstChunk(int fd, const void* data, std::size_t size) {
  static thread_local int calls = 0;
  if (calls++ % 2 == 0)
    return ::write(fd, data, std::min<std::size_t>(size, 1000));
  errno = ENOSPC;
  return -1;
}

TEST_F(DataFilesTest, FailedWriteKeepsThePreviousFileAndRemovesTheTemporary) {
  const std::vector<uint8_t> old = Bytes(3 * sizeof(TagRecord), 0x33);
  ASSERT_TRUE(WriteFileBytes(File("Tag.dat"), old));
  state.tags.assign(10, DefaultTagRecord());

  data_files_testing::SetWriteFunction(&FailAfterFirstChunk);
  EXPECT_FALSE(SaveTags(state));
  EXPECT_EQ(ReadFileBytes(File("Tag.dat")), old);
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"Tag.dat"}));
}

TEST_F(DataFilesTest, ShortWritesAndInterruptionsAreContinued) {
  state.ports = {DefaultPortEntry(1), DefaultPortEntry(2)};
  MarkPortsInUse(state);
  data_files_testing::SetWriteFunction(&testing_support::ShortAndInterruptedWrite<7>);
  ASSERT_TRUE(SavePorts(state));
  EXPECT_EQ(ReadFileBytes(File("Comm.dat")), BytesOf(state.ports));
}

TEST_F(DataFilesTest, SaveKeepsTheFileModeAndWritesThroughSymbolicLinks) {
  state.screens.push_back(Filled<ScreenRecord>(0x41));
  ASSERT_TRUE(WriteFileBytes(File("real.dat"), Bytes(5)));
  fs::permissions(File("real.dat"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("real.dat", File("PicManage.dat"));

  ASSERT_TRUE(SaveScreens(state));
  EXPECT_TRUE(fs::is_symlink(File("PicManage.dat")));
  EXPECT_EQ(ReadFileBytes(File("real.dat")), BytesOf(state.screens));
  EXPECT_EQ(fs::status(File("real.dat")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(DataFilesTest, ReadOnlyFileIsNotReplaced) {
  ASSERT_TRUE(WriteFileBytes(File("Device.dat"), {}));
  fs::permissions(File("Device.dat"), fs::perms::owner_read);
  state.devices.Add(NewDeviceRecord());
  const bool unprivileged = testing_support::RunWithoutRootRights(dir.path(), [&] {
    EXPECT_FALSE(SaveDevices(state));
    return !HasFailure();
  });
  EXPECT_TRUE(unprivileged) << "the case failed or could not run as an unprivileged user";
  EXPECT_EQ(fs::file_size(File("Device.dat")), 0u);
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"Device.dat"}));
}

// --- Port synchronisation ---------------------------------------------------------------------

TEST_F(DataFilesTest, PortEntryFollowsTheDevicesFromSaveToSave) {
  ASSERT_FALSE(LoadPorts(state));  // creates Comm.dat with Com1, Com2
  state.devices.Add(DeviceOnPort(1));
  state.devices.Add(DeviceOnPort(5));

  MarkPortsInUse(state);
  ASSERT_TRUE(SavePorts(state));
  EXPECT_EQ(PortNames(state), (std::vector<std::string>{"Com1", "Com2", "Com5"}));
  EXPECT_TRUE(SameBytes(state.ports[2], DefaultPortEntry(5)));
  ASSERT_TRUE(LoadPorts(state));
  EXPECT_EQ(PortNames(state), (std::vector<std::string>{"Com1", "Com2", "Com5"}));

  state.devices[1].portNumber = 2;
  MarkPortsInUse(state);
  ASSERT_TRUE(SavePorts(state));
  EXPECT_EQ(PortNames(state), (std::vector<std::string>{"Com1", "Com2"}));
  EXPECT_EQ(ReadFileBytes(File("Comm.dat")), BytesOf(state.ports));
}

TEST_F(DataFilesTest, PortNumbersOutside1To128AreIgnored) {
  for (int port : {0, 129, -1, 128, 3})
    state.devices.Add(DeviceOnPort(port));
  state.portFlags.fill(0xFF);
  MarkPortsInUse(state);
  for (int k = 0; k < kPortFlagCount; ++k) {
    const bool used = k == 0 || k == 1 || k == 2 || k == 127;
    EXPECT_EQ(state.portFlags[k], used ? kPortInUse : 0) << "entry " << k;
  }
  state.ports = {DefaultPortEntry(1), DefaultPortEntry(2)};
  ASSERT_TRUE(SavePorts(state));
  EXPECT_EQ(PortNames(state), (std::vector<std::string>{"Com1", "Com2", "Com3", "Com128"}));
}

TEST_F(DataFilesTest, SynchronisationKeepsOrderSettingsAndForeignEntries) {
  state.ports = {Port("Com7"), Port("Com1"), Port("Com3", 19200),
                 Port("COM4"), Port("Com2"), Port("Com6")};
  for (int port : {7, 3, 4})
    state.devices.Add(DeviceOnPort(port));
  MarkPortsInUse(state);
  ASSERT_TRUE(SavePorts(state));
  // Com6 is unused and goes; "COM4" is not the name of port 4, so Com4 is appended.
  EXPECT_EQ(PortNames(state),
            (std::vector<std::string>{"Com7", "Com1", "Com3", "COM4", "Com2", "Com4"}));
  EXPECT_EQ(state.ports[2].baudRate, 19200);
}

TEST_F(DataFilesTest, Com1AndCom2StayEvenWhenNotMarked) {
  state.ports = {Port("Com1"), Port("Com2"), Port("Com3")};
  state.portFlags.fill(0);
  ASSERT_TRUE(SavePorts(state));
  EXPECT_EQ(PortNames(state), (std::vector<std::string>{"Com1", "Com2"}));
}

// Only the first entry of a name is looked at: while the port is in use a duplicate stays; once
// unused, one duplicate goes per save.
TEST_F(DataFilesTest, DuplicateEntriesAreHandledOneAtATime) {
  state.ports = {Port("Com1"), Port("Com2"), Port("Com3", 4800), Port("Com3", 2400)};
  state.devices.Add(DeviceOnPort(3));
  MarkPortsInUse(state);
  ASSERT_TRUE(SavePorts(state));
  ASSERT_EQ(state.ports.size(), 4u);

  state.devices[0].portNumber = 1;
  MarkPortsInUse(state);
  ASSERT_TRUE(SavePorts(state));
  ASSERT_EQ(PortNames(state), (std::vector<std::string>{"Com1", "Com2", "Com3"}));
  EXPECT_EQ(state.ports[2].baudRate, 2400);
  ASSERT_TRUE(SavePorts(state));
  EXPECT_EQ(PortNames(state), (std::vector<std::string>{"Com1", "Com2"}));
}

// The flags' "has an entry" bit outlives a save; a reloaded table without the entry must still get
// it back, or the driver of that port would start without settings.
TEST_F(DataFilesTest, EntryOfPortInUseComesBackAfterTheTableWasReloaded) {
  state.devices.Add(DeviceOnPort(5));
  state.ports = {DefaultPortEntry(1), DefaultPortEntry(2)};
  MarkPortsInUse(state);
  ASSERT_TRUE(SavePorts(state));
  EXPECT_EQ(state.portFlags[4], kPortInUse | kPortHasEntry);

  ASSERT_TRUE(WriteFileBytes(File("Comm.dat"), Bytes(57)));
  ASSERT_FALSE(LoadPorts(state));
  ASSERT_TRUE(SavePorts(state));  // no MarkPortsInUse in between, as at application end
  EXPECT_EQ(PortNames(state), (std::vector<std::string>{"Com1", "Com2", "Com5"}));
}

// --- Tags of a device -------------------------------------------------------------------------

TEST_F(DataFilesTest, RefreshCopiesTheWholeModelIntoTheDevicesTagsAndSaves) {
  DeviceRecord device = NewDeviceRecord();
  platform::CopyToArray(device.logicalName, Gbk("锅炉房"));
  std::memset(device.descriptor.model, 0x7E, sizeof device.descriptor.model);
  platform::CopyToArray(device.descriptor.model, "S7-200(PPI)");
  device.descriptor.model[63] = 0x11;  // a byte past the NUL travels too

  TagRecord mine = DefaultTagRecord();
  platform::CopyToArray(mine.deviceName, Gbk("锅炉房"));
  TagRecord other = DefaultTagRecord();
  platform::CopyToArray(other.deviceName, Gbk("锅炉"));
  state.tags = {mine, other, mine};

  ASSERT_TRUE(RefreshTagsForDevice(state, device));
  for (std::size_t i : {0u, 2u}) {
    EXPECT_EQ(std::memcmp(state.tags[i].driverModel, device.descriptor.model, 64), 0) << i;
  }
  EXPECT_TRUE(SameBytes(state.tags[1], other));
  EXPECT_EQ(ReadFileBytes(File("Tag.dat")), BytesOf(state.tags));
}

// --- Deletions -------------------------------------------------------------------------------

TagRecord NamedTag(const char* name, int32_t value = 0) {
  TagRecord tag = DefaultTagRecord();
  platform::CopyToArray(tag.name, name);
  tag.value = value;
  return tag;
}

std::vector<std::string> TagNames(const ProjectState& state) {
  return Texts(state.tags, &TagRecord::name);
}

TEST_F(DataFilesTest, DeletingADeviceKeepsItsTagsAndSavesTheRest) {
  state.devices.Add(DeviceOnPort(1));
  state.devices.Add(DeviceOnPort(3));
  state.tags = {NamedTag("t")};
  int announced = 0;
  DeleteOutcome outcome = DeleteDevice(state, 0, [&] { ++announced; });
  EXPECT_EQ(outcome.removed, 1u);
  EXPECT_TRUE(outcome.unsavedFile.empty());
  EXPECT_EQ(announced, 1);
  ASSERT_EQ(state.devices.GetSize(), 1u);
  EXPECT_EQ(state.devices[0].portNumber, 3);
  EXPECT_EQ(state.tags.size(), 1u);
  const auto* kept = reinterpret_cast<const uint8_t*>(&state.devices[0]);
  EXPECT_EQ(ReadFileBytes(File("Device.dat")),
            std::vector<uint8_t>(kept, kept + sizeof(DeviceRecord)));

  // A device no longer in the table: nothing goes, the table is saved all the same.
  outcome = DeleteDevice(state, 5);
  EXPECT_EQ(outcome.removed, 0u);
  EXPECT_EQ(state.devices.GetSize(), 1u);
  SetFolder(state, dir / "absent");
  EXPECT_EQ(DeleteDevice(state, 0).unsavedFile, "Device.dat");
  EXPECT_EQ(state.devices.GetSize(), 0u);
}

TEST_F(DataFilesTest, DeletingTagsRemovesTheFirstTagOfEachSelectedName) {
  state.tags = {NamedTag("a", 1), NamedTag("b"), NamedTag("a", 2), NamedTag("c"), NamedTag("a", 3)};
  int announced = 0;
  // The third "a" selected removes the first one; an index past the table is skipped.
  const std::vector<std::size_t> selected = {3, 4, 9};
  DeleteOutcome outcome = DeleteTags(state, selected, [&] { ++announced; });
  EXPECT_EQ(outcome.removed, 2u);
  EXPECT_EQ(announced, 1);
  EXPECT_EQ(TagNames(state), (std::vector<std::string>{"b", "a", "a"}));
  EXPECT_EQ(state.tags[1].value, 2);
  EXPECT_EQ(ReadFileBytes(File("Tag.dat")), BytesOf(state.tags));

  SetFolder(state, dir / "absent");
  const std::vector<std::size_t> first = {0};
  outcome = DeleteTags(state, first);
  EXPECT_EQ(outcome.unsavedFile, "Tag.dat");
  EXPECT_EQ(TagNames(state), (std::vector<std::string>{"a", "a"}));
}

TEST(RemoveTagsByNameTest, EachNameRemovesTheFirstTagOfThatNameStillThere) {
  std::vector<TagRecord> tags = {NamedTag("a"), NamedTag("b"), NamedTag("a", 2), NamedTag("c"),
                                 NamedTag("a")};
  // "a" twice removes the first two tags of that name, whatever the order of the names; a name
  // that is not there removes nothing.
  EXPECT_EQ(RemoveTagsByName(tags, {"a", "c", "a", "zz"}), 3u);
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(platform::ArrayText(tags[0].name), "b");
  EXPECT_EQ(platform::ArrayText(tags[1].name), "a");
  EXPECT_EQ(tags[1].value, 0);  // the third "a", not the second
}

TEST_F(DataFilesTest, DeletingAScreenDeletesItsFileFirstAndKeepsItWhenThatFails) {
  const fs::path absolute = dir / "elsewhere.pic";
  ScreenRecord inFolder{}, gone{}, undeletable{}, elsewhere{}, noFile{};
  platform::CopyToArray(inFolder.fileName, Gbk("主画面.pic"));
  platform::CopyToArray(gone.fileName, "gone.pic");
  platform::CopyToArray(undeletable.fileName, "dir.pic");
  platform::CopyToArray(elsewhere.fileName, absolute.string());
  state.screens = {inFolder, gone, undeletable, elsewhere, noFile};
  ASSERT_TRUE(WriteFileBytes(dir / "主画面.pic", Bytes(3)));
  ASSERT_TRUE(WriteFileBytes(absolute, Bytes(3)));
  fs::create_directories(dir / "dir.pic" / "inside");

  int announced = 0;
  const auto announce = [&] { ++announced; };
  DeleteOutcome outcome = DeleteScreen(state, 0, announce);
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.fileError, 0);
  EXPECT_FALSE(fs::exists(dir / "主画面.pic"));
  EXPECT_EQ(state.screens.size(), 4u);
  EXPECT_EQ(ReadFileBytes(File("PicManage.dat")), BytesOf(state.screens));

  outcome = DeleteScreen(state, 0, announce);  // the file was already gone: the record goes
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(outcome.fileError, ENOENT);
  EXPECT_EQ(state.screens.size(), 3u);
  EXPECT_EQ(announced, 2);

  fs::remove(File("PicManage.dat"));
  outcome = DeleteScreen(state, 0, announce);  // a folder cannot be unlinked: refused
  EXPECT_FALSE(outcome.done);
  EXPECT_NE(outcome.fileError, ENOENT);
  EXPECT_EQ(announced, 2);
  EXPECT_EQ(state.screens.size(), 3u);
  EXPECT_FALSE(fs::exists(File("PicManage.dat")));  // nothing saved
  ASSERT_EQ(sink.texts.size(), 2u);                 // the system's reasons, the missing file's too
  EXPECT_EQ(sink.texts[0], std::strerror(ENOENT));
  EXPECT_EQ(sink.texts[1], std::strerror(outcome.fileError));

  outcome = DeleteScreen(state, 1);  // an absolute name is taken as it is
  EXPECT_EQ(outcome.fileError, 0);
  EXPECT_FALSE(fs::exists(absolute));
  outcome = DeleteScreen(state, 1);  // no file name: only the record goes
  EXPECT_EQ(outcome.fileError, 0);
  EXPECT_EQ(state.screens.size(), 1u);
  EXPECT_TRUE(fs::exists(dir / "dir.pic" / "inside"));
}

}  // namespace
}  // namespace talvek

#include "workbench/project/talvek_doc.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "platform/gbk.h"
#include "platform/registry.h"
#include "platform/window_messages.h"
#include "workbench/project/app_profile.h"
#include "workbench/project/data_files.h"
#include "workbench/project/message_sink.h"

namespace talvek {
namespace {

// Shown with the caption "Error" when the profile could not be written and the store left no
// system error to quote.
constexpr std::string_view kRegistryWriteFailedText = "无法写入配置存储，当前工程路径未能保存。";
constexpr std::string_view kRegistryErrorCaption = "Error";

// The framework's open step: the project file must exist, be a regular file and open for reading.
// Nothing is read from it.
bool CanOpenForReading(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos)
    return false;
  // Non-blocking, so that a FIFO given as the project file cannot hang the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return false;
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular;
}

void Warn(const std::string& text) {
  ShowMessage(text, {}, MessageButtons::kOk, MessageIcon::kWarning);
}

// True when a GBK folder fits the project state's folder array with its NUL; tells the user when
// not. `shown` is the folder as the user knows it (UTF-8).
bool FolderFits(std::string_view folderGbk, std::string_view shown) {
  if (folderGbk.size() < kMaxProjectFolder)
    return true;
  Warn("工程文件夹路径过长（超过 259 字节），无法使用：" + std::string(shown));
  return false;
}

}  // namespace

std::string PluginLoadFailureText(std::string_view fileName) {
  return "加载  " + std::string(fileName) + " 失败";
}

CTalvekDoc::CTalvekDoc(std::unique_ptr<DriverHostInterface> host, DocumentWindow& window,
                       ProjectState& state)
    : host_(std::move(host)), window_(window), state_(state) {}

CTalvekDoc::~CTalvekDoc() {
  if (!host_)
    return;
  // The window may already be gone: talk to the host directly.
  if (host_->IsPolling())
    host_->StopAll();
  host_->DestroyDrivers();
}

void CTalvekDoc::StopCommunicationFirst() {
  if (window_.IsCommunicationRunning())
    window_.StopCommunication();
  // The stop command does nothing for a project without devices; a thread must still not outlive
  // its driver. Asking is enough: a thread asked to stop no longer touches the tables, and the
  // host destroys a driver only once its thread has ended.
  if (host_->IsPolling())
    host_->RequestStopAll();
}

void CTalvekDoc::DeleteContents() {
  StopCommunicationFirst();
  state_.screens.clear();
  state_.tags.clear();
  state_.devices.RemoveAll();
  state_.ports.clear();
  state_.keptFiles = 0;
  state_.devicesUnread = false;
  pathName_.clear();
  host_->DestroyDrivers();
}

void CTalvekDoc::NotifyScreenEditor() {
  HWND editor = platform::FindWindowA(kScreenEditorClass, nullptr);
  if (editor == nullptr)
    return;
  platform::PostMessageA(editor, kScreenEditorProjectClosed, 0, 0);
  platform::BringWindowToTop(editor);
}

void CTalvekDoc::CloseProject() {
  NotifyScreenEditor();
  DeleteContents();
  window_.SetTitle(kNoProjectTitle);
  std::memset(state_.folder, 0, sizeof state_.folder);
  window_.UpdateAllViews(kHintProjectClosed);
  window_.SetToolbarLook(ToolbarLook::kNoProject);
}

bool CTalvekDoc::OnNewDocument() {
  DeleteContents();
  pathName_.clear();
  modified_ = false;
  return true;
}

void CTalvekDoc::StoreCurrentProjectFolder() {
  errno = 0;
  if (platform::Registry::Instance().SetString(kSettingsKey, kCurrentProjectValue,
                                               platform::ArrayText(state_.folder))) {
    return;
  }
  const int error = errno;
  const std::string text =
      error != 0 ? std::string(std::strerror(error)) : std::string(kRegistryWriteFailedText);
  ShowMessage(text, kRegistryErrorCaption, MessageButtons::kOk, MessageIcon::kInformation);
}

bool CTalvekDoc::OnOpenDocument(std::string_view path) {
  // Everything that can refuse the open is checked before the open project is touched.
  const std::string pathText(path);
  if (!CanOpenForReading(pathText)) {
    Warn("无法打开工程文件：" + pathText);
    return false;
  }
  // Searched in UTF-8, where '/' is never part of a multi-byte character (in GBK, '\\' can be a
  // trail byte). Only '/' separates: on Linux a backslash is an ordinary character of a name.
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    Warn("工程文件路径中没有文件夹：" + pathText);
    return false;
  }
  const std::string_view folderUtf8 = slash == 0 ? std::string_view("/") : path.substr(0, slash);
  std::string folderGbk;
  if (!platform::Utf8ToGbk(folderUtf8, folderGbk)) {
    Warn("工程文件夹路径含有 GBK 编码无法表示的字符，无法使用：" + std::string(folderUtf8));
    return false;
  }
  if (!FolderFits(folderGbk, folderUtf8))
    return false;

  CloseProject();
  platform::CopyToArray(state_.folder, folderGbk);
  try {
    // A refused data file leaves its table empty and has told the user; the open goes on.
    static_cast<void>(LoadDevices(state_));
    static_cast<void>(LoadPorts(state_));
    static_cast<void>(LoadTags(state_));
  } catch (const std::bad_alloc&) {
    // A data file too large for memory: leave no half-loaded project behind.
    CloseProject();
    Warn("内存不足，无法载入工程数据：" + std::string(folderUtf8));
    return false;
  }
  const std::optional<std::string> deviceFile = DataFilePath(state_, kDeviceFileName);
  host_->CreateDrivers(deviceFile ? deviceFile->c_str() : "");
  window_.UpdateAllViews(kHintProjectOpened);
  StoreCurrentProjectFolder();
  window_.SetToolbarLook(ToolbarLook::kStopped);

  pathName_ = pathText;
  modified_ = false;
  window_.SetTitle(path.substr(slash + 1));
  return true;
}

bool CTalvekDoc::NewProject() {
  if (plugin_ == nullptr)
    plugin_ = platform::LoadLibraryA(pluginFile_.c_str());
  if (plugin_ == nullptr) {
    ShowMessage(PluginLoadFailureText(pluginFile_), {}, MessageButtons::kOk, MessageIcon::kWarning);
    return false;
  }
  const auto show = reinterpret_cast<NewProjectShowFn>(platform::GetProcAddress(plugin_, "Show"));
  if (show == nullptr)
    return false;
  char location[kWizardBufferSize] = {};
  char name[kWizardBufferSize] = {};
  if (show(location, name) == 0)
    return false;

  // The wizard's answer is checked before the open project is touched. A buffer without its NUL
  // was filled to the brim by the plug-in and is not trusted.
  const std::string_view locationGbk = platform::ArrayText(location);
  const std::string_view nameGbk = platform::ArrayText(name);
  if (locationGbk.size() == kWizardBufferSize || nameGbk.size() == kWizardBufferSize ||
      locationGbk.empty() || nameGbk.empty()) {
    Warn("新建工程向导没有返回有效的工程位置和名称。");
    return false;
  }
  std::string folderGbk(locationGbk);
  if (folderGbk.back() != '/')
    folderGbk += '/';
  folderGbk += nameGbk;
  std::string folderUtf8, nameUtf8;
  if (!platform::GbkToUtf8(folderGbk, folderUtf8) || !platform::GbkToUtf8(nameGbk, nameUtf8)) {
    Warn("新建工程向导返回的工程位置或名称不是有效的 GBK 文本。");
    return false;
  }
  if (!FolderFits(folderGbk, folderUtf8))
    return false;

  CloseProject();
  platform::CopyToArray(state_.folder, folderGbk);
  window_.SetTitle(kNewProjectTitle);
  window_.UpdateAllViews(kHintProjectOpened);
  StoreCurrentProjectFolder();
  if (!OnNewDocument())
    return false;
  window_.UpdateAllViews(kHintProjectCreated);
  // The new project file goes on the recent list; it is not opened.
  window_.AddToRecentFileList(folderUtf8 + "/" + nameUtf8 + std::string(kNewProjectFileExtension));
  return true;
}

bool CTalvekDoc::OnCloseDocument() {
  StopCommunicationFirst();
  bool saved = true;
  if (state_.IsOpen()) {
    // Saves are atomic: a file that fails keeps its previous content on disk.
    std::string failed;
    const auto note = [&](bool ok, std::string_view file) {
      if (ok)
        return;
      saved = false;
      if (!failed.empty())
        failed += "、";
      failed += file;
    };
    // Routine saves: a refused file that could not be copied aside is left as it is.
    note(SavePorts(state_, SaveKind::kRoutine), kPortFileName);
    note(SaveDevices(state_, SaveKind::kRoutine), kDeviceFileName);
    note(SaveTags(state_, SaveKind::kRoutine), kTagFileName);
    if (!saved) {
      ShowMessage("以下工程数据文件未能保存，磁盘上仍是上次保存的内容：" + failed, {},
                  MessageButtons::kOk, MessageIcon::kError);
    }
  }
  DeleteContents();
  return saved;
}

}  // namespace talvek

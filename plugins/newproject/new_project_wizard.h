// The new-project wizard: page one asks for the project name and the parent folder, page two sums
// them up, and Finish creates the project folder with its project file and empty data files.
//
// The module's export Show forwards to RunNewProjectWizard, which the tests call directly:
//
//   char folder[260] = {}, name[260] = {};
//   if (almery::RunNewProjectWizard(folder, name) == 1) {
//     // folder/name exists, holding name.zrprj, Device.dat, Tag.dat and PicManage.dat; both
//     // buffers hold GBK text
//   }
//
// Message boxes go through the plug-ins' message hook (common/message_hook.h) and the folder
// browser through a replaceable function, so tests answer them without a window; both live in
// this module's own copy, never in the workbench's UI library.
#pragma once

#include <functional>

#include <QString>

class QWidget;

namespace almery {

// Template ids of the frame and the two pages.
inline constexpr int kFrameTemplate = 131;
inline constexpr int kNameFolderPageTemplate = 141;
inline constexpr int kProjectInfoPageTemplate = 139;

// Texts of the messages the wizard shows.
inline const QString kLocationRefusedText =
    QStringLiteral("指定的路径已存在或不合法,请选则其他路径!");
inline const QString kCreateFailedText = QStringLiteral("由于%1原因,项目创建失败!");
inline const QString kUnknownReasonText = QStringLiteral(" 未知 ");
inline const QString kDeviceFileFailedText = QStringLiteral("Device.dat: 创建失败!");
inline const QString kTagFileFailedText = QStringLiteral("Tag.dat: 创建失败!");
inline const QString kScreenFileFailedText = QStringLiteral("PicManage.dat: 创建失败!");
inline const QString kProjectFileFailedText = QStringLiteral("ZRPrj文件: 创建失败!");
inline const QString kNameNotGbkText =
    QStringLiteral("项目名称中含有无法用GBK编码保存的字符(例如表情符号),请修改项目名称!");
inline const QString kFolderNotGbkText =
    QStringLiteral("项目路径中含有无法用GBK编码保存的字符,请选择其他路径!");
inline const QString kLeftOverText =
    QStringLiteral("未能删除本次创建的不完整项目文件夹\"%1\",请手动删除!");

// Title of the folder browser.
inline const QString kBrowseTitle = QStringLiteral("请选择路径: ");
// The name page one proposes.
inline const QString kDefaultProjectName = QStringLiteral("项目");

// Asks for a folder, starting at `preselected`; returns the chosen folder, or an empty text when
// the user cancelled.
using FolderBrowser =
    std::function<QString(QWidget* parent, const QString& title, const QString& preselected)>;
// Replaces the folder browser; null restores QFileDialog::getExistingDirectory.
void SetFolderBrowser(FolderBrowser browser);

// The folder page one proposes and the browser starts at: the user's documents folder, or the home
// folder when the documents folder does not exist.
QString DefaultProjectFolder();

// The parent folder and the project name the wizard last read from page one; they keep their
// values between runs.
QString LastProjectFolder();
QString LastProjectName();

// Runs the wizard modally. Returns 1 when it ended through Finish and the project was created; both
// buffers (kBufferSize bytes each) then hold the parent folder and the name in GBK. Returns 0
// otherwise and leaves the buffers untouched. Needs a QApplication (creates one when the process
// has no application object yet) and the thread that runs it; null buffers return 0 at once.
int RunNewProjectWizard(char* folderOut, char* nameOut);

}  // namespace almery

#include "plugins/newproject/new_project_wizard.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QThread>
#include <QVBoxLayout>

#include "common/message_hook.h"
#include "common/wizard/wizard_dlg.h"
#include "common/wizard/wizard_page.h"
#include "plugins/newproject/project_files.h"

namespace almery {
namespace {

// Control ids of the pages, kept as object names so tests and accessibility tools find them.
const QString kNameEditName = QStringLiteral("nameEdit");          // 1030
const QString kFolderComboName = QStringLiteral("folderCombo");    // 9000
const QString kBrowseButtonName = QStringLiteral("browseButton");  // 9001
const QString kFolderLabelName = QStringLiteral("folderLabel");    // 1026
const QString kNameLabelName = QStringLiteral("nameLabel");        // 1027

// Only the first two are shown. The second page sums up the new project before it is created.
const std::array<QString, WizardDlg::kStepTitleCount> kStepTitles = {
    QStringLiteral("项目生成向导——项目名称,文件路径"),
    QStringLiteral("项目生成向导——项目信息"),
    QStringLiteral("设备配置向导——选择串口号"),
    QStringLiteral("设备配置向导——设备地址设置指南"),
    QStringLiteral("通信参数"),
    QStringLiteral("设备安装向导——信息总结"),
};

FolderBrowser& FolderBrowserRef() {
  static FolderBrowser browser;
  return browser;
}

// The module-wide state: the strings page one last read, and what the current run made of them.
struct WizardState {
  QString folder;  // parent folder, as typed or chosen
  QString name;    // project name, as typed
  // The accepted location of the current run, as page one's check left it.
  bool accepted = false;
  std::string folderUtf8, nameUtf8, folderGbk, nameGbk;
  // Set once the project is on disk in the current run.
  bool created = false;
};

WizardState& State() {
  static WizardState state;
  return state;
}

void ShowMessage(const QString& text, QWidget* parent) {
  talvek::ShowMessageBox(parent, QApplication::applicationDisplayName(), text);
}

QString BrowseForFolder(QWidget* parent, const QString& preselected) {
  if (const FolderBrowser& browser = FolderBrowserRef()) {
    return browser(parent, kBrowseTitle, preselected);
  }
  return QFileDialog::getExistingDirectory(parent, kBrowseTitle, preselected,
                                           QFileDialog::ShowDirsOnly);
}

// The system's text for errno `error`, in the program's locale.
QString SystemReason(int error) {
  char buffer[256] = {};
  const char* text = ::strerror_r(error, buffer, sizeof buffer);
  const QString reason = text ? QString::fromLocal8Bit(text) : QString();
  return reason.isEmpty() ? kUnknownReasonText : reason;
}

QString CreateFailureText(const CreateOutcome& outcome) {
  switch (outcome.failed) {
    case CreateStep::kFolder:
      return kCreateFailedText.arg(SystemReason(outcome.error));
    case CreateStep::kDeviceFile:
      return kDeviceFileFailedText;
    case CreateStep::kTagFile:
      return kTagFileFailedText;
    case CreateStep::kScreenFile:
      return kScreenFileFailedText;
    case CreateStep::kProjectFile:
      return kProjectFileFailedText;
    case CreateStep::kNone:
      break;
  }
  return {};
}

// Page one (template 141): the project name and the parent folder.
class NameFolderPage final : public WizardPage {
 public:
  // Next is available at once; the defaults are already filled in.
  int OnCreated() override {
    Wizard()->NextButton()->setEnabled(true);
    return 1;
  }

  int OnWizardNext() override { return CheckLocation() ? kNeighbour : kStay; }

  // The project is created from the summary page only: a Finish command while this page is on show
  // would end the wizard without the user having seen what is created, or with nothing created.
  int OnWizardFinish() override { return IsActive() ? 0 : 1; }

 protected:
  void BuildUi() override {
    setMinimumWidth(480);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("在这一步，请输入项目名称及路径"), this));

    auto* grid = new QGridLayout;
    name_ = new QLineEdit(kDefaultProjectName, this);
    name_->setObjectName(kNameEditName);
    grid->addWidget(new QLabel(QStringLiteral("名称"), this), 0, 0);
    grid->addWidget(name_, 0, 1, 1, 2);

    folder_ = new QComboBox(this);
    folder_->setObjectName(kFolderComboName);
    folder_->setEditable(true);
    folder_->setInsertPolicy(QComboBox::NoInsert);
    folder_->setEditText(DefaultProjectFolder());
    auto* browse = new QPushButton(QStringLiteral("..."), this);
    browse->setObjectName(kBrowseButtonName);
    browse->setFixedWidth(browse->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 24);
    grid->addWidget(new QLabel(QStringLiteral("路径"), this), 1, 0);
    grid->addWidget(folder_, 1, 1);
    grid->addWidget(browse, 1, 2);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);
    layout->addStretch(1);

    connect(browse, &QPushButton::clicked, this, [this] { Browse(); });
  }

 private:
  void Browse() {
    const QString chosen = BrowseForFolder(Wizard(), DefaultProjectFolder());
    if (!chosen.isEmpty()) {
      State().folder = chosen;
      folder_->setEditText(chosen);
    }
  }

  // Reads the page into the module's strings and accepts them only when the project can be made
  // there and handed back whole in the caller's buffers.
  bool CheckLocation() {
    WizardState& state = State();
    state.accepted = false;
    state.folder = folder_->currentText();
    state.name = name_->text();
    state.folderUtf8 = state.folder.toStdString();
    state.nameUtf8 = state.name.toStdString();
    switch (
        CheckProjectLocation(state.folderUtf8, state.nameUtf8, state.folderGbk, state.nameGbk)) {
      case LocationProblem::kNone:
        state.accepted = true;
        return true;
      case LocationProblem::kNameNotGbk:
        ShowMessage(kNameNotGbkText, Wizard());
        return false;
      case LocationProblem::kFolderNotGbk:
        ShowMessage(kFolderNotGbkText, Wizard());
        return false;
      case LocationProblem::kInvalid:
      case LocationProblem::kExists:
        break;
    }
    ShowMessage(kLocationRefusedText, Wizard());
    return false;
  }

  QLineEdit* name_ = nullptr;
  QComboBox* folder_ = nullptr;
};

// Page two (template 139): the summary, and the project creation on Finish.
class ProjectInfoPage final : public WizardPage {
 public:
  int OnCreated() override {
    ShowLocation();
    return 1;
  }
  void OnShown() override { ShowLocation(); }

  int OnWizardFinish() override {
    WizardState& state = State();
    if (!state.accepted) {
      return 0;
    }
    const CreateOutcome outcome = CreateProjectFiles(state.folderUtf8, state.nameUtf8);
    if (!outcome.ok()) {
      ShowMessage(CreateFailureText(outcome), Wizard());
      if (outcome.leftOver) {
        ShowMessage(
            kLeftOverText.arg(QString::fromStdString(JoinPath(state.folderUtf8, state.nameUtf8))),
            Wizard());
      }
      return 0;
    }
    state.created = true;
    return 1;
  }

 protected:
  void BuildUi() override {
    setMinimumWidth(480);
    auto* layout = new QHBoxLayout(this);
    // The bitmap control: the module ships no picture for it, so it stays an empty frame.
    auto* bitmap = new QLabel(this);
    bitmap->setObjectName(QStringLiteral("bitmapLabel"));
    bitmap->setFixedSize(96, 128);
    layout->addWidget(bitmap, 0, Qt::AlignTop);

    auto* group = new QGroupBox(QStringLiteral("项目信息"), this);
    auto* groupLayout = new QVBoxLayout(group);
    folder_ = new QLabel(group);
    folder_->setObjectName(kFolderLabelName);
    name_ = new QLabel(group);
    name_->setObjectName(kNameLabelName);
    for (QLabel* label : {folder_, name_}) {
      label->setWordWrap(true);
      label->setTextFormat(Qt::PlainText);
      label->setTextInteractionFlags(Qt::TextSelectableByMouse);
      groupLayout->addWidget(label);
    }
    groupLayout->addStretch(1);
    layout->addWidget(group, 1);
  }

 private:
  void ShowLocation() {
    folder_->setText(State().folder);
    name_->setText(State().name);
  }

  QLabel* folder_ = nullptr;
  QLabel* name_ = nullptr;
};

// The application object widgets need; a standalone caller gets one that lives as long as the
// process. Null when the process runs a non-GUI application object, which cannot show widgets.
QApplication* EnsureApplication() {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    return qobject_cast<QApplication*>(app);
  }
  static int argc = 1;
  static char programName[] = "Almery";
  static char* argv[] = {programName, nullptr};
  return new QApplication(argc, argv);
}

}  // namespace

void SetFolderBrowser(FolderBrowser browser) {
  FolderBrowserRef() = std::move(browser);
}

QString DefaultProjectFolder() {
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (!documents.isEmpty() && QFileInfo(documents).isDir()) {
    return documents;
  }
  return QDir::homePath();
}

QString LastProjectFolder() {
  return State().folder;
}

QString LastProjectName() {
  return State().name;
}

int RunNewProjectWizard(char* folderOut, char* nameOut) {
  if (folderOut == nullptr || nameOut == nullptr) {
    return 0;
  }
  QApplication* app = EnsureApplication();
  if (app == nullptr || QThread::currentThread() != app->thread()) {
    std::fputs("Almery: Show needs a Qt Widgets application and its thread\n", stderr);
    return 0;
  }

  WizardState& state = State();
  state.accepted = false;
  state.created = false;

  NameFolderPage nameFolder;
  ProjectInfoPage projectInfo;
  WizardDlg frame(QApplication::activeWindow());
  frame.SetStepTitles(kStepTitles);
  frame.AddPage(&nameFolder, kNameFolderPageTemplate);
  frame.AddPage(&projectInfo, kProjectInfoPageTemplate);
  const int result = frame.exec();
  if (result != WizardDlg::kFinishResult || !state.created) {
    return 0;
  }

  // Page one's check made sure that both GBK texts and their NULs fit the buffers.
  std::memcpy(folderOut, state.folderGbk.c_str(), state.folderGbk.size() + 1);
  std::memcpy(nameOut, state.nameGbk.c_str(), state.nameGbk.size() + 1);
  return 1;
}

}  // namespace almery

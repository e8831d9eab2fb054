// Tests of the new-project wizard: the defaults and pages, the checks of page one, the project
// creation and its failures, the buffers handed back, and the built module loaded by file name.
// HOME points at a temporary folder whose documents folder is "文档", so GBK and UTF-8 differ.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "common/message_hook.h"
#include "common/testing/test_support.h"
#include "common/wizard/wizard_dlg.h"
#include "platform/gbk.h"
#include "platform/module.h"
#include "plugins/newproject/new_project_wizard.h"
#include "plugins/newproject/project_files.h"

namespace fs = std::filesystem;
using almery::kBufferSize;

namespace {

constexpr std::size_t kGuard = 8;  // bytes after each buffer that must stay untouched
constexpr char kGuardByte = 0x5A;

std::string Gbk(const QString& text) {
  return platform::Utf8ToGbk(text.toStdString());
}

QString Reason(int error) {
  return almery::kCreateFailedText.arg(QString::fromLocal8Bit(std::strerror(error)));
}

std::set<std::string> Entries(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

void TypeLocation(WizardDlg& dlg, const QString& folder, const QString& name) {
  dlg.findChild<QComboBox*>("folderCombo")->setEditText(folder);
  dlg.findChild<QLineEdit*>("nameEdit")->setText(name);
}

QString LabelText(WizardDlg& dlg, const char* objectName) {
  return dlg.findChild<QLabel*>(objectName)->text();
}

// Runs `action` once the event loop runs (inside the next modal loop); never after the object is
// gone, so an action whose loop never came cannot leak into a later test.
struct ScopedLater {
  QTimer timer;
  explicit ScopedLater(const std::function<void()>& action) {
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, action);
    timer.start(0);
  }
};

// Ends any modal dialog still running, so no test can hang on a wizard or a message box.
struct HangGuard {
  QTimer timer;
  bool fired = false;
  HangGuard() {
    timer.setInterval(5000);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        fired = true;
        dialog->reject();
      }
    });
    timer.start();
  }
};

}  // namespace

class TestNewProjectWizard : public QObject {
  Q_OBJECT

  std::unique_ptr<testing_support::TempDir> home_;
  std::unique_ptr<testing_support::ScopedEnv> homeEnv_, configEnv_;
  fs::path documents_;
  QStringList messages_;
  char folder_[kBufferSize + kGuard];
  char name_[kBufferSize + kGuard];

  QString Documents() const { return QString::fromStdString(documents_.string()); }

  // Runs the wizard while `steps` drive it from inside its modal loop. Steps that leave the wizard
  // open are a failure; the wizard is then cancelled.
  int Run(const std::function<void(WizardDlg&)>& steps) {
    HangGuard guard;
    bool reached = false, leftOpen = false;
    ScopedLater later([&] {
      auto* dlg = qobject_cast<WizardDlg*>(QApplication::activeModalWidget());
      if (dlg == nullptr) {
        return;
      }
      reached = true;
      steps(*dlg);
      if (dlg->isVisible()) {
        leftOpen = true;
        dlg->done(WizardDlg::kCancelResult);
      }
    });
    const int result = almery::RunNewProjectWizard(folder_, name_);
    QTest::qVerify(reached && !leftOpen && !guard.fired, "wizard driven and closed", "", __FILE__,
                   __LINE__);
    return result;
  }

  // The buffers hold `folder` and `name` (GBK) with their NULs, and nothing was written past them.
  void CheckBuffers(const std::string& folder, const std::string& name) {
    QCOMPARE(std::string(folder_), folder);
    QCOMPARE(std::string(name_), name);
    for (std::size_t i = kBufferSize; i < kBufferSize + kGuard; ++i) {
      QCOMPARE(folder_[i], kGuardByte);
      QCOMPARE(name_[i], kGuardByte);
    }
  }

  void CheckProject(const fs::path& folder, const std::string& name) {
    QCOMPARE(Entries(folder),
             (std::set<std::string>{"Device.dat", "Tag.dat", "PicManage.dat", name + ".zrprj"}));
    for (const auto& entry : fs::directory_iterator(folder)) {
      QCOMPARE(fs::file_size(entry.path()), std::uintmax_t{0});
    }
  }

 private slots:
  void initTestCase() {
    home_ = std::make_unique<testing_support::TempDir>();
    homeEnv_ = std::make_unique<testing_support::ScopedEnv>("HOME", home_->str());
    configEnv_ = std::make_unique<testing_support::ScopedEnv>("XDG_CONFIG_HOME",
                                                              (*home_ / ".config").string());
    fs::create_directories(*home_ / ".config");
    std::ofstream(*home_ / ".config" / "user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"$HOME/文档\"\n";
    documents_ = *home_ / "文档";
    talvek::SetMessageBoxHook([this](QWidget*, const QString& text) { messages_ << text; });
  }

  void init() {
    fs::remove_all(documents_);
    fs::create_directories(documents_);
    messages_.clear();
    almery::SetCreateFaultForTesting(nullptr);
    almery::SetFolderBrowser(nullptr);
    std::memset(folder_, 0, kBufferSize);
    std::memset(name_, 0, kBufferSize);
    std::memset(folder_ + kBufferSize, kGuardByte, kGuard);
    std::memset(name_ + kBufferSize, kGuardByte, kGuard);
  }

  void defaultsAndSummary_data() {
    QTest::addColumn<bool>("haveDocuments");
    QTest::newRow("documents folder") << true;
    QTest::newRow("home folder when there is no documents folder") << false;
  }

  // Page one proposes "项目" in the documents folder with Next available; page two sums up; Cancel
  // creates nothing and leaves the buffers alone.
  void defaultsAndSummary() {
    QFETCH(bool, haveDocuments);
    if (!haveDocuments) {
      fs::remove_all(documents_);
    }
    const QString expected = haveDocuments ? Documents() : QString::fromStdString(home_->str());
    std::memset(folder_, 1, kBufferSize);
    const int result = Run([&](WizardDlg& dlg) {
      QCOMPARE(dlg.windowTitle(), QString("项目生成向导——项目名称,文件路径"));
      QCOMPARE(dlg.findChild<QLineEdit*>("nameEdit")->text(), QString("项目"));
      QCOMPARE(dlg.findChild<QComboBox*>("folderCombo")->currentText(), expected);
      QVERIFY(dlg.NextButton()->isEnabled() && !dlg.BackButton()->isEnabled());
      QVERIFY(dlg.ExecuteCommand(WizardDlg::kIdNext));
      QCOMPARE(dlg.Step(), 1);
      QCOMPARE(dlg.windowTitle(), QString("项目生成向导——项目信息"));
      QCOMPARE(dlg.NextButton()->text(), QString("完成"));
      QCOMPARE(dlg.findChild<QGroupBox*>()->title(), QString("项目信息"));
      QCOMPARE(LabelText(dlg, "folderLabel"), expected);
      QCOMPARE(LabelText(dlg, "nameLabel"), QString("项目"));
      dlg.ExecuteCommand(WizardDlg::kIdCancel);
    });
    QCOMPARE(result, 0);
    QCOMPARE(folder_[0], char{1});
    QCOMPARE(name_[0], char{0});
    QVERIFY(!fs::exists(expected.toStdString() + "/项目"));
    QVERIFY(messages_.isEmpty());
  }

  // Finish with the defaults creates 文档/项目 with its four empty files and fills both buffers.
  void finishCreatesProject() {
    const int result = Run([](WizardDlg& dlg) {
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      dlg.ExecuteCommand(WizardDlg::kIdNext);
    });
    QCOMPARE(result, 1);
    CheckBuffers(Gbk(Documents()), "\xCF\xEE\xC4\xBF");
    QVERIFY(Gbk(Documents()) != Documents().toStdString());  // the folder's bytes were converted
    CheckProject(documents_ / "项目", "项目");
    QVERIFY(messages_.isEmpty());
    QCOMPARE(almery::LastProjectName(), QString("项目"));
  }

  void refusedLocations_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    const QString refused = almery::kLocationRefusedText;
    const QString docs = Documents();
    // Joined GBK form of 260 bytes: one more than the buffer holds with its NUL.
    const int room = static_cast<int>(kBufferSize - 1 - Gbk(docs).size() - 1);
    QTest::newRow("empty name") << docs << "" << refused;
    QTest::newRow("blank name") << docs << " \u3000 " << refused;
    QTest::newRow("separator") << docs << "a/b" << refused;
    QTest::newRow("dot") << docs << "." << refused;
    QTest::newRow("dot dot") << docs << ".." << refused;
    QTest::newRow("control character") << docs << "a\tb" << refused;
    QTest::newRow("empty folder") << ""
                                  << "p" << refused;
    QTest::newRow("relative folder") << "文档"
                                     << "p" << refused;
    QTest::newRow("one byte too long") << docs << QString(room + 1, 'x') << refused;
    QTest::newRow("emoji in name") << docs << "泵站😀" << almery::kNameNotGbkText;
    QTest::newRow("emoji in folder") << docs + "/😀"
                                     << "p" << almery::kFolderNotGbkText;
  }

  // Names and folders that cannot be created or handed back whole keep page one with a message.
  void refusedLocations() {
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QString, message);
    fs::create_directory(documents_ / "😀");
    const int result = Run([&](WizardDlg& dlg) {
      TypeLocation(dlg, folder, name);
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      QCOMPARE(dlg.Step(), 0);
      dlg.ExecuteCommand(WizardDlg::kIdCancel);
    });
    QCOMPARE(result, 0);
    QCOMPARE(messages_, QStringList{message});
    QCOMPARE(Entries(documents_), std::set<std::string>{"😀"});
  }

  void existingEntryRefused_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("folder") << "folder";
    QTest::newRow("file") << "file";
    QTest::newRow("dangling link") << "link";
  }

  // Whatever is already called 项目 in the folder refuses the name and is left as it was.
  void existingEntryRefused() {
    QFETCH(QString, kind);
    const fs::path entry = documents_ / "项目";
    if (kind == "folder") {
      fs::create_directory(entry);
    } else if (kind == "file") {
      std::ofstream(entry) << "keep";
    } else {
      fs::create_symlink(documents_ / "nowhere", entry);
    }
    const int result = Run([&](WizardDlg& dlg) {
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      QCOMPARE(dlg.Step(), 0);
      dlg.ExecuteCommand(WizardDlg::kIdCancel);
    });
    QCOMPARE(result, 0);
    QCOMPARE(messages_, QStringList{almery::kLocationRefusedText});
    QVERIFY(fs::exists(fs::symlink_status(entry)));
    if (kind == "file") {
      QCOMPARE(fs::file_size(entry), std::uintmax_t{4});
    } else if (kind == "folder") {
      QVERIFY(fs::is_empty(entry));
    }
  }

  void longestLocationFits_data() {
    QTest::addColumn<QString>("name");
    const int room = static_cast<int>(kBufferSize - 1 - Gbk(Documents()).size() - 1);
    QTest::newRow("259 bytes joined") << QString(room, 'x');
    // 83 characters: 249 bytes in UTF-8 (too long joined), 166 in GBK (fits).
    QTest::newRow("GBK bytes are counted") << QString(83, QChar(0x6CF5));
  }

  // The limit is the caller's buffers in GBK: the longest location that fits is created and handed
  // back without writing past either buffer.
  void longestLocationFits() {
    QFETCH(QString, name);
    const int result = Run([&](WizardDlg& dlg) {
      TypeLocation(dlg, Documents(), name);
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      dlg.ExecuteCommand(WizardDlg::kIdNext);
    });
    QCOMPARE(result, 1);
    QVERIFY(messages_.isEmpty());
    CheckBuffers(Gbk(Documents()), Gbk(name));
    CheckProject(documents_ / name.toStdString(), name.toStdString());
  }

  // "..." opens the browser on the documents folder; a chosen folder replaces the combo text, a
  // cancelled browser changes nothing.
  void browse() {
    QStringList calls;
    QStringList answers{"/srv/其他", ""};
    almery::SetFolderBrowser([&](QWidget* parent, const QString& title, const QString& start) {
      calls << title << start << parent->metaObject()->className();
      return answers.takeFirst();
    });
    Run([&](WizardDlg& dlg) {
      auto* combo = dlg.findChild<QComboBox*>("folderCombo");
      dlg.findChild<QPushButton*>("browseButton")->click();
      QCOMPARE(combo->currentText(), QString("/srv/其他"));
      dlg.findChild<QPushButton*>("browseButton")->click();
      QCOMPARE(combo->currentText(), QString("/srv/其他"));
      dlg.ExecuteCommand(WizardDlg::kIdCancel);
    });
    QCOMPARE(calls, (QStringList{"请选择路径: ", Documents(), "WizardDlg",
                                 "请选择路径: ", Documents(), "WizardDlg"}));
  }

  // Back keeps page one's values; a new name shows on page two and is the one created.
  void backAndNewName() {
    const int result = Run([](WizardDlg& dlg) {
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      dlg.ExecuteCommand(WizardDlg::kIdBack);
      QCOMPARE(dlg.Step(), 0);
      QCOMPARE(dlg.NextButton()->text(), QString("下一步"));
      QVERIFY(!dlg.BackButton()->isEnabled());
      dlg.findChild<QLineEdit*>("nameEdit")->setText("泵站");
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      QCOMPARE(LabelText(dlg, "nameLabel"), QString("泵站"));
      dlg.ExecuteCommand(WizardDlg::kIdNext);
    });
    QCOMPARE(result, 1);
    CheckBuffers(Gbk(Documents()), "\xB1\xC3\xD5\xBE");
    QCOMPARE(Entries(documents_), std::set<std::string>{"泵站"});
    CheckProject(documents_ / "泵站", "泵站");
  }

  // A parent folder that does not exist passes page one; Finish then names the system's reason
  // and keeps the wizard open.
  void missingParentFolder() {
    const int result = Run([&](WizardDlg& dlg) {
      TypeLocation(dlg, Documents() + "/不存在", "项目");
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      QVERIFY(dlg.isVisible());
      QCOMPARE(dlg.Step(), 1);
      dlg.ExecuteCommand(WizardDlg::kIdCancel);
    });
    QCOMPARE(result, 0);
    QCOMPARE(messages_, QStringList{Reason(ENOENT)});
    QVERIFY(fs::is_empty(documents_));
  }

  // A folder that appears between page one and Finish is reported and never used or removed.
  void folderMadeBeforeFinish() {
    const int result = Run([&](WizardDlg& dlg) {
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      fs::create_directory(documents_ / "项目");
      std::ofstream(documents_ / "项目" / "keep.txt") << "keep";
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      dlg.ExecuteCommand(WizardDlg::kIdCancel);
    });
    QCOMPARE(result, 0);
    QCOMPARE(messages_, QStringList{Reason(EEXIST)});
    QCOMPARE(Entries(documents_ / "项目"), std::set<std::string>{"keep.txt"});
  }

  void halfWayFailureUndone_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("message");
    QTest::newRow("Device.dat") << "Device.dat" << almery::kDeviceFileFailedText;
    QTest::newRow("Tag.dat") << "Tag.dat" << almery::kTagFileFailedText;
    QTest::newRow("PicManage.dat") << "PicManage.dat" << almery::kScreenFileFailedText;
    QTest::newRow("project file") << "项目.zrprj" << almery::kProjectFileFailedText;
  }

  // A file that cannot be created is reported; what this run made is removed, so no half-made
  // project is left and Finish can be tried again.
  void halfWayFailureUndone() {
    QFETCH(QString, file);
    QFETCH(QString, message);
    std::ofstream(documents_ / "其他.txt") << "keep";
    almery::SetCreateFaultForTesting(
        [&](std::string_view name) { return name == file.toStdString() ? EIO : 0; });
    const int result = Run([&](WizardDlg& dlg) {
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      QVERIFY(dlg.isVisible());
      QCOMPARE(messages_, QStringList{message});
      QCOMPARE(Entries(documents_), std::set<std::string>{"其他.txt"});
      almery::SetCreateFaultForTesting(nullptr);
      dlg.ExecuteCommand(WizardDlg::kIdNext);
    });
    QCOMPARE(result, 1);
    CheckProject(documents_ / "项目", "项目");
    QCOMPARE(fs::file_size(documents_ / "其他.txt"), std::uintmax_t{4});
  }

  // The undo removes only its own files: a file someone else put into the new folder stays, with
  // the folder, and the user is told.
  void undoLeavesForeignEntries() {
    const fs::path project = documents_ / "项目";
    almery::SetCreateFaultForTesting([&](std::string_view name) {
      if (name != "Tag.dat") {
        return 0;
      }
      std::ofstream(project / "foreign.txt") << "x";
      return EIO;
    });
    const int result = Run([](WizardDlg& dlg) {
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      dlg.ExecuteCommand(WizardDlg::kIdNext);
      dlg.ExecuteCommand(WizardDlg::kIdCancel);
    });
    QCOMPARE(result, 0);
    QCOMPARE(messages_, (QStringList{almery::kTagFileFailedText,
                                     almery::kLeftOverText.arg(QString::fromStdString(project))}));
    QCOMPARE(Entries(project), std::set<std::string>{"foreign.txt"});
  }

  // The finish command reaches the frame on page one too; it must not end the wizard as finished
  // with nothing created. Null buffers return 0 without a wizard.
  void finishOnlyFromSummary() {
    const int result = Run([](WizardDlg& dlg) {
      dlg.ExecuteCommand(WizardDlg::kIdFinish);
      QVERIFY(dlg.isVisible());
      dlg.ExecuteCommand(WizardDlg::kIdCancel);
    });
    QCOMPARE(result, 0);
    QVERIFY(fs::is_empty(documents_));
    bool opened = false;
    ScopedLater closer([&] {
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        opened = true;
        dialog->reject();
      }
    });
    QCOMPARE(almery::RunNewProjectWizard(nullptr, name_), 0);
    QCOMPARE(almery::RunNewProjectWizard(folder_, nullptr), 0);
    QVERIFY(!opened);
  }

  // The built module, loaded by its Windows name as the workbench does, exports Show (and nothing
  // of its insides) and creates the project through its own copy of the wizard.
  void loadedModule() {
    platform::ModuleHandle module(platform::LoadLibraryA("Almery.dll"));
    QVERIFY(module);
    auto show = module.Symbol<int (*)(char*, char*)>("Show");
    QVERIFY(show != nullptr);
    QVERIFY(module.Symbol<void*>("_ZN6almery19RunNewProjectWizardEPcS0_") == nullptr);
    HangGuard guard;
    ScopedLater later([] {
      QWidget* dlg = QApplication::activeModalWidget();
      if (dlg != nullptr && dlg->inherits("WizardDlg")) {
        dlg->findChild<QPushButton*>("nextButton")->click();
        dlg->findChild<QPushButton*>("nextButton")->click();
      }
    });
    QCOMPARE(show(folder_, name_), 1);
    QVERIFY(!guard.fired);
    CheckBuffers(Gbk(Documents()), "\xCF\xEE\xC4\xBF");
    CheckProject(documents_ / "项目", "项目");
  }

  void cleanupTestCase() {
    talvek::SetMessageBoxHook(nullptr);
    almery::SetCreateFaultForTesting(nullptr);
    configEnv_.reset();
    homeEnv_.reset();
    home_.reset();
  }
};

QTEST_MAIN(TestNewProjectWizard)
#include "tst_new_project_wizard.moc"

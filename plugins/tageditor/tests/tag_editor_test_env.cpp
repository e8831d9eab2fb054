#include "plugins/tageditor/tests/tag_editor_test_env.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "common/message_hook.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/registry.h"

namespace tageditor_test {

namespace {

std::string ModulePath(const char* file) {
  return std::filesystem::canonical(testing_support::BinDir() / file).string();
}

// Runs `program` with `argument` and waits; its exit code, or -1.
int Run(const std::string& program, const std::string& argument) {
  const std::string command = "'" + program + "' -s '" + argument + "'";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

DriverEnvironment::DriverEnvironment() : env_("TALVEK_CONFIG_DIR", config_.str()) {}

DriverEnvironment::~DriverEnvironment() {
  if (module_ != nullptr)
    dlclose(module_);
  if (comInitialised_)
    platform::CoUninitialize();
  platform::Registry::Instance().Reload();
}

QString DriverEnvironment::SetUp() {
  const std::string regsvr = (testing_support::BinDir() / "regsvr").string();
  for (const char* module : {"libTagEditorTestDriver.so", "libOstrel.so"}) {
    if (Run(regsvr, ModulePath(module)) != 0)
      return QStringLiteral("regsvr failed for %1").arg(QString::fromLatin1(module));
  }
  platform::Registry::Instance().Reload();
  if (!platform::RegisterInprocServer(kMissingClsid, "Missing.Driver",
                                      config_.str() + "/libMissingDriver.so")) {
    return QStringLiteral("could not register the missing class");
  }
  comInitialised_ = SUCCEEDED(platform::CoInitialize(nullptr));
  // The same module COM loads: one control block.
  module_ = dlopen(ModulePath("libTagEditorTestDriver.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr)
    return QString::fromLocal8Bit(dlerror());
  auto control =
      reinterpret_cast<TagEditorDriverControlFn>(dlsym(module_, kTagEditorDriverControlSymbol));
  if (control == nullptr)
    return QStringLiteral("no control block");
  control_ = control();
  ResetControl(*control_);
  return {};
}

MessageRecorder::MessageRecorder() {
  talvek::SetMessageBoxHook([this](QWidget*, const QString& text) { texts_.append(text); });
}

MessageRecorder::~MessageRecorder() {
  talvek::SetMessageBoxHook({});
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  file_ = std::tmpfile();
  saved_ = dup(STDOUT_FILENO);
  if (file_ != nullptr)
    dup2(fileno(file_), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  Finish();
}

QString StdoutCapture::Finish() {
  std::fflush(stdout);
  if (saved_ >= 0) {
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  if (file_ == nullptr)
    return {};
  std::string bytes;
  char buffer[4096];
  std::rewind(file_);
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
    bytes.append(buffer, n);
  std::fclose(file_);
  file_ = nullptr;
  return QString::fromStdString(bytes);
}

QString StdoutCapture::FinishTrace() {
  QString trace;
  for (const QString& line : Finish().split(u'\n')) {
    if (line.endsWith(u'\r'))
      trace += line + u'\n';
  }
  return trace;
}

void SetText(char* array, std::size_t size, const char* utf8) {
  std::string gbk;
  if (!platform::Utf8ToGbk(utf8, gbk))
    gbk.clear();
  platform::CopyToArray(std::span<char>(array, size), gbk);
}

QString Text(const char* array, std::size_t size) {
  return QString::fromStdString(
      platform::GbkToUtf8(platform::ArrayText(std::span<const char>(array, size))));
}

DeviceRecord MakeDevice(const char* logicalName, const char* model, const CLSID& clsid) {
  DeviceRecord d{};
  SetText(d.descriptor.model, model);
  d.descriptor.driverClsid = clsid;
  d.descriptor.linkKind = kLinkSerial;
  SetText(d.logicalName, logicalName);
  d.portNumber = 1;
  return d;
}

TagRecord FilledTag(unsigned char fill) {
  TagRecord t;
  std::memset(&t, fill, sizeof t);
  return t;
}

TagRecord ExternalTag(const char* name, const char* device, const char* registerText, int rawType,
                      unsigned char fill) {
  TagRecord t = FilledTag(fill);
  SetText(t.name, name);
  SetText(t.description, "描述");
  SetText(t.deviceName, device);
  SetText(t.registerText, registerText);
  t.varType = kVarInteger;
  t.flags = kTagExternal | 0x10000;
  t.initialValue = 0;
  t.engMin = 0;
  t.engMax = 1000;
  t.deadband = 0;
  t.scanPeriodMs = 1000;
  t.rawType = rawType;
  t.rawMin = 0;
  t.rawMax = 100;
  return t;
}

QString RecordDifference(const TagRecord& actual, const TagRecord& expected) {
  const auto* a = reinterpret_cast<const unsigned char*>(&actual);
  const auto* e = reinterpret_cast<const unsigned char*>(&expected);
  for (std::size_t i = 0; i < sizeof(TagRecord); ++i) {
    if (a[i] != e[i]) {
      return QStringLiteral("offset %1: 0x%2, expected 0x%3")
          .arg(i)
          .arg(a[i], 2, 16, QLatin1Char('0'))
          .arg(e[i], 2, 16, QLatin1Char('0'));
    }
  }
  return {};
}

void Choose(QComboBox* combo, int index) {
  combo->setCurrentIndex(index);
  emit combo->activated(index);
}

void Editor::Open(int inListIndex) {
  session.devices = &devices;
  session.tags = &tags;
  session.tag = inListIndex >= 0 ? &tags[static_cast<std::size_t>(inListIndex)] : &tag;
  dialog = std::make_unique<talvek::tageditor::TagEditDlg>(session);
}

int RunModal(const std::function<int()>& show, const std::function<void(QDialog*)>& script,
             bool* timedOut, int timeoutMs) {
  *timedOut = false;
  bool scripted = false;
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (scripted)
      return;
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      scripted = true;
      poll.stop();
      script(dialog);
    }
  });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    *timedOut = true;
    // Close every modal window, innermost first, until the dialog's own loop has ended.
    QTimer* closer = new QTimer(&guard);
    QObject::connect(closer, &QTimer::timeout, [closer] {
      if (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* d = qobject_cast<QDialog*>(modal))
          d->reject();
        else
          modal->close();
      } else {
        closer->stop();
      }
    });
    closer->start(5);
  });
  poll.start();
  guard.start(timeoutMs);
  const int result = show();
  poll.stop();
  guard.stop();
  return result;
}

void DialogTestFixture::initTestCase() {
  const QString error = env_.SetUp();
  QVERIFY2(error.isEmpty(), qPrintable(error));
}

void DialogTestFixture::init() {
  ResetControl(env_.Control());
}

void DialogTestFixture::cleanup() {
  QCOMPARE(env_.Control().objects, 0);
}

void DialogTestFixture::TwoDevices(Editor& e) {
  e.devices.Add(MakeDevice("PLC1", "ModelA"));
  e.devices.Add(MakeDevice("泵站", "ModelB"));
  e.tag = ExternalTag("Var1", "泵站", "Q10", kRawInt16);
}

}  // namespace tageditor_test

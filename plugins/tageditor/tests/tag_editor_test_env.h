// What the tag editor's tests and benchmark share: a private registry store into which the real
// regsvr program has registered the test driver and the PPI driver, the test driver's control
// block, a recorder for the editor's messages, a capture of standard output, record builders, a
// runner that drives a modal dialog without blocking, and the fixture of the dialog tests.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>

#include "common/device_array.h"
#include "common/records.h"
#include "common/testing/test_support.h"
#include "plugins/tageditor/tag_edit_dlg.h"
#include "plugins/tageditor/tests/test_driver_control.h"

class QComboBox;
class QDialog;
class QWidget;

namespace tageditor_test {

// {9714C2FC-184A-49C7-927B-135D9D005B8A}: the PPI driver's class.
inline constexpr CLSID kPpiClsid = {
    0x9714C2FC, 0x184A, 0x49C7, {0x92, 0x7B, 0x13, 0x5D, 0x9D, 0x00, 0x5B, 0x8A}};
// A class that is registered but whose module does not exist.
inline constexpr CLSID kMissingClsid = {
    0x0BADC0DE, 0x2222, 0x4333, {0x84, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77}};

// The registry store, COM and the test driver, for the life of the object.
class DriverEnvironment {
 public:
  DriverEnvironment();
  ~DriverEnvironment();
  DriverEnvironment(const DriverEnvironment&) = delete;
  DriverEnvironment& operator=(const DriverEnvironment&) = delete;

  // Registers both drivers with the real regsvr and loads the test driver's module. An empty
  // result means success, else what went wrong.
  QString SetUp();
  TagEditorDriverControl& Control() { return *control_; }

 private:
  testing_support::TempDir config_;
  testing_support::ScopedEnv env_;
  void* module_ = nullptr;
  TagEditorDriverControl* control_ = nullptr;
  bool comInitialised_ = false;
};

// Records the editor's messages instead of showing them, for its own lifetime.
class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  const QStringList& Texts() const { return texts_; }
  QString Last() const { return texts_.isEmpty() ? QString() : texts_.last(); }
  void Clear() { texts_.clear(); }

 private:
  QStringList texts_;
};

// Captures what is written to standard output (file descriptor 1) until Finish() or its end.
// Qt Test reports on standard output too: finish the capture before checking anything.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Ends the capture and returns everything written meanwhile (UTF-8).
  QString Finish();
  // Ends the capture and returns the "\r\n"-terminated lines only (the editor's trace), without
  // what Qt Test itself printed meanwhile.
  QString FinishTrace();

 private:
  int saved_ = -1;
  std::FILE* file_ = nullptr;
};

// A device served by `clsid`; texts in UTF-8, stored as GBK.
DeviceRecord MakeDevice(const char* logicalName, const char* model,
                        const CLSID& clsid = kTagEditorTestDriverClsid);
// A record whose every byte is `fill`, so bytes the editor must not touch can be checked.
TagRecord FilledTag(unsigned char fill);
// An external integer tag on `device` (UTF-8 texts), over a filled record.
TagRecord ExternalTag(const char* name, const char* device, const char* registerText, int rawType,
                      unsigned char fill = 0xA5);
// Stores a UTF-8 text as GBK in a record's array.
void SetText(char* array, std::size_t size, const char* utf8);
template <std::size_t N>
void SetText(char (&array)[N], const char* utf8) {
  SetText(array, N, utf8);
}
// A GBK array as UTF-8 text.
QString Text(const char* array, std::size_t size);
template <std::size_t N>
QString Text(const char (&array)[N]) {
  return Text(array, N);
}

// The first byte where two records differ ("offset 261: 0x12, expected 0xA5"); empty when equal.
QString RecordDifference(const TagRecord& actual, const TagRecord& expected);

// Chooses item `index` of a combo as the user does: the selection changes and "activated" fires.
void Choose(QComboBox* combo, int index);

// The caller's side of one editing session, with the dialog built over it in-process.
struct Editor {
  talvek::DeviceArray devices;
  std::vector<TagRecord> tags;
  TagRecord tag{};
  talvek::tageditor::TagEditSession session;
  std::unique_ptr<talvek::tageditor::TagEditDlg> dialog;

  // Builds (and so initialises) the dialog over `tag`; `inList` makes the record the tag list's
  // element `index` instead of the separate `tag`.
  void Open(int inListIndex = -1);
  talvek::tageditor::TagPropertyPage& Page() { return *dialog->Page(); }
  TagRecord& Record() { return *session.tag; }
};

// Runs `show` (which opens a modal dialog) and calls `script` with the dialog once it is up.
// Any modal window still open after `timeoutMs` is closed, so a test never hangs; *timedOut
// tells whether that happened.
int RunModal(const std::function<int()>& show, const std::function<void(QDialog*)>& script,
             bool* timedOut, int timeoutMs = 10000);

// The fixture of the tests that run the dialog in-process over the test driver: the driver
// environment, set up once; the driver's control block reset before every case and, after it,
// no driver object left alive. Its slots run for the test classes derived from it.
class DialogTestFixture : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

 protected:
  // Two devices on the test driver ("PLC1" of ModelA, "泵站" of ModelB) and an external 整数 tag
  // on the second one.
  static void TwoDevices(Editor& e);

  DriverEnvironment env_;
};

}  // namespace tageditor_test

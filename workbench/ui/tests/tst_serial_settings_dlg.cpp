// Tests of the serial settings dialog: the controls and lists, the start state shown for a
// record, what OK stores (including the rates and codes the lists do not offer), the time-out
// range check, Cancel leaving the caller's record alone, and the choice of the device a "Com<n>"
// port means (the list of devices found, typed paths and server addresses, the mapping saved).
#include <cstring>
#include <filesystem>

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "common/testing/test_support.h"
#include "platform/registry.h"
#include "platform/serial_port.h"
#include "workbench/project/new_records.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/serial_settings_dlg.h"
#include "workbench/ui/tests/widget_test_support.h"

using namespace talvek;

namespace {

// Typed access to the dialog's controls by object name.
struct Controls {
  explicit Controls(CSerialSettingsDlg& dlg)
      : baud(dlg.findChild<QComboBox*>("baudCombo")),
        parity(dlg.findChild<QComboBox*>("parityCombo")),
        data7(dlg.findChild<QRadioButton*>("dataBits7Radio")),
        data8(dlg.findChild<QRadioButton*>("dataBits8Radio")),
        stop1(dlg.findChild<QRadioButton*>("stopBits1Radio")),
        stop2(dlg.findChild<QRadioButton*>("stopBits2Radio")),
        timeout(dlg.findChild<QLineEdit*>("timeoutEdit")),
        ok(dlg.findChild<QPushButton*>("okButton")),
        cancel(dlg.findChild<QPushButton*>("cancelButton")) {}

  bool AllFound() const {
    return baud && parity && data7 && data8 && stop1 && stop2 && timeout && ok && cancel;
  }

  QComboBox* baud;
  QComboBox* parity;
  QRadioButton *data7, *data8, *stop1, *stop2;
  QLineEdit* timeout;
  QPushButton *ok, *cancel;
};

// The default Com1 entry with the given fields; every other byte as the default has it.
CommSettings Record(int32_t baud, uint16_t dataBits, uint16_t parity, uint16_t stopBits,
                    uint16_t timeoutMs) {
  CommSettings s = DefaultPortEntry(1);
  s.baudRate = baud;
  s.dataBits = dataBits;
  s.parity = parity;
  s.stopBits = stopBits;
  s.timeoutMs = timeoutMs;
  return s;
}

bool SameBytes(const CommSettings& a, const CommSettings& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Acts on the settings dialog once it is the active modal widget.
using DialogDriver = ui_testing::ModalDriver<CSerialSettingsDlg>;

}  // namespace

class TestSerialSettingsDlg : public QObject {
  Q_OBJECT

 private slots:
  void controlsAndLists() {
    CSerialSettingsDlg dlg;
    Controls c(dlg);
    QVERIFY(c.AllFound());
    QCOMPARE(dlg.windowTitle(), QStringLiteral("串口设置"));
    QCOMPARE(dlg.findChild<QGroupBox*>("commGroup")->title(), QStringLiteral("通讯参数"));
    QCOMPARE(c.ok->text(), QStringLiteral("确定"));
    QCOMPARE(c.cancel->text(), QStringLiteral("取消"));
    QCOMPARE(dlg.findChild<QLabel*>("timeoutUnitLabel")->text(), QStringLiteral("毫秒"));

    const QStringList bauds = {"110",   "300",   "600",    "1200",   "2400",  "4800",
                               "9600",  "14400", "19200",  "28800",  "33600", "38400",
                               "56000", "57600", "115200", "128000", "256000"};
    const QStringList parities = {"无校验", "奇校验", "偶校验", "标志校验", "空格校验"};
    QStringList shownBauds, shownParities;
    for (int i = 0; i < c.baud->count(); ++i)
      shownBauds << c.baud->itemText(i);
    for (int i = 0; i < c.parity->count(); ++i)
      shownParities << c.parity->itemText(i);
    QCOMPARE(shownBauds, bauds);
    QCOMPARE(shownParities, parities);
  }

  // The link-kind controls exist but stay hidden when the dialog is shown.
  void linkKindControlsNeverShown() {
    CSerialSettingsDlg dlg;
    dlg.show();
    for (const char* name : {"rs232Radio", "rs422Radio", "rs485Radio", "linkKindLabel"}) {
      QWidget* w = dlg.findChild<QWidget*>(name);
      QVERIFY2(w != nullptr, name);
      QVERIFY2(w->isHidden() && !w->isVisible(), name);
    }
    QVERIFY(Controls(dlg).baud->isVisible());
    QVERIFY(Controls(dlg).stop2->isVisible());
  }

  void startSelectsBaudByText_data() {
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("index");
    QTest::newRow("9600") << 9600 << 6;
    QTest::newRow("14400") << 14400 << 7;
    QTest::newRow("first") << 110 << 0;
    QTest::newRow("last") << 256000 << 16;
    QTest::newRow("not offered") << 4000 << -1;
    QTest::newRow("zero") << 0 << -1;
    QTest::newRow("negative") << -9600 << -1;
  }
  void startSelectsBaudByText() {
    QFETCH(int, baud);
    QFETCH(int, index);
    CSerialSettingsDlg dlg;
    dlg.SetSettings(Record(baud, 8, 0, 1, 1000));
    QCOMPARE(Controls(dlg).baud->currentIndex(), index);
  }

  // The documented example record, and OK without changes keeps every byte.
  void startStateAndUnchangedOk() {
    const CommSettings record = Record(9600, 8, 2, 1, 1000);
    CSerialSettingsDlg dlg;
    dlg.SetSettings(record);
    Controls c(dlg);
    QCOMPARE(c.baud->currentText(), QStringLiteral("9600"));
    QCOMPARE(c.parity->currentText(), QStringLiteral("偶校验"));
    QCOMPARE(c.timeout->text(), QStringLiteral("1000"));
    QVERIFY(c.stop1->isChecked() && !c.stop2->isChecked());
    QVERIFY(c.data8->isChecked() && !c.data7->isChecked());
    c.ok->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QVERIFY(SameBytes(dlg.Settings(), record));
  }

  // Each pair of radio buttons shows its own field; the pairs do not clear one another, and a
  // value outside the pair checks neither button (also after a previous record checked one).
  void radioPairsFollowTheirFields_data() {
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("stopBits");
    QTest::newRow("7 and 2") << 7 << 2;
    QTest::newRow("8 and 1") << 8 << 1;
    QTest::newRow("7 and 1") << 7 << 1;
    QTest::newRow("outside both pairs") << 5 << 0;
  }
  void radioPairsFollowTheirFields() {
    QFETCH(int, dataBits);
    QFETCH(int, stopBits);
    CSerialSettingsDlg dlg;
    dlg.SetSettings(Record(9600, 8, 0, 2, 1000));
    dlg.SetSettings(Record(9600, uint16_t(dataBits), 0, uint16_t(stopBits), 1000));
    Controls c(dlg);
    QCOMPARE(c.data7->isChecked(), dataBits == 7);
    QCOMPARE(c.data8->isChecked(), dataBits == 8);
    QCOMPARE(c.stop1->isChecked(), stopBits == 1);
    QCOMPARE(c.stop2->isChecked(), stopBits == 2);
  }

  void clickingOneRadioPairLeavesTheOther() {
    CSerialSettingsDlg dlg;
    dlg.SetSettings(Record(9600, 8, 0, 1, 1000));
    dlg.show();
    Controls c(dlg);
    QTest::mouseClick(c.data7, Qt::LeftButton);
    QTest::mouseClick(c.stop2, Qt::LeftButton);
    QVERIFY(c.data7->isChecked() && !c.data8->isChecked());
    QVERIFY(c.stop2->isChecked() && !c.stop1->isChecked());
  }

  void okCopiesEveryField() {
    const CommSettings record = Record(9600, 8, 0, 1, 1000);
    CSerialSettingsDlg dlg;
    dlg.SetSettings(record);
    dlg.show();
    Controls c(dlg);
    c.baud->setCurrentIndex(c.baud->findText("115200"));
    c.parity->setCurrentIndex(4);
    c.data7->click();
    c.stop2->click();
    c.timeout->setText(" 65535 ");
    c.ok->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));

    CommSettings expected = record;
    expected.baudRate = 115200;
    expected.parity = 4;
    expected.dataBits = 7;
    expected.stopBits = 2;
    expected.timeoutMs = 65535;
    QVERIFY(SameBytes(dlg.Settings(), expected));  // port name and fixed words untouched
  }

  // A rate or parity code the lists do not offer shows no selection; OK keeps the loaded value
  // instead of storing 0 (or 65535 for the parity).
  void valuesNotInTheListsSurviveOk() {
    const CommSettings record = Record(4000, 6, 9, 3, 500);
    CSerialSettingsDlg dlg;
    dlg.SetSettings(record);
    Controls c(dlg);
    QCOMPARE(c.baud->currentIndex(), -1);
    QCOMPARE(c.parity->currentIndex(), -1);
    c.ok->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QVERIFY(SameBytes(dlg.Settings(), record));
  }

  // A time-out that does not fit its 16-bit field, or is not a whole number, is refused with
  // the field's name and range; the dialog stays open and its copy is unchanged, even for the
  // fields that were edited.
  void timeoutOutOfRangeIsRefused_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("too big") << "65536";
    QTest::newRow("far too big") << "99999999999999999999";
    QTest::newRow("negative") << "-1";
    QTest::newRow("not a number") << "abc";
    QTest::newRow("number with tail") << "100ms";
    QTest::newRow("empty") << "";
  }
  void timeoutOutOfRangeIsRefused() {
    QFETCH(QString, text);
    RecordingMessageSink messages;
    const CommSettings record = Record(9600, 8, 0, 1, 1000);
    CSerialSettingsDlg dlg;
    dlg.SetSettings(record);
    dlg.show();
    Controls c(dlg);
    c.baud->setCurrentIndex(0);
    c.timeout->setText(text);
    c.ok->click();

    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QVERIFY(SameBytes(dlg.Settings(), record));
    QCOMPARE(messages.Messages().size(), std::size_t{1});
    const QString shown = QString::fromStdString(messages.LastText());
    QVERIFY2(shown.contains("通信超时") && shown.contains("0") && shown.contains("65535"),
             messages.LastText().c_str());

    c.timeout->setText("0");
    c.ok->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(dlg.Settings().timeoutMs, uint16_t{0});
    QCOMPARE(dlg.Settings().baudRate, 110);
  }

  // The device list comes from the machine (here a fake tree); the choice is saved as the
  // port's mapping and is what the port opens next; an empty text goes back to the default.
  void deviceChoiceIsSavedAsThePortsMapping() {
    testing_support::TempDir config, root;
    testing_support::ScopedEnv env("TALVEK_CONFIG_DIR", config.str());
    platform::Registry& registry = platform::Registry::Instance();
    registry.Reload();
    std::filesystem::create_directories(root / "dev/serial/by-id");
    testing_support::WriteFileBytes((root / "dev/ttyUSB0").string(), {});
    std::filesystem::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-FTDI-port0");

    CommSettings record = Record(9600, 8, 0, 1, 1000);
    std::strcpy(record.portName, "COM3");
    const std::string byId = "/dev/serial/by-id/usb-FTDI-port0";
    const std::string server = "rfc2217://10.0.0.7:4001";
    for (const std::string& choice : {byId, server, std::string()}) {
      CSerialSettingsDlg dlg;
      dlg.SetDeviceRoot(root.str());
      dlg.SetSettings(record);
      auto* combo = dlg.findChild<QComboBox*>("deviceCombo");
      QVERIFY(combo != nullptr && combo->isEnabled() && combo->isEditable());
      QCOMPARE(combo->count(), 2);
      QCOMPARE(combo->itemText(0), QStringLiteral("/dev/ttyUSB0"));
      QCOMPARE(combo->itemText(1), QString::fromStdString(byId));
      QCOMPARE(combo->lineEdit()->placeholderText(), QStringLiteral("默认 /dev/ttyS2"));
      if (choice == byId) {
        QCOMPARE(combo->currentText(), QString());
        combo->setCurrentIndex(1);
      } else {
        combo->setEditText(QString::fromStdString(choice));
      }
      Controls(dlg).ok->click();
      QCOMPARE(dlg.result(), int(QDialog::Accepted));
      QVERIFY(SameBytes(dlg.Settings(), record));
      QCOMPARE(platform::SerialDevicePath("Com3").value_or(""),
               choice.empty() ? std::string("/dev/ttyS2") : choice);
    }
    QVERIFY(!registry.GetString(platform::kSerialPortsKey, "Com3").has_value());

    // Reopened, the dialog shows the saved mapping; a port named by a path has none to choose.
    QVERIFY(registry.SetString(platform::kSerialPortsKey, "Com3", server));
    CSerialSettingsDlg dlg;
    dlg.SetSettings(record);
    QCOMPARE(dlg.findChild<QComboBox*>("deviceCombo")->currentText(),
             QString::fromStdString(server));
    std::strcpy(record.portName, "/dev/ttyUSB0");
    dlg.SetSettings(record);
    QVERIFY(!dlg.findChild<QComboBox*>("deviceCombo")->isEnabled());
    registry.Reload();
  }

  // A device text that cannot work is refused with a message saying what is wrong; nothing is
  // saved and the dialog stays open.
  void badDeviceTextsAreRefused_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("says");
    QTest::newRow("relative path") << "ttyUSB0"
                                   << "/ 开头";
    QTest::newRow("no port") << "tcp://10.0.0.7"
                             << "缺少端口号";
    QTest::newRow("port too big") << "rfc2217://host:70000"
                                  << "1 到 65535";
    QTest::newRow("no host") << "tcp://:4001"
                             << "缺少主机名";
    QTest::newRow("bad host") << "tcp://my host:4001"
                              << "主机名无效";
    QTest::newRow("unknown scheme") << "udp://host:4001"
                                    << "不认识";
  }
  void badDeviceTextsAreRefused() {
    QFETCH(QString, text);
    QFETCH(QString, says);
    testing_support::TempDir config;
    testing_support::ScopedEnv env("TALVEK_CONFIG_DIR", config.str());
    platform::Registry::Instance().Reload();
    RecordingMessageSink messages;
    const CommSettings record = Record(9600, 8, 0, 1, 1000);
    CSerialSettingsDlg dlg;
    dlg.SetSettings(record);
    dlg.show();
    Controls c(dlg);
    c.baud->setCurrentIndex(0);
    dlg.findChild<QComboBox*>("deviceCombo")->setEditText(text);
    c.ok->click();
    QVERIFY(dlg.isVisible());
    QVERIFY(SameBytes(dlg.Settings(), record));
    QVERIFY(!platform::Registry::Instance().GetString(platform::kSerialPortsKey, "Com1"));
    QCOMPARE(messages.Messages().size(), std::size_t{1});
    QVERIFY2(QString::fromStdString(messages.LastText()).contains(says),
             messages.LastText().c_str());
    platform::Registry::Instance().Reload();
  }

  // Through the modal dialog: Cancel leaves the caller's record byte for byte, OK replaces it.
  void editSerialSettingsCopiesBackOnlyOnOk() {
    const CommSettings original = Record(19200, 8, 1, 1, 2000);
    CommSettings port = original;
    {
      DialogDriver driver([](CSerialSettingsDlg* dlg) {
        Controls c(*dlg);
        c.stop2->click();
        c.timeout->setText("10");
        c.cancel->click();
      });
      QVERIFY(!EditSerialSettings(port, nullptr));
      QVERIFY(driver.acted());
    }
    QVERIFY(SameBytes(port, original));
    {
      DialogDriver driver([](CSerialSettingsDlg* dlg) {
        Controls c(*dlg);
        c.stop2->click();
        c.ok->click();
      });
      QVERIFY(EditSerialSettings(port, nullptr));
      QVERIFY(driver.acted());
    }
    CommSettings expected = original;
    expected.stopBits = 2;
    QVERIFY(SameBytes(port, expected));
  }
};

QTEST_MAIN(TestSerialSettingsDlg)
#include "tst_serial_settings_dlg.moc"

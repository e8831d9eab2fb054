// The dialog "变量维护" as the user meets it: its controls, how it loads a record, which controls
// each type enables, and how it reacts to the choice of device, register and data type. The
// dialog runs in-process over the test driver (test_driver_module.cpp).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>

#include "platform/gbk.h"
#include "plugins/tageditor/numeric_edit.h"
#include "plugins/tageditor/tests/tag_editor_test_env.h"

using talvek::NumericEdit;
using namespace tageditor_test;

namespace {

QString Utf8(const char* text) {
  return QString::fromUtf8(text);
}

QStringList Items(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i)
    items << combo->itemText(i);
  return items;
}

// The entry's layout as "digits/decimals".
QString Layout(const NumericEdit* edit) {
  return QStringLiteral("%1/%2").arg(edit->IntegerDigits()).arg(edit->Decimals());
}

}  // namespace

class TestTagEditDlg : public DialogTestFixture {
  Q_OBJECT

 private slots:
  void controlsAndCaptions();
  void loadsExternalTag();
  void readsRawRangeInTheWidthOfItsType_data();
  void readsRawRangeInTheWidthOfItsType();
  void internalTagKeepsDeviceGroupDisabled();
  void enablingByVariableType_data();
  void enablingByVariableType();
  void enablingByDataType();
  void storedDeviceMatchedByExactName();
  void driverThatCannotBeCreated_data();
  void driverThatCannotBeCreated();
  void registerListFailures_data();
  void registerListFailures();
  void choosingDeviceReplacesDriver();
  void choosingRegisterClearsDataType();
  void choosingDataTypeSetsDefaults_data();
  void choosingDataTypeSetsDefaults();
  void longDefaultIsNotCutByPreviousLayout();
  void keyboardChoiceReachesReactions();
  void driverReleasedWhenShowReturns();
};

void TestTagEditDlg::controlsAndCaptions() {
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.Open();
  auto& dialog = *e.dialog;
  dialog.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dialog));

  QCOMPARE(dialog.windowTitle(), Utf8("变量维护"));
  QCOMPARE(dialog.Tabs()->count(), 1);
  QCOMPARE(dialog.Tabs()->tabText(0), Utf8("  配置   "));
  QCOMPARE(dialog.OkButton()->text(), Utf8("确定"));
  QCOMPARE(dialog.CancelButton()->text(), Utf8("取消"));
  QCOMPARE(dialog.font().pointSize(), 10);
  for (const char* name : {"nextButton", "prevButton"}) {
    auto* button = dialog.findChild<QPushButton*>(QString::fromLatin1(name));
    QVERIFY(button != nullptr);
    QVERIFY(!button->isVisible());
  }

  auto& page = e.Page();
  QCOMPARE(Items(page.VarTypeCombo()), Utf8("离散 整数 浮点 字符串").split(u' '));
  QCOMPARE(page.DataTypeCombo()->count(), 9);
  for (int i = 0; i < 9; ++i)
    QCOMPARE(page.DataTypeCombo()->itemData(i).toInt(), i);
  QCOMPARE(page.DataTypeCombo()->itemText(7), Utf8("浮点数(32位精度)"));
  QVERIFY(page.RegisterCombo()->isEditable());
  QVERIFY(!page.DataTypeCombo()->isEditable());
  QVERIFY(!page.DeviceCombo()->isEditable());
  QCOMPARE(page.DeviceGroup()->title(), Utf8("工程数据"));

  const QList<QWidget*> hidden = {
      page.InternalRadio(), page.ExternalRadio(),  page.DeadbandEdit(),
      page.InitialEdit(),   page.ScanPeriodEdit(), page.ReadWriteRadio(),
      page.ReadOnlyRadio(), page.WriteOnlyRadio(), page.UserTriggeredCheck()};
  for (QWidget* w : hidden)
    QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
  const QList<QWidget*> shown = {page.NameEdit(),      page.DescriptionEdit(), page.VarTypeCombo(),
                                 page.MinEdit(),       page.MaxEdit(),         page.DeviceCombo(),
                                 page.RegisterCombo(), page.DataTypeCombo(),   page.RawMinEdit(),
                                 page.RawMaxEdit()};
  for (QWidget* w : shown)
    QVERIFY2(w->isVisible(), qPrintable(w->objectName()));
  QVERIFY(messages.Texts().isEmpty());
}

void TestTagEditDlg::loadsExternalTag() {
  MessageRecorder messages;
  StdoutCapture out;
  Editor e;
  TwoDevices(e);
  SetText(e.tag.description, "一号泵出口压力");
  e.tag.engMin = -50;
  e.tag.engMax = 2000;
  e.tag.rawMin = -27648;  // int16 in the low half, the high half must be ignored
  e.tag.rawMax = 27648;
  e.Open();
  const QString trace = out.FinishTrace();
  auto& page = e.Page();

  QCOMPARE(page.NameEdit()->text(), Utf8("Var1"));
  QCOMPARE(page.DescriptionEdit()->text(), Utf8("一号泵出口压力"));
  QCOMPARE(page.VarTypeCombo()->currentIndex(), 1);
  QVERIFY(page.ExternalRadio()->isChecked());
  QVERIFY(!page.InternalRadio()->isChecked());
  QCOMPARE(Items(page.DeviceCombo()), QStringList({"PLC1", Utf8("泵站")}));
  QCOMPARE(page.DeviceCombo()->currentIndex(), 1);

  // The driver of the tag's device, asked for its registers under the device's model.
  QCOMPARE(env_.Control().created, 1);
  QCOMPARE(QString::fromStdString(env_.Control().lastModel), QStringLiteral("ModelB"));
  QCOMPARE(Items(page.RegisterCombo()), QStringList({"V", "I", "Q", "M"}));
  QCOMPARE(page.RegisterCombo()->currentIndex(), 2);
  QCOMPARE(page.RegisterCombo()->currentText(), QStringLiteral("Q10"));  // the whole text
  QCOMPARE(page.DataTypeCombo()->currentIndex(), 2);
  QCOMPARE(page.ScanPeriodEdit()->text(), QStringLiteral("1000"));

  QCOMPARE(page.MinEdit()->valueText(), QStringLiteral("-50"));
  QCOMPARE(page.MaxEdit()->valueText(), QStringLiteral("2000"));
  QCOMPARE(Layout(page.MaxEdit()), QStringLiteral("10/0"));
  QCOMPARE(Layout(page.InitialEdit()), QStringLiteral("10/0"));
  QCOMPARE(page.RawMinEdit()->valueText(), QStringLiteral("-27648"));
  QCOMPARE(page.RawMaxEdit()->valueText(), QStringLiteral("27648"));
  QCOMPARE(Layout(page.RawMaxEdit()), QStringLiteral("5/0"));

  QCOMPARE(trace, Utf8("GetRegisters 返回正确\r\n"));
  QVERIFY(messages.Texts().isEmpty());
}

void TestTagEditDlg::readsRawRangeInTheWidthOfItsType_data() {
  QTest::addColumn<int>("rawType");
  QTest::addColumn<int>("varType");
  QTest::addColumn<quint32>("word");
  QTest::addColumn<QString>("shown");
  QTest::addColumn<QString>("layout");
  // The same word read in each width: only the type's own bytes count.
  QTest::newRow("byte") << 1 << 1 << 0xFFFFFF80u << "128"
                        << "3/0";
  QTest::newRow("int16") << 2 << 1 << 0xFFFFFF80u << "-128"
                         << "5/0";
  QTest::newRow("uint16") << 3 << 1 << 0xFFFFFF80u << "65408"
                          << "5/0";
  QTest::newRow("bcd16") << 4 << 1 << 0x12341234u << "4660"
                         << "4/0";
  QTest::newRow("int32") << 5 << 1 << 0xFFFFFF80u << "-128"
                         << "10/0";
  QTest::newRow("bcd32") << 6 << 1 << 0xFFFFFF80u << "4294967168"
                         << "10/0";
  QTest::newRow("float") << 7 << 2 << 0x42F6E979u << "123.45600"
                         << "7/5";
  // A stored value wider than the type's entry is shown whole, never cut to its first digits.
  QTest::newRow("bcd16 over 4 digits") << 4 << 1 << 0x0000C9FFu << "51711"
                                       << "5/0";
  QTest::newRow("float over 7 digits") << 7 << 2 << 0x4B189680u << "10000000.00000"
                                       << "8/5";
}

void TestTagEditDlg::readsRawRangeInTheWidthOfItsType() {
  QFETCH(int, rawType);
  QFETCH(int, varType);
  QFETCH(quint32, word);
  QFETCH(QString, shown);
  QFETCH(QString, layout);
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tag.varType = varType;
  e.tag.rawType = rawType;
  e.tag.rawMax = static_cast<int32_t>(word);
  e.tag.engMax = varType == 2 ? FloatToWord(1.5f) : 3;
  e.Open();
  QCOMPARE(e.Page().RawMaxEdit()->valueText(), shown);
  QCOMPARE(Layout(e.Page().RawMaxEdit()), layout);
  QCOMPARE(e.Page().MaxEdit()->valueText(), varType == 2 ? QString("1.50000") : QString("3"));
}

void TestTagEditDlg::internalTagKeepsDeviceGroupDisabled() {
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tag.flags &= ~kTagExternal;
  e.tag.rawMax = 77;
  e.Open();
  auto& page = e.Page();
  QVERIFY(page.InternalRadio()->isChecked());
  QCOMPARE(page.DeviceCombo()->count(), 0);
  QCOMPARE(env_.Control().created, 0);  // no driver for an internal tag
  const QList<QWidget*> group = {page.DeviceCombo(), page.RegisterCombo(), page.DataTypeCombo(),
                                 page.ScanPeriodEdit(), page.ReadOnlyRadio()};
  for (QWidget* w : group) {
    QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
  }
  // The raw range is not the internal tag's: not read from the record.
  QCOMPARE(page.RawMaxEdit()->valueText(), QStringLiteral("0"));
  QCOMPARE(page.MaxEdit()->valueText(), QStringLiteral("1000"));
}

void TestTagEditDlg::enablingByVariableType_data() {
  QTest::addColumn<int>("varType");
  QTest::addColumn<bool>("enabled");
  QTest::addColumn<QString>("layout");
  QTest::newRow("离散") << 0 << false << QString();
  QTest::newRow("整数") << 1 << true << "10/0";
  QTest::newRow("浮点") << 2 << true << "10/5";
  QTest::newRow("字符串") << 3 << false << QString();
}

void TestTagEditDlg::enablingByVariableType() {
  QFETCH(int, varType);
  QFETCH(bool, enabled);
  QFETCH(QString, layout);
  MessageRecorder messages;
  for (bool chosen : {false, true}) {
    Editor e;
    TwoDevices(e);
    e.tag.varType = chosen ? (varType == 1 ? 2 : 1) : varType;
    e.Open();
    auto& page = e.Page();
    if (chosen)
      Choose(page.VarTypeCombo(), varType);  // the same rules when the user picks the type
    QCOMPARE(page.MinEdit()->isEnabled(), enabled);
    QCOMPARE(page.MaxEdit()->isEnabled(), enabled);
    QCOMPARE(page.DeadbandEdit()->isEnabled(), enabled);
    if (!layout.isEmpty()) {
      for (NumericEdit* edit :
           {page.MinEdit(), page.MaxEdit(), page.DeadbandEdit(), page.InitialEdit()}) {
        QCOMPARE(Layout(edit), layout);
      }
    }
    QVERIFY(page.DeviceCombo()->isEnabled());  // the device group follows the external flag
  }
}

void TestTagEditDlg::enablingByDataType() {
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tag.rawType = kRawBit;
  e.Open();
  auto& page = e.Page();
  QVERIFY(!page.RawMinEdit()->isEnabled());
  QVERIFY(!page.RawMaxEdit()->isEnabled());

  Choose(page.DataTypeCombo(), kRawFloat);
  QVERIFY(page.RawMaxEdit()->isEnabled());
  QCOMPARE(Layout(page.RawMinEdit()), QStringLiteral("7/5"));
  // "字符串" leaves the raw entries as they are.
  Choose(page.DataTypeCombo(), kRawString);
  QVERIFY(page.RawMaxEdit()->isEnabled());
  QCOMPARE(Layout(page.RawMaxEdit()), QStringLiteral("7/5"));
  QCOMPARE(page.RawMaxEdit()->valueText(), QStringLiteral("99999.99000"));
  Choose(page.DataTypeCombo(), kRawBit);
  QVERIFY(!page.RawMaxEdit()->isEnabled());
}

void TestTagEditDlg::storedDeviceMatchedByExactName() {
  MessageRecorder messages;
  Editor e;
  e.devices.Add(MakeDevice("Mod10", "ModelA"));
  e.devices.Add(MakeDevice("mod1", "ModelA"));
  e.tag = ExternalTag("Var1", "Mod1", "M7", kRawInt32);
  e.Open();
  auto& page = e.Page();
  // Neither a longer name that begins with it nor one that differs in case is the tag's device.
  QCOMPARE(page.DeviceCombo()->count(), 2);
  QCOMPARE(page.DeviceCombo()->currentIndex(), -1);
  QCOMPARE(env_.Control().created, 0);
  QVERIFY(messages.Texts().isEmpty());
  // The entries still show the record, so OK cannot write empty texts over it.
  QCOMPARE(page.NameEdit()->text(), QStringLiteral("Var1"));
  QCOMPARE(page.MaxEdit()->valueText(), QStringLiteral("1000"));
  QCOMPARE(page.RegisterCombo()->currentText(), QStringLiteral("M7"));
}

void TestTagEditDlg::driverThatCannotBeCreated_data() {
  QTest::addColumn<int>("cause");
  QTest::newRow("module missing") << 0;
  QTest::newRow("class not registered") << 1;
  QTest::newRow("factory refuses") << 2;
}

void TestTagEditDlg::driverThatCannotBeCreated() {
  QFETCH(int, cause);
  const CLSID unregistered = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
  const CLSID clsid = cause == 0   ? kMissingClsid
                      : cause == 1 ? unregistered
                                   : kTagEditorTestDriverClsid;
  if (cause == 2)
    env_.Control().createResult = E_FAIL;
  MessageRecorder messages;
  StdoutCapture out;
  Editor e;
  e.devices.Add(MakeDevice("PLC1", "ModelA", clsid));
  e.tag = ExternalTag("Var1", "PLC1", "V1", kRawInt16);
  e.Open();
  const QString trace = out.FinishTrace();
  QCOMPARE(messages.Texts(), QStringList{Utf8("加载驱动失败!")});
  QVERIFY(!e.session.driver);
  QCOMPARE(e.Page().RegisterCombo()->count(), 0);
  QCOMPARE(trace, QString());  // no register list was asked for
  QCOMPARE(e.Page().DeviceCombo()->currentIndex(), 0);
}

void TestTagEditDlg::registerListFailures_data() {
  QTest::addColumn<int>("result");
  QTest::addColumn<bool>("nullTable");
  QTest::newRow("answers 0") << 0 << false;
  QTest::newRow("answers 1 without a table") << 1 << true;
}

void TestTagEditDlg::registerListFailures() {
  QFETCH(int, result);
  QFETCH(bool, nullTable);
  env_.Control().registersResult = result;
  env_.Control().nullTable = nullTable;
  MessageRecorder messages;
  StdoutCapture out;
  Editor e;
  TwoDevices(e);
  e.Open();
  QCOMPARE(out.FinishTrace(), Utf8("GetRegisters 返回错误\r\n"));
  QVERIFY(messages.Texts().isEmpty());
  QCOMPARE(e.Page().RegisterCombo()->count(), 0);
  QCOMPARE(e.Page().RegisterCombo()->currentText(), QStringLiteral("Q10"));
  // The data types do not come from the driver: still listed, the record's type chosen.
  QCOMPARE(e.Page().DataTypeCombo()->count(), 9);
  QCOMPARE(e.Page().DataTypeCombo()->currentIndex(), kRawInt16);
}

void TestTagEditDlg::choosingDeviceReplacesDriver() {
  MessageRecorder messages;
  StdoutCapture out;
  Editor e;
  TwoDevices(e);
  e.tag.rawType = kRawBcd32;
  e.Open();
  env_.Control().registers = {"DB", "MW"};
  Choose(e.Page().DeviceCombo(), 0);
  const QString trace = out.FinishTrace();

  // The old object is released before the new one is made: never two at once.
  QCOMPARE(env_.Control().created, 2);
  QCOMPARE(env_.Control().peakObjects, 1);
  QCOMPARE(env_.Control().objects, 1);
  QCOMPARE(QString::fromStdString(e.session.driverModel), QStringLiteral("ModelA"));
  QCOMPARE(QString::fromStdString(env_.Control().lastModel), QStringLiteral("ModelA"));
  QCOMPARE(Items(e.Page().RegisterCombo()), QStringList({"DB", "MW"}));
  QCOMPARE(e.Page().RegisterCombo()->currentIndex(), -1);  // "Q10" begins with neither
  QCOMPARE(e.Page().DataTypeCombo()->currentIndex(), kRawBcd32);
  QCOMPARE(trace, Utf8("GetRegisters 返回正确\r\nGetRegisters 返回正确\r\n"));

  // A device whose driver cannot be made leaves no driver behind.
  e.devices[0].descriptor.driverClsid = kMissingClsid;
  Choose(e.Page().DeviceCombo(), 0);
  QCOMPARE(messages.Texts(), QStringList{Utf8("加载驱动失败!")});
  QVERIFY(!e.session.driver);
  QCOMPARE(env_.Control().objects, 0);
}

void TestTagEditDlg::choosingRegisterClearsDataType() {
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.Open();
  auto& page = e.Page();
  QCOMPARE(page.DataTypeCombo()->currentIndex(), kRawInt16);
  Choose(page.RegisterCombo(), 0);
  QCOMPARE(page.RegisterCombo()->currentText(), QStringLiteral("V"));
  QCOMPARE(page.DataTypeCombo()->count(), 9);
  QCOMPARE(page.DataTypeCombo()->currentIndex(), -1);
  // The raw entries are not touched by it.
  QCOMPARE(page.RawMaxEdit()->valueText(), QStringLiteral("100"));
}

void TestTagEditDlg::choosingDataTypeSetsDefaults_data() {
  QTest::addColumn<int>("rawType");
  QTest::addColumn<QString>("max");
  QTest::addColumn<QString>("layout");
  QTest::newRow("字节") << 1 << "255"
                        << "3/0";
  QTest::newRow("整数") << 2 << "32767"
                        << "5/0";
  QTest::newRow("无符号整数") << 3 << "65535"
                              << "5/0";
  QTest::newRow("BCD") << 4 << "9999"
                       << "4/0";
  QTest::newRow("长整数") << 5 << "2147483647"
                          << "10/0";
  QTest::newRow("长整数BCD") << 6 << "999999"
                             << "10/0";
  QTest::newRow("浮点数(32位精度)") << 7 << "99999.99000"
                                    << "7/5";
}

void TestTagEditDlg::choosingDataTypeSetsDefaults() {
  QFETCH(int, rawType);
  QFETCH(QString, max);
  QFETCH(QString, layout);
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tag.rawMin = 5;
  e.Open();
  auto& page = e.Page();
  Choose(page.DataTypeCombo(), rawType);
  QCOMPARE(page.RawMaxEdit()->valueText(), max);
  QCOMPARE(page.RawMinEdit()->valueText(), rawType == 7 ? QString("0.00000") : QString("0"));
  QCOMPARE(Layout(page.RawMaxEdit()), layout);
  QCOMPARE(Layout(page.RawMinEdit()), layout);
  QVERIFY(page.RawMaxEdit()->isEnabled());
}

void TestTagEditDlg::longDefaultIsNotCutByPreviousLayout() {
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tag.rawType = kRawByte;
  e.tag.rawMax = 200;
  e.Open();
  QCOMPARE(Layout(e.Page().RawMaxEdit()), QStringLiteral("3/0"));
  Choose(e.Page().DataTypeCombo(), kRawInt32);
  QCOMPARE(e.Page().RawMaxEdit()->valueText(), QStringLiteral("2147483647"));
  Choose(e.Page().DataTypeCombo(), kRawByte);
  QCOMPARE(e.Page().RawMaxEdit()->valueText(), QStringLiteral("255"));
  QCOMPARE(Layout(e.Page().RawMaxEdit()), QStringLiteral("3/0"));
}

void TestTagEditDlg::keyboardChoiceReachesReactions() {
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tag.rawType = kRawUInt16;
  e.Open();
  e.dialog->show();
  QVERIFY(QTest::qWaitForWindowActive(e.dialog.get()));
  QComboBox* dataType = e.Page().DataTypeCombo();
  dataType->setFocus();
  QTest::keyClick(dataType, Qt::Key_Down);  // 无符号整数 -> BCD
  QCOMPARE(dataType->currentIndex(), kRawBcd16);
  QCOMPARE(e.Page().RawMaxEdit()->valueText(), QStringLiteral("9999"));

  // Selections the page makes itself are no choice of the user's.
  QComboBox* varType = e.Page().VarTypeCombo();
  varType->setCurrentIndex(0);
  QVERIFY(e.Page().MinEdit()->isEnabled());
  varType->setFocus();
  QTest::keyClick(varType, Qt::Key_Down);  // 离散 -> 整数
  QTest::keyClick(varType, Qt::Key_Up);    // back to 离散
  QVERIFY(!e.Page().MinEdit()->isEnabled());
}

void TestTagEditDlg::driverReleasedWhenShowReturns() {
  MessageRecorder messages;
  talvek::DeviceArray devices;
  devices.Add(MakeDevice("PLC1", "ModelA"));
  std::vector<TagRecord> tags{ExternalTag("Var1", "PLC1", "V1", kRawInt16)};
  int objectsWhileOpen = -1;
  for (bool confirm : {false, true}) {
    bool timedOut = false;
    const int result =
        RunModal([&] { return talvek::tageditor::ShowTagEditor(&devices, &tags[0], &tags); },
                 [&](QDialog* dialog) {
                   objectsWhileOpen = env_.Control().objects;
                   confirm ? dialog->accept() : dialog->reject();
                 },
                 &timedOut);
    QVERIFY(!timedOut);
    QCOMPARE(result, confirm ? 1 : 0);
    QCOMPARE(objectsWhileOpen, 1);
    QCOMPARE(env_.Control().objects, 0);
  }
  QVERIFY(messages.Texts().isEmpty());
  // No record, no dialog.
  QCOMPARE(talvek::tageditor::ShowTagEditor(&devices, nullptr, &tags), 0);
}

QTEST_MAIN(TestTagEditDlg)
#include "tst_tag_edit_dlg.moc"

// OK and Cancel of the dialog "变量维护": what reaches the caller's record (byte by byte), every
// check that keeps the dialog open with its message and focus, the driver's check of register
// and data type, and the real PPI driver refusing a register with its own error text.
#include <cstring>
#include <functional>

#include <QComboBox>
#include <QLineEdit>
#include <QTest>

#include "common/tag_values.h"
#include "platform/gbk.h"
#include "plugins/tageditor/numeric_edit.h"
#include "plugins/tageditor/tests/tag_editor_test_env.h"

using talvek::NumericEdit;
using namespace tageditor_test;

namespace {

QString Utf8(const char* text) {
  return QString::fromUtf8(text);
}

QByteArray Gbk(const char* utf8) {
  return QByteArray::fromStdString(platform::Utf8ToGbk(utf8));
}

// The bytes of a 32-bit word as stored (little-endian).
QByteArray WordBytes(uint32_t word, int width) {
  return QByteArray(reinterpret_cast<const char*>(&word), width);
}

QByteArray FloatBytes(float f) {
  return WordBytes(std::bit_cast<uint32_t>(f), 4);
}

// Writes `bytes` over the record at `offset`.
void Put(TagRecord& t, std::size_t offset, const QByteArray& bytes) {
  std::memcpy(reinterpret_cast<char*>(&t) + offset, bytes.constData(),
              static_cast<std::size_t>(bytes.size()));
}

// Writes a GBK text over a whole array of the record, zero-filled behind the text.
template <std::size_t N>
void PutText(char (&array)[N], const char* utf8) {
  std::memset(array, 0, N);
  const QByteArray gbk = Gbk(utf8);
  std::memcpy(array, gbk.constData(), static_cast<std::size_t>(gbk.size()));
}

bool HasFocus(QWidget* dialog, const QString& objectName) {
  QWidget* focus = dialog->focusWidget();
  for (QWidget* w = focus; w != nullptr; w = w->parentWidget()) {
    if (w->objectName() == objectName)
      return true;
  }
  return false;
}

}  // namespace

class TestTagEditOk : public DialogTestFixture {
  Q_OBJECT

 private slots:
  void okWritesExactlyTheEditedFields_data();
  void okWritesExactlyTheEditedFields();
  void internalTagWritesOnlyItsOwnFields_data();
  void internalTagWritesOnlyItsOwnFields();
  void cancelAndFailedOkLeaveRecordUntouched();
  void duplicateNames();
  void registerIndexRule_data();
  void registerIndexRule();
  void driverChecksRegisterAndType();
  void dataTypeMustFitVariableType_data();
  void dataTypeMustFitVariableType();
  void refusedEntries_data();
  void refusedEntries();
  void entryChecksWithoutDialog();
  void textsAtTheirLimits();
  void zeroSpansRefusedForExternalNumbers_data();
  void zeroSpansRefusedForExternalNumbers();
  void driverMissingAtOk();
  void realPpiDriver();
};

void TestTagEditOk::okWritesExactlyTheEditedFields_data() {
  QTest::addColumn<int>("varType");
  QTest::addColumn<int>("rawType");
  QTest::addColumn<QString>("rawMin");
  QTest::addColumn<QString>("rawMax");
  QTest::addColumn<QByteArray>("rawMinBytes");
  QTest::addColumn<QByteArray>("rawMaxBytes");
  // Narrow types write only their own bytes; the rest of the word keeps the record's 0xA5.
  QTest::newRow("字节") << 1 << 1 << "7"
                        << "200" << WordBytes(7, 1) << WordBytes(200, 1);
  QTest::newRow("整数") << 1 << 2 << "-32768"
                        << "-300" << WordBytes(0x8000, 2) << WordBytes(0xFED4, 2);
  QTest::newRow("无符号整数") << 1 << 3 << "1"
                              << "65535" << WordBytes(1, 2) << WordBytes(0xFFFF, 2);
  QTest::newRow("BCD") << 1 << 4 << "0"
                       << "9999" << WordBytes(0, 2) << WordBytes(9999, 2);
  QTest::newRow("长整数") << 1 << 5 << "-2147483648"
                          << "2147483647" << WordBytes(0x80000000u, 4) << WordBytes(0x7FFFFFFF, 4);
  QTest::newRow("长整数BCD") << 1 << 6 << "0"
                             << "4294967295" << WordBytes(0, 4) << WordBytes(0xFFFFFFFFu, 4);
  QTest::newRow("整数 tag, float raw") << 1 << 7 << "0.5"
                                       << "99999.99" << FloatBytes(0.5f) << FloatBytes(99999.99f);
  QTest::newRow("浮点 tag, float raw") << 2 << 7 << "-1.25"
                                       << "1000" << FloatBytes(-1.25f) << FloatBytes(1000.0f);
  QTest::newRow("浮点 tag, int16 raw") << 2 << 2 << "-1"
                                       << "1" << WordBytes(0xFFFF, 2) << WordBytes(1, 2);
}

void TestTagEditOk::okWritesExactlyTheEditedFields() {
  QFETCH(int, varType);
  QFETCH(int, rawType);
  QFETCH(QString, rawMin);
  QFETCH(QString, rawMax);
  QFETCH(QByteArray, rawMinBytes);
  QFETCH(QByteArray, rawMaxBytes);
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tag.varType = varType;
  e.tag.initialValue = varType == 2 ? FloatToWord(2.5f) : 17;
  e.tag.deadband = varType == 2 ? FloatToWord(0.25f) : 3;
  e.tag.rawMax = e.tag.rawMin = static_cast<int32_t>(0xA5A5A5A5u);  // shows unwritten bytes
  const TagRecord before = e.tag;
  e.Open();
  auto& page = e.Page();
  page.NameEdit()->setText(Utf8("出口压力"));
  page.DescriptionEdit()->setText(Utf8("一号泵"));
  Choose(page.DataTypeCombo(), rawType);
  QVERIFY(page.MinEdit()->setValueText(QStringLiteral("-100.7")));
  QVERIFY(page.MaxEdit()->setValueText(QStringLiteral("5000")));
  QVERIFY(page.RawMinEdit()->setValueText(rawMin));
  QVERIFY(page.RawMaxEdit()->setValueText(rawMax));
  QVERIFY2(page.OnOK(), qPrintable(messages.Last()));

  TagRecord expected = before;
  PutText(expected.name, "出口压力");
  PutText(expected.description, "一号泵");
  PutText(expected.driverModel, "ModelB");
  PutText(expected.deviceName, "泵站");
  PutText(expected.registerText, "Q10");
  expected.registerIndex = 2;
  expected.rawType = rawType;
  if (varType == 2) {
    // Float tags keep the fraction (to the entry's 5 decimals).
    Put(expected, offsetof(TagRecord, engMin), FloatBytes(-100.7f));
    Put(expected, offsetof(TagRecord, engMax), FloatBytes(5000.0f));
  } else {
    // The integer entries have no decimals: "-100.7" reads as -100.
    expected.engMin = -100;
    expected.engMax = 5000;
  }
  Put(expected, offsetof(TagRecord, rawMin), rawMinBytes);
  Put(expected, offsetof(TagRecord, rawMax), rawMaxBytes);
  const QString difference = RecordDifference(e.tag, expected);
  QVERIFY2(difference.isEmpty(), qPrintable(difference));
  QVERIFY(messages.Texts().isEmpty());
}

void TestTagEditOk::internalTagWritesOnlyItsOwnFields_data() {
  QTest::addColumn<int>("varType");
  QTest::newRow("离散") << 0;
  QTest::newRow("字符串") << 3;
}

void TestTagEditOk::internalTagWritesOnlyItsOwnFields() {
  QFETCH(int, varType);
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tag = FilledTag(0x5A);
  SetText(e.tag.name, "内部变量");
  SetText(e.tag.description, "说明");
  e.tag.varType = kVarInteger;
  e.tag.flags = 0xFFFFFFFBu;  // internal; every other bit set
  const TagRecord before = e.tag;
  e.Open();
  Choose(e.Page().VarTypeCombo(), varType);
  QVERIFY(e.Page().MaxEdit()->setValueText(QStringLiteral("42")));
  e.Page().DescriptionEdit()->setText(Utf8("新说明"));
  QVERIFY2(e.Page().OnOK(), qPrintable(messages.Last()));
  QCOMPARE(env_.Control().created, 0);  // no driver for an internal tag

  // Name, description, type and flags only: the numeric fields keep their old bytes.
  TagRecord expected = before;
  PutText(expected.description, "新说明");
  expected.varType = varType;
  const QString difference = RecordDifference(e.tag, expected);
  QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestTagEditOk::cancelAndFailedOkLeaveRecordUntouched() {
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tags = {ExternalTag("Other", "PLC1", "V1", kRawInt16), e.tag};
  const TagRecord before = e.tags[1];
  e.Open(1);
  auto& page = e.Page();
  page.NameEdit()->setText(QStringLiteral("Other"));
  page.DescriptionEdit()->setText(QStringLiteral("changed"));
  Choose(page.VarTypeCombo(), 2);
  Choose(page.DeviceCombo(), 0);
  Choose(page.DataTypeCombo(), kRawFloat);
  page.RegisterCombo()->setEditText(QStringLiteral("V20"));
  QVERIFY(page.MaxEdit()->setValueText(QStringLiteral("77.5")));

  // A failed OK: the dialog stays open and nothing reaches the record.
  e.dialog->accept();
  QCOMPARE(messages.Texts(), QStringList{Utf8("与现存变量重名!")});
  QCOMPARE(e.dialog->result(), int(QDialog::Rejected));
  QVERIFY(HasFocus(e.dialog.get(), QStringLiteral("nameEdit")));
  // A check failing after the driver accepted the register leaves it untouched too.
  page.NameEdit()->setText(QStringLiteral("Fresh"));
  Choose(page.VarTypeCombo(), 0);
  e.dialog->accept();
  QCOMPARE(messages.Last(), Utf8("变量数据类型不一致!"));
  QCOMPARE(env_.Control().convertCalls, 1);
  QVERIFY(RecordDifference(e.tags[1], before).isEmpty());

  e.dialog->reject();
  QVERIFY(RecordDifference(e.tags[1], before).isEmpty());
  QVERIFY(std::memcmp(&e.tags[1], &before, sizeof before) == 0);
}

void TestTagEditOk::duplicateNames() {
  MessageRecorder messages;
  std::vector<TagRecord> list = {ExternalTag("Var1", "PLC1", "V1", kRawInt16),
                                 ExternalTag("Var2", "PLC1", "V2", kRawInt16)};
  struct Case {
    int inList;  // edit this element of the list, or -1 for a new tag
    const char* name;
    bool accepted;
    const char* stored;
  };
  const Case cases[] = {
      {0, "Var1", true, "Var1"},    // its own name: its own entry is skipped by address
      {0, "Var2", false, nullptr},  // another tag's name
      {-1, "Var2", false, nullptr},
      {-1, "Var2  \t", false, nullptr},  // trailing blanks removed before comparing
      {-1, "var2", true, "var2"},        // bytes compared: case counts
      {-1, "Var3   ", true, "Var3"},
      {-1, " Var2", true, " Var2"},  // leading blanks are part of the name
  };
  for (const Case& c : cases) {
    messages.Clear();
    Editor e;
    e.devices.Add(MakeDevice("PLC1", "ModelA"));
    e.tags = list;
    e.tag = ExternalTag("New", "PLC1", "V3", kRawInt16);
    e.Open(c.inList);
    e.Page().NameEdit()->setText(Utf8(c.name));
    QCOMPARE(e.Page().OnOK(), c.accepted);
    if (c.accepted) {
      QCOMPARE(Text(e.Record().name), Utf8(c.stored));
      QVERIFY(messages.Texts().isEmpty());
    } else {
      QCOMPARE(messages.Texts(), QStringList{Utf8("与现存变量重名!")});
      QCOMPARE(env_.Control().convertCalls, 0);
    }
    ResetControl(env_.Control());
  }
}

void TestTagEditOk::registerIndexRule_data() {
  QTest::addColumn<QString>("registerText");
  QTest::addColumn<int>("index");
  QTest::newRow("first entry that begins it, not the longest") << "VB10" << 0;
  QTest::newRow("later entry") << "I3" << 2;
  QTest::newRow("last entry") << "DELAY1" << 3;
  QTest::newRow("no entry") << "X3" << 0;
  QTest::newRow("prefix must be at the start") << "XV1" << 0;
  QTest::newRow("case counts") << "delay1" << 0;
}

void TestTagEditOk::registerIndexRule() {
  QFETCH(QString, registerText);
  QFETCH(int, index);
  env_.Control().registers = {"V", "VB", "I", "DELAY"};
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  e.tag.registerIndex = 0xBEEF;
  e.Open();
  e.Page().RegisterCombo()->setEditText(registerText);
  QVERIFY2(e.Page().OnOK(), qPrintable(messages.Last()));
  QCOMPARE(int(e.tag.registerIndex), index);
  QCOMPARE(Text(e.tag.registerText), registerText);
}

void TestTagEditOk::driverChecksRegisterAndType() {
  MessageRecorder messages;
  {
    StdoutCapture out;
    Editor e;
    TwoDevices(e);
    e.Open();
    Choose(e.Page().DataTypeCombo(), kRawBcd32);
    const bool accepted = e.Page().OnOK();
    const QString trace = out.FinishTrace();
    QVERIFY(accepted);
    const TagAddressInput& in = env_.Control().lastInput;
    QCOMPARE(QByteArray(in.model), QByteArray("ModelB"));
    QCOMPARE(QByteArray(in.address), QByteArray("Q10"));
    QCOMPARE(int(in.dataType), 1 << kRawBcd32);
    QCOMPARE(int(in.extra), 0);
    QVERIFY(env_.Control().lastOutputZeroed);
    QCOMPARE(trace, Utf8("GetRegisters 返回正确\r\nConvertUserConfigToVar 返回正确\r\n"));
  }
  for (bool withText : {true, false}) {
    ResetControl(env_.Control());
    env_.Control().convertResult = 1;
    env_.Control().errorText = platform::Utf8ToGbk("地址超出该区域的范围");
    env_.Control().errorTextNull = !withText;
    messages.Clear();
    StdoutCapture out;
    Editor e;
    TwoDevices(e);
    const TagRecord before = e.tag;
    e.Open();
    e.dialog->accept();
    const QString trace = out.FinishTrace();
    QCOMPARE(e.dialog->result(), int(QDialog::Rejected));
    QCOMPARE(messages.Texts().size(), 1);
    if (withText) {
      QCOMPARE(messages.Last(), Utf8("地址超出该区域的范围"));
    } else {
      // No text of the driver's own: the box still says what was refused.
      QVERIFY2(messages.Last().contains(QStringLiteral("Q10")) &&
                   messages.Last().contains(Utf8("“整数”")),
               qPrintable(messages.Last()));
    }
    QVERIFY(HasFocus(e.dialog.get(), QStringLiteral("registerCombo")));
    QCOMPARE(trace, Utf8("GetRegisters 返回正确\r\nConvertUserConfigToVar 返回错误\r\n"));
    QVERIFY(RecordDifference(e.tag, before).isEmpty());
  }
}

void TestTagEditOk::dataTypeMustFitVariableType_data() {
  QTest::addColumn<int>("varType");
  QTest::addColumn<int>("rawType");
  QTest::addColumn<bool>("accepted");
  QTest::newRow("离散/位") << 0 << 0 << true;
  QTest::newRow("离散/字节") << 0 << 1 << false;
  QTest::newRow("字符串/字符串") << 3 << 8 << true;
  QTest::newRow("字符串/整数") << 3 << 2 << false;
  QTest::newRow("整数/字符串") << 1 << 8 << false;
  QTest::newRow("整数/位") << 1 << 0 << true;
  QTest::newRow("浮点/浮点数") << 2 << 7 << true;
}

void TestTagEditOk::dataTypeMustFitVariableType() {
  QFETCH(int, varType);
  QFETCH(int, rawType);
  QFETCH(bool, accepted);
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  const TagRecord before = e.tag;
  e.Open();
  Choose(e.Page().VarTypeCombo(), varType);
  Choose(e.Page().DataTypeCombo(), rawType);
  QCOMPARE(e.Page().OnOK(), accepted);
  // The driver is asked first: the type rule applies to a register it accepted.
  QCOMPARE(env_.Control().convertCalls, 1);
  if (accepted) {
    QVERIFY(messages.Texts().isEmpty());
    QCOMPARE(e.tag.varType, varType);
    QCOMPARE(e.tag.rawType, rawType);
  } else {
    QCOMPARE(messages.Texts(), QStringList{Utf8("变量数据类型不一致!")});
    QVERIFY(HasFocus(e.dialog.get(), QStringLiteral("dataTypeCombo")));
    QVERIFY(RecordDifference(e.tag, before).isEmpty());
  }
}

void TestTagEditOk::refusedEntries_data() {
  QTest::addColumn<QString>("control");
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("rawType");
  QTest::addColumn<QStringList>("message");
  const QString longAscii(32, u'a');
  QTest::newRow("name 32 bytes") << "nameEdit" << longAscii << 2
                                 << QStringList{Utf8("变量名称"), "31"};
  QTest::newRow("name 16 characters of 2 bytes")
      << "nameEdit" << Utf8("一二三四五六七八九十一二三四五六") << 2
      << QStringList{Utf8("变量名称"), "31", "32"};
  QTest::newRow("name without GBK form")
      << "nameEdit" << Utf8("温度😀") << 2 << QStringList{Utf8("变量名称"), "GBK"};
  QTest::newRow("name with a zero")
      << "nameEdit" << QStringLiteral("ab") + QChar(0) + QStringLiteral("cd") << 2
      << QStringList{Utf8("变量名称")};
  QTest::newRow("description 40 bytes")
      << "descriptionEdit" << QString(40, u'd') << 2 << QStringList{Utf8("变量描述"), "39"};
  QTest::newRow("description without GBK form")
      << "descriptionEdit" << Utf8("한국어") << 2 << QStringList{Utf8("变量描述"), "GBK"};
  QTest::newRow("register 32 bytes")
      << "registerCombo" << QString(32, u'V') << 2 << QStringList{Utf8("寄存器"), "31"};
  QTest::newRow("register without GBK form")
      << "registerCombo" << Utf8("V1😀") << 2 << QStringList{Utf8("寄存器"), "GBK"};
  QTest::newRow("period above 3000000")
      << "scanPeriodEdit"
      << "3000001" << 2 << QStringList{Utf8("采集频率"), "3000000"};
  QTest::newRow("period negative") << "scanPeriodEdit"
                                   << "-1" << 2 << QStringList{Utf8("采集频率"), "3000000"};
  QTest::newRow("period not a number") << "scanPeriodEdit"
                                       << "1e3" << 2 << QStringList{Utf8("采集频率")};
  QTest::newRow("maximum beyond int32")
      << "maxEdit"
      << "9999999999" << 2 << QStringList{Utf8("最大值"), "-2147483648", "2147483647"};
  QTest::newRow("minimum beyond int32")
      << "minEdit"
      << "-2147483649" << 2 << QStringList{Utf8("最小值"), "-2147483648"};
  const struct {
    const char* row;
    int rawType;
    const char* value;
    const char* min;
    const char* max;
  } raw[] = {
      {"字节 256", 1, "256", "0", "255"},
      {"字节 -1", 1, "-1", "0", "255"},
      {"整数 32768", 2, "32768", "-32768", "32767"},
      {"整数 -32769", 2, "-32769", "-32768", "32767"},
      {"无符号整数 65536", 3, "65536", "0", "65535"},
      {"无符号整数 -1", 3, "-1", "0", "65535"},
      {"BCD -1", 4, "-1", "0", "65535"},
      {"长整数 2147483648", 5, "2147483648", "-2147483648", "2147483647"},
      {"长整数BCD 4294967296", 6, "4294967296", "0", "4294967295"},
      {"长整数BCD -1", 6, "-1", "0", "4294967295"},
  };
  for (const auto& r : raw) {
    QTest::newRow(r.row) << "rawMaxEdit" << r.value << r.rawType
                         << QStringList{Utf8("最大原始值"), r.min, r.max,
                                        Utf8(talvek::kRawTypeNames[r.rawType])};
  }
}

void TestTagEditOk::refusedEntries() {
  QFETCH(QString, control);
  QFETCH(QString, text);
  QFETCH(int, rawType);
  QFETCH(QStringList, message);
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  const TagRecord before = e.tag;
  e.Open();
  Choose(e.Page().DataTypeCombo(), rawType);
  QWidget* widget = e.dialog->findChild<QWidget*>(control);
  QVERIFY(widget != nullptr);
  if (auto* numeric = qobject_cast<NumericEdit*>(widget)) {
    QVERIFY(numeric->setValueText(text));
    QCOMPARE(numeric->valueText(), text);  // the entry holds the value: it is OK that refuses
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    combo->setEditText(text);
  } else {
    qobject_cast<QLineEdit*>(widget)->setText(text);
  }
  e.dialog->accept();
  QCOMPARE(e.dialog->result(), int(QDialog::Rejected));
  QCOMPARE(messages.Texts().size(), 1);
  for (const QString& part : message)
    QVERIFY2(messages.Last().contains(part), qPrintable(messages.Last() + " / " + part));
  // The period entry is never shown, so it cannot take the focus.
  if (!widget->isHidden())
    QVERIFY2(HasFocus(e.dialog.get(), control), qPrintable(messages.Last()));
  QCOMPARE(env_.Control().convertCalls, 0);  // refused before the driver is asked
  QVERIFY(RecordDifference(e.tag, before).isEmpty());
}

void TestTagEditOk::textsAtTheirLimits() {
  MessageRecorder messages;
  const char* name31 = "一二三四五六七八九十一二三四五a";       // 31 bytes in GBK
  const char* longDevice = "一号车间二号生产线三号泵站控制器";  // 32 bytes in GBK
  Editor e;
  TwoDevices(e);
  e.devices.Add(MakeDevice(longDevice, "ModelA"));
  e.Open();
  e.Page().NameEdit()->setText(Utf8(name31));
  e.Page().RegisterCombo()->setEditText(QString(31, u'V'));
  QVERIFY2(e.Page().OnOK(), qPrintable(messages.Last()));
  QCOMPARE(Text(e.tag.name), Utf8(name31));
  QCOMPARE(Text(e.tag.registerText), QString(31, u'V'));

  // A device whose name does not fit the tag's 32 bytes is refused, never stored cut.
  const TagRecord before = e.tag;
  Choose(e.Page().DeviceCombo(), 2);
  e.dialog->accept();
  QCOMPARE(messages.Texts().size(), 1);
  QVERIFY2(messages.Last().contains(Utf8(longDevice)) && messages.Last().contains("31"),
           qPrintable(messages.Last()));
  QVERIFY(HasFocus(e.dialog.get(), QStringLiteral("deviceCombo")));
  QVERIFY(RecordDifference(e.tag, before).isEmpty());
}

// OK's checks on plain values: each row spoils a valid external 整数 tag and names the control
// refused and a part of its message; a row that spoils two entries shows which is checked first.
void TestTagEditOk::entryChecksWithoutDialog() {
  using talvek::tageditor::CheckTagEntries;
  using talvek::tageditor::TagEntries;
  using talvek::tageditor::TagField;
  talvek::DeviceArray devices;
  devices.Add(MakeDevice("PLC1", "ModelA"));
  devices.Add(MakeDevice("一二三四五六七八九十一二三四五六七", "ModelA"));  // 34 bytes
  TagEntries valid;
  valid.name = Utf8("温度  ");
  valid.description = Utf8("描述");
  valid.varType = kVarInteger;
  valid.min = QStringLiteral("0");
  valid.max = QStringLiteral("1000");
  valid.deadband = valid.initial = QStringLiteral("0");
  valid.scanPeriod = QStringLiteral(" 500 ");
  valid.external = true;
  valid.device = 0;
  valid.registerText = QStringLiteral("V10");
  valid.rawType = kRawInt16;
  valid.rawMin = QStringLiteral("0");
  valid.rawMax = QStringLiteral("100");

  const struct {
    const char* row;
    std::function<void(TagEntries&)> spoil;
    TagField field;
    const char* part;
  } rows[] = {
      {"name before description",
       [](TagEntries& t) {
         t.name = QString(32, u'a');
         t.description = Utf8("😀");
       },
       TagField::kName, "31"},
      {"number text", [](TagEntries& t) { t.deadband = QStringLiteral("1,5"); },
       TagField::kDeadband, "不是有效的数字"},
      {"infinite number", [](TagEntries& t) { t.initial = QStringLiteral("inf"); },
       TagField::kInitial, "不是有效的数字"},
      {"maximum beyond float, even for 离散",
       [](TagEntries& t) {
         t.max = QStringLiteral("1e39");
         t.varType = kVarDiscrete;
       },
       TagField::kMax, "3.4028235e38"},
      {"no variable type", [](TagEntries& t) { t.varType = -1; }, TagField::kVarType,
       "请选择变量类型"},
      {"variable type past the list", [](TagEntries& t) { t.varType = 4; }, TagField::kVarType,
       "请选择变量类型"},
      {"no device", [](TagEntries& t) { t.device = -1; }, TagField::kDevice,
       "没有从系统中找到该驱动"},
      {"device past the table", [](TagEntries& t) { t.device = 2; }, TagField::kDevice,
       "没有从系统中找到该驱动"},
      {"device name too long", [](TagEntries& t) { t.device = 1; }, TagField::kDevice, "34 个字节"},
      {"no data type", [](TagEntries& t) { t.rawType = -1; }, TagField::kDataType,
       "请选择数据类型"},
      {"zero span", [](TagEntries& t) { t.min = t.max = QStringLiteral("5"); }, TagField::kMin,
       "量程为零"},
      {"raw ends equal once truncated",
       [](TagEntries& t) {
         t.rawMin = QStringLiteral("7");
         t.rawMax = QStringLiteral("7.9");
       },
       TagField::kRawMin, "原始量程为零"},
  };
  for (const auto& r : rows) {
    TagEntries entries = valid;
    r.spoil(entries);
    const auto check = CheckTagEntries(entries, devices.span());
    QVERIFY2(!check.ok, r.row);
    QVERIFY2(check.field == r.field, r.row);
    QVERIFY2(check.message.contains(Utf8(r.part)),
             qPrintable(Utf8(r.row) + QStringLiteral(": ") + check.message));
  }

  auto check = CheckTagEntries(valid, devices.span());
  QVERIFY(check.ok);
  QCOMPARE(QByteArray::fromStdString(check.tag.name), Gbk("温度"));
  QCOMPARE(check.tag.scanPeriodMs, 500);
  QCOMPARE(check.tag.rawMax, 100.0);
  // An internal tag skips every check of the device group.
  TagEntries internal = valid;
  internal.external = false;
  internal.device = -1;
  internal.registerText = Utf8("V1😀");
  check = CheckTagEntries(internal, devices.span());
  QVERIFY(check.ok);
  QCOMPARE(check.tag.device, -1);
  QCOMPARE(check.tag.rawType, -1);
}

void TestTagEditOk::zeroSpansRefusedForExternalNumbers_data() {
  QTest::addColumn<bool>("external");
  QTest::addColumn<int>("varType");
  QTest::addColumn<int>("rawType");
  QTest::addColumn<QString>("min");
  QTest::addColumn<QString>("max");
  QTest::addColumn<QString>("rawMin");
  QTest::addColumn<QString>("rawMax");
  QTest::addColumn<QString>("refusedAt");  // empty: accepted
  QTest::newRow("整数, equal engineering ends") << true << 1 << 2 << "5"
                                                << "5"
                                                << "0"
                                                << "100"
                                                << "minEdit";
  QTest::newRow("整数, equal raw ends") << true << 1 << 2 << "0"
                                        << "100"
                                        << "7"
                                        << "7"
                                        << "rawMinEdit";
  QTest::newRow("整数, inverted ends") << true << 1 << 2 << "100"
                                       << "0"
                                       << "100"
                                       << "0"
                                       << "";
  QTest::newRow("浮点, ends equal as floats") << true << 2 << 7 << "16777216"
                                              << "16777217"
                                              << "0"
                                              << "1"
                                              << "minEdit";
  QTest::newRow("浮点, raw ends equal as floats") << true << 2 << 7 << "0"
                                                  << "1"
                                                  << "1234567.00001"
                                                  << "1234567.00002"
                                                  << "rawMinEdit";
  QTest::newRow("浮点, raw ends apart as floats") << true << 2 << 7 << "0"
                                                  << "1"
                                                  << "1234567.0"
                                                  << "1234567.5"
                                                  << "";
  QTest::newRow("整数 on 位, raw range unused") << true << 1 << 0 << "5"
                                                << "5"
                                                << "0"
                                                << "0"
                                                << "";
  QTest::newRow("internal 整数") << false << 1 << 2 << "5"
                                 << "5"
                                 << "0"
                                 << "0"
                                 << "";
}

void TestTagEditOk::zeroSpansRefusedForExternalNumbers() {
  QFETCH(bool, external);
  QFETCH(int, varType);
  QFETCH(int, rawType);
  QFETCH(QString, min);
  QFETCH(QString, max);
  QFETCH(QString, rawMin);
  QFETCH(QString, rawMax);
  QFETCH(QString, refusedAt);
  MessageRecorder messages;
  Editor e;
  TwoDevices(e);
  if (!external)
    e.tag.flags &= ~kTagExternal;
  const TagRecord before = e.tag;
  e.Open();
  auto& page = e.Page();
  Choose(page.VarTypeCombo(), varType);
  if (external)
    Choose(page.DataTypeCombo(), rawType);
  QVERIFY(page.MinEdit()->setValueText(min));
  QVERIFY(page.MaxEdit()->setValueText(max));
  QVERIFY(page.RawMinEdit()->setValueText(rawMin));
  QVERIFY(page.RawMaxEdit()->setValueText(rawMax));
  const bool accepted = page.OnOK();
  QCOMPARE(accepted, refusedAt.isEmpty());
  if (accepted) {
    QVERIFY(messages.Texts().isEmpty());
  } else {
    QCOMPARE(messages.Texts().size(), 1);
    QVERIFY2(messages.Last().contains(Utf8("不能等于")), qPrintable(messages.Last()));
    QVERIFY(HasFocus(e.dialog.get(), refusedAt));
    QVERIFY(RecordDifference(e.tag, before).isEmpty());
  }
}

void TestTagEditOk::driverMissingAtOk() {
  MessageRecorder messages;
  const QString notFound = Utf8("没有从系统中找到该驱动\n请在配置的驱动设备中选择驱动名称!");
  {
    // The tag's device is gone: nothing chosen, no driver, OK refused until a device is chosen.
    Editor e;
    TwoDevices(e);
    SetText(e.tag.deviceName, "ModelA");  // named like a model: still no device of that name
    e.Open();
    e.dialog->accept();
    QCOMPARE(messages.Texts(), QStringList{notFound});
    QVERIFY(HasFocus(e.dialog.get(), QStringLiteral("deviceCombo")));
    QCOMPARE(env_.Control().created, 0);
    Choose(e.Page().DeviceCombo(), 0);
    QVERIFY2(e.Page().OnOK(), qPrintable(messages.Last()));
    QCOMPARE(Text(e.tag.deviceName), QStringLiteral("PLC1"));
    QCOMPARE(Text(e.tag.driverModel), QStringLiteral("ModelA"));
  }
  {
    // The driver could not be made when the dialog opened: OK tries again and says so again.
    messages.Clear();
    Editor e;
    e.devices.Add(MakeDevice("PLC1", "ModelA", kMissingClsid));
    e.tag = ExternalTag("Var1", "PLC1", "V1", kRawInt16);
    const TagRecord before = e.tag;
    e.Open();
    e.dialog->accept();
    QCOMPARE(messages.Texts(), QStringList({Utf8("加载驱动失败!"), Utf8("加载驱动失败!")}));
    QVERIFY(RecordDifference(e.tag, before).isEmpty());
  }
}

void TestTagEditOk::realPpiDriver() {
  MessageRecorder messages;
  auto open = [](Editor& e, const char* registerText, int rawType) {
    e.devices.Add(MakeDevice("S7", "S7-200(PPI)", kPpiClsid));
    e.tag = ExternalTag("Var1", "S7", registerText, rawType);
    e.Open();
  };
  {
    Editor e;
    open(e, "V65536", kRawInt16);
    // The width forms (VB, VW, VD, ...) and SM, S, AIW, AQW come before DELAY, the last entry.
    QCOMPARE(e.Page().RegisterCombo()->count(), 27);
    QCOMPARE(e.Page().RegisterCombo()->itemText(26), QStringLiteral("DELAY"));
    const TagRecord before = e.tag;
    QVERIFY(!e.Page().OnOK());
    // The driver's own text, from libLexvar.so.
    QCOMPARE(messages.Texts(), QStringList{Utf8("地址超出该区域的范围")});
    QVERIFY(RecordDifference(e.tag, before).isEmpty());
    // A data type the area does not allow.
    messages.Clear();
    e.Page().RegisterCombo()->setEditText(QStringLiteral("I0"));
    QVERIFY(!e.Page().OnOK());
    QCOMPARE(messages.Texts(), QStringList{Utf8("该数据类型不能用于此地址区域")});
    // Refused again, for a register of no area: the driver sets no error of its own for it,
    // so its last error is still the earlier one. The box must not show that text again.
    messages.Clear();
    e.Page().RegisterCombo()->setEditText(QStringLiteral("V70000"));
    QVERIFY(!e.Page().OnOK());
    e.Page().RegisterCombo()->setEditText(QStringLiteral("X3"));
    QVERIFY(!e.Page().OnOK());
    QCOMPARE(messages.Texts().size(), 2);
    QCOMPARE(messages.Texts()[0], Utf8("地址超出该区域的范围"));
    QVERIFY2(messages.Last().contains(QStringLiteral("X3")), qPrintable(messages.Last()));
  }
  {
    // An unknown area: the driver has no text for it, the editor says what was refused.
    messages.Clear();
    Editor e;
    open(e, "X3", kRawInt32);
    QVERIFY(!e.Page().OnOK());
    QVERIFY2(messages.Last().contains(QStringLiteral("X3")), qPrintable(messages.Last()));
  }
  for (const auto& [text, rawType, index] :
       {std::tuple{"DELAY1", int(kRawUInt16), 26}, std::tuple{"M10", int(kRawByte), 15},
        std::tuple{"V100", int(kRawInt16), 3}, std::tuple{"VW100", int(kRawInt16), 1}}) {
    messages.Clear();
    Editor e;
    open(e, text, rawType);
    QVERIFY2(e.Page().OnOK(), qPrintable(messages.Last()));
    QCOMPARE(int(e.tag.registerIndex), index);
    QCOMPARE(Text(e.tag.driverModel), QStringLiteral("S7-200(PPI)"));
  }
}

QTEST_MAIN(TestTagEditOk)
#include "tst_tag_edit_ok.moc"

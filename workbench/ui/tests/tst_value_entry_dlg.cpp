// Tests of the value-entry dialog: what it shows of the tag, the strict text conversions, the
// refusal of values the tag cannot take and of strings that could never be written, and the
// hand-over to the runtime tag table's writers.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "platform/atoms.h"
#include "platform/gbk.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/tag_table.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/tests/widget_test_support.h"
#include "workbench/ui/value_entry_dlg.h"

using namespace talvek;

Q_DECLARE_METATYPE(TagRecord)

namespace {

// Every raw word the writers deliver.
class RecordingWriteSink final : public TagWriteSink {
 public:
  int WriteTag(uint16_t tagIndex, int32_t value) override {
    writes.push_back({tagIndex, value});
    return 1;
  }
  struct Write {
    uint16_t index;
    int32_t raw;
  };
  std::vector<Write> writes;
};

TagRecord MakeTag(const char* name, int32_t varType, int32_t rawType) {
  TagRecord tag{};
  platform::CopyToArray(tag.name, name);
  tag.varType = varType;
  tag.rawType = rawType;
  return tag;
}

// A tag whose engineering and raw limits are the same words.
TagRecord MakeRanged(const char* name, int32_t varType, int32_t rawType, int32_t min, int32_t max) {
  TagRecord tag = MakeTag(name, varType, rawType);
  tag.engMin = tag.rawMin = min;
  tag.engMax = tag.rawMax = max;
  return tag;
}

// Acts on the value-entry dialog once it is the active modal widget.
using DialogDriver = ui_testing::ModalDriver<CValueEntryDlg>;

// Types `text` and presses OK on a shown dialog.
void EnterAndConfirm(CValueEntryDlg& dlg, const QString& text) {
  dlg.show();
  dlg.ValueEdit()->setText(text);
  dlg.findChild<QPushButton*>("okButton")->click();
}

QString Repeat(const char* utf8, int count) {
  return QString::fromUtf8(utf8).repeated(count);
}

}  // namespace

class TestValueEntryDlg : public QObject {
  Q_OBJECT

 private slots:
  void captionByType_data() {
    QTest::addColumn<TagRecord>("tag");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("range");
    QTest::newRow("discrete") << MakeTag("B", kVarDiscrete, kRawBit)
                              << QStringLiteral("请设置布尔值(0,1)") << QStringLiteral("0 或 1");
    QTest::newRow("integer, its own range")
        << MakeRanged("I", kVarInteger, kRawUInt16, 0, 65535)
        << QStringLiteral("请设置整数值,范围(0,65535)") << QStringLiteral("0 ~ 65535");
    QTest::newRow("integer, limits reversed")
        << MakeRanged("I", kVarInteger, kRawInt32, 100, -40000)
        << QStringLiteral("请设置整数值,范围(-40000,100)") << QStringLiteral("-40000 ~ 100");
    QTest::newRow("float") << MakeRanged("F", kVarFloat, kRawFloat, FloatToWord(-10.5f),
                                         FloatToWord(100.0f))
                           << QStringLiteral("请设置浮点数,范围(-10.5,100，有效位7位)")
                           << QStringLiteral("-10.5 ~ 100");
    QTest::newRow("string") << MakeTag("S", kVarString, kRawString)
                            << QStringLiteral("请设置字符串,范围(128个字符)")
                            << QStringLiteral("1 到 128 个字符 (GBK 编码不超过 255 字节)");
  }
  // The prompt with the tag's real range is the caption and is repeated inside the dialog,
  // beside the tag's name, current value and range: a window manager may cut a long title.
  void captionByType() {
    QFETCH(TagRecord, tag);
    QFETCH(QString, caption);
    QFETCH(QString, range);
    CValueEntryDlg dlg(tag);
    QCOMPARE(dlg.windowTitle(), caption);
    QCOMPARE(CValueEntryDlg::CaptionFor(tag), caption);
    QCOMPARE(dlg.findChild<QLabel*>("promptLabel")->text(), caption);
    QCOMPARE(dlg.findChild<QLabel*>("nameLabel")->text(), QString::fromLatin1(tag.name));
    QCOMPARE(dlg.findChild<QLabel*>("rangeLabel")->text(), range);
    QVERIFY(dlg.findChild<QLineEdit*>("valueEdit") == dlg.ValueEdit());
    QCOMPARE(dlg.findChild<QPushButton*>("okButton")->text(), QStringLiteral("确定"));
    QCOMPARE(dlg.findChild<QPushButton*>("cancelButton")->text(), QStringLiteral("取消"));
    TagRecord odd = tag;
    odd.varType = 4;
    QVERIFY(CValueEntryDlg::CaptionFor(odd).isEmpty());
  }

  void currentValueIsShown() {
    TagRecord tag = MakeRanged(platform::Utf8ToGbk("液位").c_str(), kVarFloat, kRawFloat,
                               FloatToWord(0.0f), FloatToWord(10.0f));
    tag.value = FloatToWord(2.5f);
    tag.quality = 192;
    CValueEntryDlg dlg(tag);
    QCOMPARE(dlg.findChild<QLabel*>("nameLabel")->text(), QStringLiteral("液位"));
    QCOMPARE(dlg.findChild<QLabel*>("currentLabel")->text(), QStringLiteral("2.500000  (好)"));
  }

  // What the dialog's checks do not show: the limits of the parsers themselves.
  void parserLimits() {
    QCOMPARE(ParseWholeNumber(" \t-5 "), std::optional<int64_t>(-5));
    QCOMPARE(ParseWholeNumber("70000000000"), std::optional<int64_t>(70000000000));
    QCOMPARE(ParseWholeNumber("-99999999999999999999999"), std::optional<int64_t>(-(1LL << 53)));
    for (const char* text : {"- 5", "-", "  ", "3.9"})
      QVERIFY2(!ParseWholeNumber(text), text);
    QCOMPARE(ParseDecimalNumber(" -.5 "), std::optional<double>(-0.5));
    QCOMPARE(ParseDecimalNumber("2."), std::optional<double>(2.0));
    QCOMPARE(ParseDecimalNumber("1e400"), std::optional<double>(HUGE_VAL));
    for (const char* text : {"7e", "7e+", "1,5", "inf", "nan", "0x10", "-.", ""})
      QVERIFY2(!ParseDecimalNumber(text), text);
  }

  // OK takes only a number of the tag's type inside its range; anything else is refused with a
  // message and the dialog stays open, so nothing the user did not type is ever written.
  void okTakesOnlyValuesOfTheTag_data() {
    QTest::addColumn<TagRecord>("tag");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal");  // part of the message; empty: accepted
    QTest::addColumn<double>("value");
    const TagRecord bit = MakeTag("B", kVarDiscrete, kRawBit);
    const TagRecord word = MakeRanged("W", kVarInteger, kRawUInt16, 0, 65535);
    const TagRecord signedWord = MakeRanged("S", kVarInteger, kRawInt16, -100, 100);
    const TagRecord wide = MakeRanged("L", kVarInteger, kRawInt32, INT32_MIN, INT32_MAX);
    const TagRecord real =
        MakeRanged("F", kVarFloat, kRawUInt16, FloatToWord(-1.5f), FloatToWord(50.0f));
    QTest::newRow("bit 1") << bit << " 1 " << QString() << 1.0;
    QTest::newRow("bit 2") << bit << "2" << QStringLiteral("0 或 1") << 0.0;
    QTest::newRow("bit 70000") << bit << "70000" << QStringLiteral("0 或 1") << 0.0;
    QTest::newRow("bit text") << bit << "on" << QStringLiteral("不是有效的布尔值") << 0.0;
    QTest::newRow("word top") << word << "65535" << QString() << 65535.0;
    QTest::newRow("word above") << word << "70000" << QStringLiteral("0 ~ 65535") << 0.0;
    QTest::newRow("word below") << word << "-1" << QStringLiteral("0 ~ 65535") << 0.0;
    QTest::newRow("word typo") << word << "l00" << QStringLiteral("不是整数") << 0.0;
    QTest::newRow("word fraction") << word << "1.5" << QStringLiteral("不是整数") << 0.0;
    QTest::newRow("signed low") << signedWord << "-100" << QString() << -100.0;
    QTest::newRow("signed under") << signedWord << "-101" << QStringLiteral("-100 ~ 100") << 0.0;
    QTest::newRow("int32 max") << wide << "2147483647" << QString() << 2147483647.0;
    QTest::newRow("beyond int32") << wide << "2147483648" << QStringLiteral("范围") << 0.0;
    QTest::newRow("float inside") << real << "-1.25" << QString() << -1.25;
    const TagRecord tenth =
        MakeRanged("T", kVarFloat, kRawFloat, FloatToWord(0.1f), FloatToWord(0.3f));
    QTest::newRow("float limit as shown") << tenth << "0.1" << QString() << double(0.1f);
    QTest::newRow("float above") << real << "50.001" << QStringLiteral("-1.5 ~ 50") << 0.0;
    QTest::newRow("float huge") << real << "1e40" << QStringLiteral("-1.5 ~ 50") << 0.0;
    QTest::newRow("float letters") << real << "abc" << QStringLiteral("不是数值") << 0.0;
    QTest::newRow("float unit") << real << "3kg" << QStringLiteral("不是数值") << 0.0;
  }
  void okTakesOnlyValuesOfTheTag() {
    QFETCH(TagRecord, tag);
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    QFETCH(double, value);
    RecordingMessageSink messages;
    CValueEntryDlg dlg(tag);
    EnterAndConfirm(dlg, text);
    if (!refusal.isEmpty()) {
      QVERIFY(dlg.isVisible());
      QCOMPARE(dlg.result(), int(QDialog::Rejected));
      QCOMPARE(messages.Messages().size(), std::size_t{1});
      QVERIFY2(QString::fromStdString(messages.LastText()).contains(refusal),
               messages.LastText().c_str());
      return;
    }
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QVERIFY(messages.Messages().empty());
    switch (tag.varType) {
      case kVarDiscrete:
        QCOMPARE(double(dlg.DiscreteValue()), value);
        break;
      case kVarInteger:
        QCOMPARE(double(dlg.IntegerValue()), value);
        break;
      default:
        QCOMPARE(double(dlg.FloatValue()), value);
        break;
    }
  }

  void stringKeptAsTyped() {
    RecordingMessageSink messages;
    CValueEntryDlg text(MakeTag("S", kVarString, kRawString));
    EnterAndConfirm(text, QStringLiteral(" 液位 A1 "));
    QCOMPARE(text.result(), int(QDialog::Accepted));
    QCOMPARE(text.GbkText(), platform::Utf8ToGbk(" 液位 A1 "));  // blanks too
    QVERIFY(messages.Messages().empty());
  }

  void stringEditTakesAtMost128Characters() {
    CValueEntryDlg dlg(MakeTag("S", kVarString, kRawString));
    dlg.show();
    QTest::keyClicks(dlg.ValueEdit(), Repeat("x", 129));
    QCOMPARE(dlg.ValueEdit()->text(), Repeat("x", 128));
  }

  // Strings the writer could not send are refused with a reason; the dialog stays open so the
  // text can be corrected, and then OK goes through.
  void unwritableStringsAreRefused_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reasonPart");
    QTest::newRow("no GBK form") << QStringLiteral("温度😀") << QStringLiteral("GBK编码表示");
    QTest::newRow("over 255 GBK bytes") << Repeat("液", 128) << QStringLiteral("255个字节");
    QTest::newRow("empty") << QString() << QStringLiteral("不能为空");
    QTest::newRow("NUL character") << QString(QChar(u'\0')) + "a" << QStringLiteral("空字符");
  }
  void unwritableStringsAreRefused() {
    QFETCH(QString, text);
    QFETCH(QString, reasonPart);
    RecordingMessageSink messages;
    CValueEntryDlg dlg(MakeTag("S", kVarString, kRawString));
    EnterAndConfirm(dlg, text);
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QCOMPARE(messages.Messages().size(), std::size_t{1});
    QVERIFY2(QString::fromStdString(messages.LastText()).contains(reasonPart),
             messages.LastText().c_str());

    dlg.ValueEdit()->setText(Repeat("液", 127) + "a");  // 255 bytes: the most that fits
    dlg.findChild<QPushButton*>("okButton")->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(dlg.GbkText().size(), std::size_t{255});
    QCOMPARE(messages.Messages().size(), std::size_t{1});
  }

  // The writers are reached through Tags() with the tag's name and the converted value.
  void enteredValuesReachTheWriters() {
    RecordingWriteSink sink;
    Project().tags.clear();
    // Integer tag scaled 0..100 onto an unsigned 16-bit raw range 0..65535.
    TagRecord level = MakeRanged("Var00001", kVarInteger, kRawUInt16, 0, 100);
    level.rawMax = 65535;
    Project().tags.push_back(level);
    Project().tags.push_back(MakeTag("Var00002", kVarDiscrete, kRawBit));
    Project().tags.push_back(MakeTag(platform::Utf8ToGbk("文本").c_str(), kVarString, kRawString));
    Tags().SetWriteSink(&sink);

    CValueEntryDlg integer(Project().tags[0]);
    EnterAndConfirm(integer, "50");
    QCOMPARE(WriteEnteredValue("Var00001", integer), 1);
    CValueEntryDlg discrete(Project().tags[1]);
    EnterAndConfirm(discrete, "1");
    QCOMPARE(WriteEnteredValue("Var00002", discrete), 1);
    CValueEntryDlg text(Project().tags[2]);
    EnterAndConfirm(text, QStringLiteral("开"));
    QCOMPARE(WriteEnteredValue(platform::Utf8ToGbk("文本"), text), 1);
    QCOMPARE(WriteEnteredValue("NoSuchTag", integer), 0);

    Tags().SetWriteSink(nullptr);
    Project().tags.clear();
    QCOMPARE(sink.writes.size(), std::size_t{3});
    QCOMPARE(sink.writes[0].index, uint16_t{0});
    QCOMPARE(sink.writes[0].raw & 0xFFFF, 32767);  // 50 % of 65535, truncated
    QCOMPARE(sink.writes[1].index, uint16_t{1});
    QCOMPARE(sink.writes[1].raw, 1);
    QCOMPARE(sink.writes[2].index, uint16_t{2});
    char atomName[64] = {};
    QVERIFY(platform::GlobalGetAtomNameA(static_cast<ATOM>(sink.writes[2].raw & 0xFFFF), atomName,
                                         sizeof atomName) > 0);
    QCOMPARE(std::string(atomName), platform::Utf8ToGbk("开"));
  }

  // The whole command: the modal dialog opens for the tag's type and OK writes; Cancel and a
  // type without a dialog write nothing.
  void writeValueOfTagRunsTheModalDialog() {
    RecordingMessageSink messages;
    RecordingWriteSink sink;
    Project().tags.clear();
    const TagRecord counter = MakeRanged("Counter", kVarInteger, kRawInt32, 0, 1000);
    Project().tags.push_back(counter);
    Tags().SetWriteSink(&sink);

    QString caption;
    {
      DialogDriver driver([&](CValueEntryDlg* dlg) {
        caption = dlg->windowTitle();
        dlg->ValueEdit()->setText(" 12abc");  // refused: the dialog stays open
        dlg->findChild<QPushButton*>("okButton")->click();
        dlg->ValueEdit()->setText(" 12 ");
        dlg->findChild<QPushButton*>("okButton")->click();
      });
      QCOMPARE(WriteValueOfTag(Project().tags[0], nullptr), 1);
      QVERIFY(driver.acted());
    }
    {
      DialogDriver driver([](CValueEntryDlg* dlg) {
        dlg->ValueEdit()->setText("99");
        dlg->findChild<QPushButton*>("cancelButton")->click();
      });
      QCOMPARE(WriteValueOfTag(Project().tags[0], nullptr), 0);
      QVERIFY(driver.acted());
    }
    TagRecord odd = counter;
    odd.varType = 7;
    QCOMPARE(WriteValueOfTag(odd, nullptr), 0);  // returns at once, no dialog to answer

    Tags().SetWriteSink(nullptr);
    Project().tags.clear();
    QCOMPARE(caption, QStringLiteral("请设置整数值,范围(0,1000)"));
    QCOMPARE(messages.Messages().size(), std::size_t{1});  // the refusal of " 12abc"
    QCOMPARE(sink.writes.size(), std::size_t{1});
    QCOMPARE(sink.writes[0].raw, 12);
  }
};

QTEST_MAIN(TestValueEntryDlg)
#include "tst_value_entry_dlg.moc"

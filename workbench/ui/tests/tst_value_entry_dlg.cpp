// Tests of the value-entry dialog: captions by type, the text conversions, the refusal of string
// values that could never be written, and the hand-over to the runtime tag table's writers.
#include <cfloat>
#include <cstring>
#include <functional>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "platform/atoms.h"
#include "platform/gbk.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/tag_table.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/value_entry_dlg.h"

using namespace talvek;

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

// Acts on the value-entry dialog once it is the active modal widget; after 5 s any modal dialog
// still open is closed, so a test can fail but never hang.
class DialogDriver {
 public:
  explicit DialogDriver(std::function<void(CValueEntryDlg*)> act) : act_(std::move(act)) {
    clock_.start();
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* dlg = qobject_cast<CValueEntryDlg*>(modal); dlg != nullptr && !acted_) {
        acted_ = true;
        act_(dlg);
      } else if (clock_.elapsed() > 5000) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
          dialog->done(-1);
      }
    });
    timer_.start(10);
  }
  bool acted() const { return acted_; }

 private:
  std::function<void(CValueEntryDlg*)> act_;
  QTimer timer_;
  QElapsedTimer clock_;
  bool acted_ = false;
};

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
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("caption");
    QTest::newRow("discrete") << 0 << QStringLiteral("请设置布尔值(0,1)");
    QTest::newRow("integer") << 1 << QStringLiteral("请设置整数值,范围(-32768,32767)");
    QTest::newRow("float") << 2 << QStringLiteral("请设置浮点数,范围(10e-38,10e38，有效位7位)");
    QTest::newRow("string") << 3 << QStringLiteral("请设置字符串,范围(128个字符)");
    QTest::newRow("unknown") << 4 << QString();
  }
  void captionByType() {
    QFETCH(int, type);
    QFETCH(QString, caption);
    CValueEntryDlg dlg(type);
    QCOMPARE(dlg.windowTitle(), caption);
    QVERIFY(dlg.findChild<QLineEdit*>("valueEdit") == dlg.ValueEdit());
    QCOMPARE(dlg.findChild<QPushButton*>("okButton")->text(), QStringLiteral("确定"));
    QCOMPARE(dlg.findChild<QPushButton*>("cancelButton")->text(), QStringLiteral("取消"));
  }

  void integerConversions_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("int32");
    QTest::addColumn<int>("int16");
    QTest::newRow("plain") << QByteArray("1234") << 1234 << 1234;
    QTest::newRow("cut to 16 bits") << QByteArray("70000") << 70000 << 4464;
    QTest::newRow("wraps negative") << QByteArray("40000") << 40000 << -25536;
    QTest::newRow("not a number") << QByteArray("ABC") << 0 << 0;
    QTest::newRow("blanks and tail") << QByteArray(" \t12abc") << 12 << 12;
    QTest::newRow("negative") << QByteArray("-5") << -5 << -5;
    QTest::newRow("plus sign") << QByteArray("+7") << 7 << 7;
    QTest::newRow("sign then blank") << QByteArray("- 5") << 0 << 0;
    QTest::newRow("decimal point") << QByteArray("3.9") << 3 << 3;
    QTest::newRow("int32 max") << QByteArray("2147483647") << INT32_MAX << -1;
    QTest::newRow("int32 min") << QByteArray("-2147483648") << INT32_MIN << 0;
    QTest::newRow("too big saturates") << QByteArray("99999999999999999999") << INT32_MAX << -1;
    QTest::newRow("too small saturates") << QByteArray("-99999999999") << INT32_MIN << 0;
    QTest::newRow("empty") << QByteArray("") << 0 << 0;
  }
  void integerConversions() {
    QFETCH(QByteArray, text);
    QFETCH(int, int32);
    QFETCH(int, int16);
    QCOMPARE(ParseInt32Prefix(text.toStdString()), int32);
    QCOMPARE(int(ParseInt16Prefix(text.toStdString())), int16);
  }

  void floatConversions_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<float>("expected");
    QTest::newRow("plain") << QByteArray("25.5") << 25.5f;
    QTest::newRow("blanks and unit") << QByteArray("  -3.25kg") << -3.25f;
    QTest::newRow("leading point") << QByteArray(".5") << 0.5f;
    QTest::newRow("trailing point") << QByteArray("2.") << 2.0f;
    QTest::newRow("exponent") << QByteArray("1.5e3") << 1500.0f;
    QTest::newRow("exponent without digits") << QByteArray("7e") << 7.0f;
    QTest::newRow("exponent sign without digits") << QByteArray("7e+x") << 7.0f;
    QTest::newRow("above float range") << QByteArray("1e40") << FLT_MAX;
    QTest::newRow("below float range") << QByteArray("-1e40") << -FLT_MAX;
    QTest::newRow("above double range") << QByteArray("1e400") << FLT_MAX;
    QTest::newRow("tiny becomes zero") << QByteArray("1e-60") << 0.0f;
    QTest::newRow("not a number") << QByteArray("ABC") << 0.0f;
    QTest::newRow("no inf") << QByteArray("inf") << 0.0f;
    QTest::newRow("no nan") << QByteArray("nan") << 0.0f;
    QTest::newRow("no hex") << QByteArray("0x10") << 0.0f;
    QTest::newRow("comma is not a point") << QByteArray("1,5") << 1.0f;
    QTest::newRow("lone sign and point") << QByteArray("-.") << 0.0f;
  }
  void floatConversions() {
    QFETCH(QByteArray, text);
    QFETCH(float, expected);
    const float value = ParseFloatPrefix(text.toStdString());
    QVERIFY(std::isfinite(value));
    QCOMPARE(value, expected);
  }

  // OK converts by the dialog's type and closes; the range advice of the captions is not
  // enforced, and nothing is shown.
  void okConvertsByType() {
    RecordingMessageSink messages;
    CValueEntryDlg discrete(kVarDiscrete);
    EnterAndConfirm(discrete, "70000");
    QCOMPARE(discrete.result(), int(QDialog::Accepted));
    QCOMPARE(discrete.DiscreteValue(), int16_t{4464});

    CValueEntryDlg integer(kVarInteger);
    EnterAndConfirm(integer, "100000");
    QCOMPARE(integer.IntegerValue(), 100000);

    CValueEntryDlg real(kVarFloat);
    EnterAndConfirm(real, "1e40");
    QCOMPARE(real.result(), int(QDialog::Accepted));
    QCOMPARE(real.FloatValue(), FLT_MAX);

    CValueEntryDlg text(kVarString);
    EnterAndConfirm(text, QStringLiteral(" 液位 A1 "));
    QCOMPARE(text.result(), int(QDialog::Accepted));
    QCOMPARE(text.GbkText(), platform::Utf8ToGbk(" 液位 A1 "));  // kept as typed, blanks too
    QVERIFY(messages.Messages().empty());
  }

  void stringEditTakesAtMost128Characters() {
    CValueEntryDlg dlg(kVarString);
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
    CValueEntryDlg dlg(kVarString);
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
    TagRecord level = MakeTag("Var00001", kVarInteger, kRawUInt16);
    level.engMin = 0;
    level.engMax = 100;
    level.rawMin = 0;
    level.rawMax = 65535;
    Project().tags.push_back(level);
    Project().tags.push_back(MakeTag("Var00002", kVarDiscrete, kRawBit));
    Project().tags.push_back(MakeTag(platform::Utf8ToGbk("文本").c_str(), kVarString, kRawString));
    Tags().SetWriteSink(&sink);

    CValueEntryDlg integer(kVarInteger);
    EnterAndConfirm(integer, "50");
    QCOMPARE(WriteEnteredValue("Var00001", integer), 1);
    CValueEntryDlg discrete(kVarDiscrete);
    EnterAndConfirm(discrete, "70000");
    QCOMPARE(WriteEnteredValue("Var00002", discrete), 1);
    CValueEntryDlg text(kVarString);
    EnterAndConfirm(text, QStringLiteral("开"));
    QCOMPARE(WriteEnteredValue(platform::Utf8ToGbk("文本"), text), 1);
    QCOMPARE(WriteEnteredValue("NoSuchTag", integer), 0);

    Tags().SetWriteSink(nullptr);
    Project().tags.clear();
    QCOMPARE(sink.writes.size(), std::size_t{3});
    QCOMPARE(sink.writes[0].index, uint16_t{0});
    QCOMPARE(sink.writes[0].raw & 0xFFFF, 32767);  // 50 % of 65535, truncated
    QCOMPARE(sink.writes[1].index, uint16_t{1});
    QCOMPARE(sink.writes[1].raw, 4464);  // cut to 16 bits, not limited to 0 and 1
    QCOMPARE(sink.writes[2].index, uint16_t{2});
    char atomName[64] = {};
    QVERIFY(GlobalGetAtomNameA(static_cast<ATOM>(sink.writes[2].raw & 0xFFFF), atomName,
                               sizeof atomName) > 0);
    QCOMPARE(std::string(atomName), platform::Utf8ToGbk("开"));
  }

  // The whole command: the modal dialog opens for the tag's type and OK writes; Cancel and a
  // type without a dialog write nothing.
  void writeValueOfTagRunsTheModalDialog() {
    RecordingWriteSink sink;
    Project().tags.clear();
    TagRecord counter = MakeTag("Counter", kVarInteger, kRawInt32);
    counter.engMin = 0;
    counter.engMax = 1000;
    counter.rawMin = 0;
    counter.rawMax = 1000;
    Project().tags.push_back(counter);
    Tags().SetWriteSink(&sink);

    QString caption;
    {
      DialogDriver driver([&](CValueEntryDlg* dlg) {
        caption = dlg->windowTitle();
        dlg->ValueEdit()->setText(" 12abc");
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
    QCOMPARE(caption, CValueEntryDlg::CaptionFor(kVarInteger));
    QCOMPARE(sink.writes.size(), std::size_t{1});
    QCOMPARE(sink.writes[0].raw, 12);
  }
};

QTEST_MAIN(TestValueEntryDlg)
#include "tst_value_entry_dlg.moc"

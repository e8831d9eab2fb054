// Tests of the project list's model: the cell texts of every mode for the golden data files, the
// live formatting, placeholder rows, rows whose table shrank, sorting and filtering.
#include <cstdlib>
#include <ctime>

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QtTest>

#include "common/testing/test_support.h"
#include "platform/atoms.h"
#include "platform/gbk.h"
#include "workbench/project/data_files.h"
#include "workbench/project/project_state.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/proj_list_model.h"

using namespace talvek;

namespace {

std::string Gbk(const char* utf8) {
  return platform::Utf8ToGbk(utf8);
}

TagRecord MakeTag(const char* utf8Name, int32_t varType = kVarInteger) {
  TagRecord tag{};
  platform::CopyToArray(tag.name, Gbk(utf8Name));
  tag.varType = varType;
  tag.rawType = kRawInt32;
  return tag;
}

// The project of workbench/project/tests/data: three devices, five tags, two screens.
void LoadGolden(ProjectState& state) {
  const std::string folder =
      (testing_support::SourceDir() / "workbench/project/tests/data").string();
  platform::CopyToArray(state.folder, Gbk(folder.c_str()));
  QVERIFY(LoadDevices(state));
  QVERIFY(LoadTags(state));
  QVERIFY(LoadScreens(state));
}

template <std::size_t N>
QString Text(const char (&gbk)[N]) {
  return GbkCellText(platform::ArrayText(gbk));
}

// The model over the golden project, rebuilt in `mode` (all ports).
struct GoldenModel {
  explicit GoldenModel(ListMode mode) {
    LoadGolden(state);
    model.Rebuild(mode, &state, 0);
  }
  ProjectState state;
  ProjListModel model;
};

QStringList Headers(const ProjListModel& model) {
  QStringList texts;
  for (int column = 0; column < model.columnCount(); ++column)
    texts << model.headerData(column, Qt::Horizontal).toString();
  return texts;
}

QStringList RowTexts(const ProjListModel& model, int row) {
  QStringList texts;
  for (int column = 0; column < model.columnCount(); ++column)
    texts << model.data(model.index(row, column)).toString();
  return texts;
}

QStringList LeadingTexts(const ProjListModel& model) {
  QStringList texts;
  for (int row = 0; row < model.rowCount(); ++row)
    texts << model.CellText(row, 0);
  return texts;
}

}  // namespace

class TestProjListModel : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    // Update times are shown in local time; the expected texts are in UTC.
    qputenv("TZ", "UTC");
    tzset();
  }

  void goldenDevicesAndScreens() {
    GoldenModel golden(ListMode::kDevices);
    ProjectState& state = golden.state;
    ProjListModel& model = golden.model;
    QCOMPARE(Headers(model), (QStringList{"逻辑名称", "设备种类", "设备地址"}));
    QCOMPARE(model.rowCount(), 4);
    QCOMPARE(RowTexts(model, 0), (QStringList{"锅炉房PLC", "S7-200(PPI)", "2"}));
    QCOMPARE(RowTexts(model, 1), (QStringList{"水泵站一号", "ZireviVER", "1"}));
    QCOMPARE(RowTexts(model, 2), (QStringList{"配电柜", "ModbusTCP", "192.168.1.10:502"}));
    QCOMPARE(RowTexts(model, 3), (QStringList{"新建设备...", "", ""}));

    // A port filter keeps the devices of that port; a port without devices only the placeholder.
    model.Rebuild(ListMode::kDevices, &state, 5);
    QCOMPARE(LeadingTexts(model), (QStringList{"配电柜", "新建设备..."}));
    model.Rebuild(ListMode::kDevices, &state, 9);
    QCOMPARE(LeadingTexts(model), QStringList{"新建设备..."});
    QVERIFY(model.IsPlaceholder(0));

    model.Rebuild(ListMode::kScreens, &state, 0);
    QCOMPARE(Headers(model), (QStringList{"名称", "文件名"}));
    QCOMPARE(RowTexts(model, 1), (QStringList{"锅炉监控", "锅炉监控.pic"}));
    QCOMPARE(RowTexts(model, 2), (QStringList{"增加画面...", ""}));
  }

  void goldenTags() {
    GoldenModel golden(ListMode::kTags);
    const ProjListModel& model = golden.model;
    QCOMPARE(Headers(model),
             (QStringList{"变量名", "变量描述", "变量类型", "ID", "驱动设备", "地址"}));
    QCOMPARE(model.rowCount(), 6);
    QCOMPARE(RowTexts(model, 0),
             (QStringList{"锅炉温度", "一号锅炉出口温度", "浮点", "", "锅炉房PLC", "VW100"}));
    QCOMPARE(RowTexts(model, 3),
             (QStringList{"配方名称", "当前配方", "字符串", "", "配电柜", "4X40100"}));
    // An internal tag (flag bit 4 clear) shows no device and no register.
    QCOMPARE(RowTexts(model, 4),
             (QStringList{"班次计数", "内部变量：本班启动次数", "整数", "", "", ""}));
    QCOMPARE(RowTexts(model, 5), (QStringList{"新建变量...", "", "", "", "", ""}));
  }

  void goldenLiveValues() {
    ProjectState state;
    LoadGolden(state);
    // The string tag's value names an atom of this process.
    const ATOM recipe = platform::GlobalAddAtomA(Gbk("配方甲").c_str());
    state.tags[3].value = recipe;
    state.tags[3].rawValue = static_cast<int32_t>(0x7FFF0000u) | recipe;  // upper half ignored

    ProjListModel model;
    model.Rebuild(ListMode::kLiveValues, &state, 0);
    QCOMPARE(model.columnCount(), 9);
    QCOMPARE(model.rowCount(), 5);  // no placeholder
    QCOMPARE(model.headerData(5, Qt::Horizontal).toString(), QStringLiteral("质量戳"));
    QCOMPARE(RowTexts(model, 0),
             (QStringList{"锅炉温度", "85.500000", "浮点", "18240", "整数", "好", "VW100",
                          "锅炉房PLC", "2024/01/05 02:03:25 0629"}));
    QCOMPARE(RowTexts(model, 1), (QStringList{"水泵运行", "1", "离散", "1", "位", "好", "0X1",
                                              "水泵站一号", "2024/01/05 02:03:25 0629"}));
    QCOMPARE(RowTexts(model, 2),
             (QStringList{"累计流量", "123456", "整数", "123456", "长整数", "坏", "4X40010",
                          "水泵站一号", ""}));  // never read: no time
    QCOMPARE(model.CellText(3, ProjListModel::kLiveValue), QStringLiteral("配方甲"));
    QCOMPARE(model.CellText(3, ProjListModel::kLiveRaw), QStringLiteral("配方甲"));
    QCOMPARE(model.CellText(3, ProjListModel::kLiveRawType), QStringLiteral("字符串"));
  }

  void liveFormatting() {
    // Integers: "%d", or their bits in their own width with the hex flag.
    QCOMPARE(QString::fromStdString(FormatLiveValue(kVarInteger, -1, false)), QStringLiteral("-1"));
    QCOMPARE(QString::fromStdString(FormatLiveValue(kVarInteger, -1, true)),
             QStringLiteral("FFFFFFFF"));
    QCOMPARE(QString::fromStdString(FormatLiveValue(kVarDiscrete, 1, true)), QStringLiteral("1"));
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawByte, 255, false)), QStringLiteral("255"));
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawByte, 255, true)), QStringLiteral("FF"));
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawByte, 0x1FF, false)),
             QStringLiteral("255"));  // only the low byte counts
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawInt16, 0xFFFF, false)),
             QStringLiteral("-1"));
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawInt16, -1, true)), QStringLiteral("FFFF"));
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawUInt16, 0xFFFF, false)),
             QStringLiteral("65535"));
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawBcd16, 0x1234, true)),
             QStringLiteral("1234"));  // BCD digits in hex mode
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawBcd32, -1, false)), QStringLiteral("-1"));
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawInt32, -1, true)),
             QStringLiteral("FFFFFFFF"));
    // Floats: "%f", or the IEEE bits in hex mode.
    QCOMPARE(QString::fromStdString(FormatLiveValue(kVarFloat, FloatToWord(25.5f), false)),
             QStringLiteral("25.500000"));
    QCOMPARE(QString::fromStdString(FormatLiveValue(kVarFloat, FloatToWord(1.0f), true)),
             QStringLiteral("3F800000"));
    QCOMPARE(QString::fromStdString(FormatRawValue(kRawFloat, FloatToWord(-2.25f), false)),
             QStringLiteral("-2.250000"));
    // Unknown types and atoms show nothing.
    QCOMPARE(QString::fromStdString(FormatLiveValue(7, 5, false)), QStringLiteral(""));
    QCOMPARE(QString::fromStdString(FormatRawValue(9, 5, false)), QStringLiteral(""));
    QCOMPARE(QString::fromStdString(FormatLiveValue(kVarString, 0xBFFF, false)),
             QStringLiteral(""));

    // Quality texts.
    ProjectState state;
    state.tags = {MakeTag("q192"), MakeTag("q216"), MakeTag("q1"), MakeTag("q24"), MakeTag("q32")};
    state.tags[0].quality = 192;
    state.tags[1].quality = 216;
    state.tags[2].quality = 1;
    state.tags[3].quality = 24;
    state.tags[4].quality = 0x20;
    ProjListModel model;
    model.Rebuild(ListMode::kLiveValues, &state, 0);
    QCOMPARE(model.CellText(0, ProjListModel::kLiveQuality), QStringLiteral("好"));
    QCOMPARE(model.CellText(1, ProjListModel::kLiveQuality), QStringLiteral("坏"));
    QCOMPARE(model.CellText(2, ProjListModel::kLiveQuality), QString());
    QCOMPARE(model.CellText(3, ProjListModel::kLiveQuality), QStringLiteral("串口错误"));
    // Waiting for its first read since communication started; never read, so no time either.
    QCOMPARE(model.CellText(4, ProjListModel::kLiveQuality), QStringLiteral("未读"));
    QCOMPARE(model.CellText(4, ProjListModel::kLiveTime), QString());

    // The hex flag reaches the cells and tells the views.
    state.tags[0].value = -1;
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.SetHexDisplay(true);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(model.CellText(0, ProjListModel::kLiveValue), QStringLiteral("FFFFFFFF"));

    // Times: milliseconds in four digits; a time outside the calendar, and the time 0 of a tag
    // never read (not 1601/01/01), show nothing.
    for (const FILETIME t : {FILETIME{0xFFFFFFFFu, 0xFFFFFFFFu}, FILETIME{0, 0}})
      QCOMPARE(QString::fromStdString(FormatUpdateTime(t)), QStringLiteral(""));
    QVERIFY(!FormatUpdateTime(FILETIME{1, 0}).empty());
    // A record text that is not GBK still shows its ASCII part.
    QCOMPARE(GbkCellText("ab\xFF"), QStringLiteral("ab\uFFFD"));
  }

  void modelTesterInEveryMode() {
    ProjectState state;
    LoadGolden(state);
    ProjListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.CreateImages();
    for (ListMode mode : {ListMode::kDevices, ListMode::kTags, ListMode::kScreens,
                          ListMode::kLiveValues, ListMode::kNone}) {
      model.Rebuild(mode, &state, 0);
      model.SortRows(0, true);
      model.SetFilter(QStringLiteral("a"));
      model.NotifyLiveValuesChanged();
      model.SetFilter({});
      model.ClearRows();
      model.Rebuild(mode, &state, 0);
    }
    model.Rebuild(ListMode::kTags, &state, 0);
    QVERIFY(!model.data(model.index(0, 0), Qt::DecorationRole).value<QIcon>().isNull());
    model.DestroyImages();
    QVERIFY(model.data(model.index(0, 0), Qt::DecorationRole).isNull());
  }

  // Rows hold indexes that are checked on every access: a table emptied or cut short behind the
  // model's back (project closed, communication started, tags deleted) gives empty cells.
  void rowsOfAShrunkenTable() {
    ProjectState state;
    LoadGolden(state);
    ProjListModel model;
    model.Rebuild(ListMode::kTags, &state, 0);
    state.tags.resize(2);
    QCOMPARE(model.CellText(1, 0), QStringLiteral("水泵运行"));
    QCOMPARE(model.CellText(2, 0), QString());
    QCOMPARE(model.RecordIndex(2), ProjListModel::kNoRecord);
    QVERIFY(model.TagAt(4) == nullptr);
    QVERIFY(model.IsPlaceholder(5));
    QCOMPARE(model.RecordIndex(6), ProjListModel::kNoRecord);

    model.Rebuild(ListMode::kDevices, &state, 0);
    state.ClearTables();
    for (int row = 0; row < model.rowCount(); ++row)
      QVERIFY(model.DeviceAt(row) == nullptr);
    QCOMPARE(model.CellText(0, 0), QString());
    // A record of another mode's table is never handed out.
    model.Rebuild(ListMode::kScreens, &state, 0);
    QVERIFY(model.TagAt(0) == nullptr && model.DeviceAt(0) == nullptr);
  }

  void sortingByColumn() {
    ProjectState state;
    state.tags = {MakeTag("b2"), MakeTag("a1"), MakeTag("c3"), MakeTag("B1")};
    ProjListModel model;
    model.Rebuild(ListMode::kTags, &state, 0);
    QCOMPARE(model.SortColumn(), -1);
    QItemSelectionModel selection(&model);
    selection.select(model.index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection.setCurrentIndex(model.index(2, 0), QItemSelectionModel::NoUpdate);

    model.SortRows(ProjListModel::kTagName, false);
    const QStringList ascending = LeadingTexts(model);
    QCOMPARE(ascending.size(), 5);
    QCOMPARE(ascending.last(), QStringLiteral("新建变量..."));  // the placeholder sorts last
    QVERIFY(ascending.indexOf("a1") < ascending.indexOf("b2"));
    QVERIFY(ascending.indexOf("b2") < ascending.indexOf("c3"));
    // The selection and the current row followed "c3".
    QCOMPARE(selection.currentIndex().row(), ascending.indexOf("c3"));
    QVERIFY(selection.isRowSelected(ascending.indexOf("c3")));
    QCOMPARE(selection.selectedRows().size(), 1);

    model.SortRows(ProjListModel::kTagName, true);  // reversed, the placeholder still last
    QStringList reversed = ascending.mid(0, 4);
    std::reverse(reversed.begin(), reversed.end());
    QCOMPARE(LeadingTexts(model), reversed << QStringLiteral("新建变量..."));
    QCOMPARE(Text(model.TagAt(selection.currentIndex().row())->name), QStringLiteral("c3"));
    model.Rebuild(ListMode::kTags, &state, 0);  // after an edit: the same order
    QCOMPARE(LeadingTexts(model), reversed);

    // Devices sort by the clicked column's text, not by what begins their record.
    state.devices.Add(DeviceRecord{});
    state.devices.Add(DeviceRecord{});
    platform::CopyToArray(state.devices[0].descriptor.manufacturer, "aa");
    platform::CopyToArray(state.devices[0].logicalName, "second");
    platform::CopyToArray(state.devices[1].descriptor.manufacturer, "zz");
    platform::CopyToArray(state.devices[1].logicalName, "first");
    model.Rebuild(ListMode::kDevices, &state, 0);  // another mode: unsorted
    QCOMPARE(model.SortColumn(), -1);
    model.SortRows(ProjListModel::kDeviceName, false);
    QCOMPARE(LeadingTexts(model), (QStringList{"first", "second", "新建设备..."}));
  }

  // Value, raw value and time sort by value (2 < 10 < 100, negatives first), not by their text;
  // cells without a number follow, empty cells (a time never read) last in either direction.
  void numericColumnsSortByValue() {
    const ATOM text = platform::GlobalAddAtomA("abc");
    ProjectState state;
    const std::pair<const char*, std::int32_t> values[] = {
        {"v10", 10}, {"v2", 2}, {"v100", 100}, {"vneg", -5}, {"vstr", text}, {"vflt", 0}};
    for (const auto& [name, value] : values) {
      state.tags.push_back(MakeTag(name));
      TagRecord& tag = state.tags.back();
      tag.value = tag.rawValue = value;
      tag.rawType = kRawInt16;
      tag.updateTime = FILETIME{static_cast<DWORD>(value) * 10000000u, 0x01DA0000};
    }
    state.tags[3].updateTime = FILETIME{};
    state.tags[4].varType = kVarString;
    state.tags[4].rawType = kRawString;
    state.tags[4].updateTime.dwLowDateTime = 1;
    state.tags[5].varType = kVarFloat;
    state.tags[5].value = FloatToWord(2.5f);
    state.tags[5].rawType = kRawFloat;
    state.tags[5].rawValue = FloatToWord(-0.5f);
    state.tags[5].updateTime.dwLowDateTime = 25000000;
    ProjListModel model;
    model.Rebuild(ListMode::kLiveValues, &state, 0);
    model.SetHexDisplay(true);  // -5 shows FFFFFFFB, and still sorts first
    auto sorted = [&model](int column, bool descending) {
      model.SortRows(column, descending);
      return LeadingTexts(model);
    };
    QCOMPARE(sorted(ProjListModel::kLiveValue, false),
             (QStringList{"vneg", "v2", "vflt", "v10", "v100", "vstr"}));
    QCOMPARE(sorted(ProjListModel::kLiveValue, true),
             (QStringList{"v100", "v10", "vflt", "v2", "vneg", "vstr"}));
    QCOMPARE(sorted(ProjListModel::kLiveRaw, false),
             (QStringList{"vneg", "vflt", "v2", "v10", "v100", "vstr"}));
    QCOMPARE(sorted(ProjListModel::kLiveTime, false),
             (QStringList{"vstr", "v2", "vflt", "v10", "v100", "vneg"}));
    QCOMPARE(sorted(ProjListModel::kLiveTime, true),
             (QStringList{"v100", "v10", "vflt", "v2", "vstr", "vneg"}));
    platform::GlobalDeleteAtom(text);
  }

  void filterOnNameDescriptionRegisterAndDevice() {
    ProjectState state;
    const char* const fields[][4] = {{"Pump1", "进水泵", "VW100", "泵站PLC"},
                                     {"Valve", "出水阀", "VW200", "阀门PLC"},
                                     {"TEMP", "温度", "MD8", "泵站PLC"},
                                     {"inner", "内部", "VW100", "泵站PLC"}};
    for (const auto& f : fields) {
      state.tags.push_back(MakeTag(f[0]));
      TagRecord& tag = state.tags.back();
      platform::CopyToArray(tag.description, Gbk(f[1]));
      platform::CopyToArray(tag.registerText, Gbk(f[2]));
      platform::CopyToArray(tag.deviceName, Gbk(f[3]));
      tag.flags = kTagExternal;
    }
    state.tags[3].flags = 0;  // internal: the tag list shows no register and no device
    ProjListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.Rebuild(ListMode::kTags, &state, 0);
    QItemSelectionModel selection(&model);
    selection.select(model.index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    auto shown = [&](const char* filter) {
      model.SetFilter(QString::fromUtf8(filter));
      return LeadingTexts(model);
    };
    const QString add = QStringLiteral("新建变量...");
    QCOMPARE(shown("泵站"), (QStringList{"Pump1", "TEMP", add}));  // device
    QVERIFY(selection.isRowSelected(1));             // "TEMP" kept its selection on its new row
    QCOMPARE(shown("泵站plc温"), QStringList{add});  // no match across two fields
    QCOMPARE(shown(""), (QStringList{"Pump1", "Valve", "TEMP", "inner", add}));
    QCOMPARE(shown("pump"), (QStringList{"Pump1", add}));  // any letter case
    QCOMPARE(shown("出水"), (QStringList{"Valve", add}));  // description
    QCOMPARE(shown("vw1"), (QStringList{"Pump1", add}));   // register (not the internal tag's)

    // Kept across rebuilds (the live values show every register) and edits in place.
    model.SetFilter(QStringLiteral("VW"));
    model.Rebuild(ListMode::kLiveValues, &state, 0);
    QCOMPARE(LeadingTexts(model), (QStringList{"Pump1", "Valve", "inner"}));
    platform::CopyToArray(state.tags[1].registerText, "MW2");
    model.NotifyRowChanged(1);
    QCOMPARE(LeadingTexts(model), (QStringList{"Pump1", "inner"}));
    QCOMPARE(model.RecordCount(), 4);
  }
};

QTEST_MAIN(TestProjListModel)
#include "tst_proj_list_model.moc"

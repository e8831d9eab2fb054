#include "plugins/tageditor/tag_edit_dlg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "platform/gbk.h"
#include "plugins/tageditor/numeric_edit.h"
#include "common/tag_values.h"

namespace talvek::tageditor {

namespace {

// registerIndex is 16 bits wide: entries past this many could never be stored as an index.
constexpr int32_t kMaxRegisters = 65536;

QString Utf8(const char* text) {
  return QString::fromUtf8(text);
}

// Selects the first item that begins with `text` (case-insensitive), searching from the item
// after `start` and wrapping round; no selection when none does.
void SelectByPrefix(QComboBox* combo, const QString& text, int start) {
  const int n = combo->count();
  for (int k = 1; k <= n; ++k) {
    const int i = (start + k) % n;
    if (combo->itemText(i).startsWith(text, Qt::CaseInsensitive)) {
      combo->setCurrentIndex(i);
      return;
    }
  }
  combo->setCurrentIndex(-1);
}

// Count of integer digits in a plain decimal text ("-123.45" -> 3).
int IntegerDigitCount(const QString& text) {
  int digits = 0;
  for (QChar ch : text) {
    if (ch == u'.')
      break;
    if (ch.isDigit())
      ++digits;
  }
  return digits;
}

// Shows `v` in `edit`, rounded to the entry's decimals. An entry too narrow for the value is
// widened to fit it, so a stored value is never cut to its leading digits.
void SetEntryValue(NumericEdit* edit, double v) {
  if (!std::isfinite(v))
    v = 0;
  char text[400];
  std::snprintf(text, sizeof text, "%.*f", edit->Decimals(), v);
  const QString value = QString::fromLatin1(text);
  const int digits = IntegerDigitCount(value);
  if (edit->IntegerDigits() > 0 && digits > edit->IntegerDigits())
    edit->SetIntegerDigits(digits);
  edit->setValueText(value);
}

// Gives `edit` a new layout. With `keepValue`, the entry keeps room for the integer digits of
// the value it holds, so a change of layout never cuts a value to its leading digits.
void ApplyLayout(NumericEdit* edit, EntryLayout layout, bool keepValue) {
  int digits = layout.integerDigits;
  if (keepValue && digits > 0)
    digits = std::max(digits, IntegerDigitCount(edit->valueText()));
  edit->SetIntegerDigits(digits);
  edit->SetDecimals(layout.decimals);
}

}  // namespace

// --- TagPropertyPage ------------------------------------------------------------------------

TagPropertyPage::TagPropertyPage(TagEditSession& session, QWidget* parent)
    : QWidget(parent), session_(session) {
  BuildControls();
  // Reactions follow the user's choices only ("activated"), never the page's own selections.
  connect(varType_, &QComboBox::activated, this, &TagPropertyPage::OnVarTypeChosen);
  connect(device_, &QComboBox::activated, this, &TagPropertyPage::OnDeviceChosen);
  connect(register_, &QComboBox::activated, this, &TagPropertyPage::OnRegisterChosen);
  connect(dataType_, &QComboBox::activated, this, &TagPropertyPage::OnDataTypeChosen);
}

void TagPropertyPage::BuildControls() {
  auto label = [this](const char* text) { return new QLabel(Utf8(text), this); };
  auto entry = [this](const char* objectName, TagField field) {
    auto* edit = new NumericEdit(this);
    edit->setObjectName(QString::fromLatin1(objectName));
    edit->setAccessibleName(Utf8(TagFieldName(field)));
    return edit;
  };

  name_ = new QLineEdit(this);
  name_->setObjectName(QStringLiteral("nameEdit"));
  name_->setAccessibleName(Utf8(TagFieldName(TagField::kName)));
  description_ = new QLineEdit(this);
  description_->setObjectName(QStringLiteral("descriptionEdit"));
  description_->setAccessibleName(Utf8(TagFieldName(TagField::kDescription)));
  varType_ = new QComboBox(this);
  varType_->setObjectName(QStringLiteral("varTypeCombo"));
  varType_->setAccessibleName(Utf8("变量类型"));

  // Whether a tag is internal or external is the caller's choice (flag bit 4): the two radios
  // carry it but are never shown.
  internal_ = new QRadioButton(Utf8("内部"), this);
  internal_->setObjectName(QStringLiteral("internalRadio"));
  external_ = new QRadioButton(Utf8("外部"), this);
  external_->setObjectName(QStringLiteral("externalRadio"));
  placeGroup_ = new QButtonGroup(this);
  placeGroup_->addButton(internal_);
  placeGroup_->addButton(external_);

  min_ = entry("minEdit", TagField::kMin);
  max_ = entry("maxEdit", TagField::kMax);
  deadband_ = entry("deadbandEdit", TagField::kDeadband);
  initial_ = entry("initialEdit", TagField::kInitial);
  deadbandLabel_ = label("死区值");
  initialLabel_ = label("初始化值");

  group_ = new QGroupBox(Utf8("工程数据"), this);
  group_->setObjectName(QStringLiteral("deviceGroup"));
  device_ = new QComboBox(group_);
  device_->setObjectName(QStringLiteral("deviceCombo"));
  device_->setAccessibleName(Utf8("连接设备"));
  register_ = new QComboBox(group_);
  register_->setObjectName(QStringLiteral("registerCombo"));
  register_->setAccessibleName(Utf8(TagFieldName(TagField::kRegister)));
  register_->setEditable(true);
  // The typed text is the register: never add it to the list, and never complete it (drivers
  // tell "v100" from "V100").
  register_->setInsertPolicy(QComboBox::NoInsert);
  register_->setCompleter(nullptr);
  register_->setMaxVisibleItems(20);
  dataType_ = new QComboBox(group_);
  dataType_->setObjectName(QStringLiteral("dataTypeCombo"));
  dataType_->setAccessibleName(Utf8("数据类型"));
  scanPeriodLabel_ = new QLabel(Utf8("采集频率："), group_);
  scanPeriod_ = new QLineEdit(group_);
  scanPeriod_->setObjectName(QStringLiteral("scanPeriodEdit"));
  scanPeriod_->setAccessibleName(Utf8(TagFieldName(TagField::kScanPeriod)));
  scanPeriodUnit_ = new QLabel(Utf8("毫秒"), group_);
  rawMin_ = entry("rawMinEdit", TagField::kRawMin);
  rawMax_ = entry("rawMaxEdit", TagField::kRawMax);
  rawMin_->setParent(group_);
  rawMax_->setParent(group_);
  accessLabel_ = new QLabel(Utf8("读写属性："), group_);
  readWrite_ = new QRadioButton(Utf8("读写"), group_);
  readWrite_->setObjectName(QStringLiteral("readWriteRadio"));
  readOnly_ = new QRadioButton(Utf8("只读"), group_);
  readOnly_->setObjectName(QStringLiteral("readOnlyRadio"));
  writeOnly_ = new QRadioButton(Utf8("只写"), group_);
  writeOnly_->setObjectName(QStringLiteral("writeOnlyRadio"));
  userTriggered_ = new QCheckBox(Utf8("读操作由用户触发"), group_);
  userTriggered_->setObjectName(QStringLiteral("userTriggeredCheck"));

  auto* page = new QGridLayout(this);
  page->addWidget(label("变量名称："), 0, 0);
  page->addWidget(name_, 0, 1, 1, 3);
  page->addWidget(label("变量描述："), 1, 0);
  page->addWidget(description_, 1, 1, 1, 3);
  page->addWidget(label("变量类型："), 2, 0);
  page->addWidget(varType_, 2, 1);
  page->addWidget(internal_, 2, 2);
  page->addWidget(external_, 2, 3);
  page->addWidget(label("最小值"), 3, 0);
  page->addWidget(min_, 3, 1);
  page->addWidget(label("最大值"), 3, 2);
  page->addWidget(max_, 3, 3);
  page->addWidget(deadbandLabel_, 4, 0);
  page->addWidget(deadband_, 4, 1);
  page->addWidget(initialLabel_, 4, 2);
  page->addWidget(initial_, 4, 3);
  page->addWidget(group_, 5, 0, 1, 4);
  page->setRowStretch(6, 1);
  page->setColumnStretch(1, 1);
  page->setColumnStretch(3, 1);

  auto* grid = new QGridLayout(group_);
  grid->addWidget(new QLabel(Utf8("连接设备："), group_), 0, 0);
  grid->addWidget(device_, 0, 1, 1, 3);
  grid->addWidget(new QLabel(Utf8("寄存器："), group_), 1, 0);
  grid->addWidget(register_, 1, 1, 1, 3);
  grid->addWidget(new QLabel(Utf8("数据类型："), group_), 2, 0);
  grid->addWidget(dataType_, 2, 1, 1, 3);
  grid->addWidget(scanPeriodLabel_, 3, 0);
  grid->addWidget(scanPeriod_, 3, 1);
  grid->addWidget(scanPeriodUnit_, 3, 2);
  grid->addWidget(new QLabel(Utf8("最小原始值"), group_), 4, 0);
  grid->addWidget(rawMin_, 4, 1);
  grid->addWidget(new QLabel(Utf8("最大原始值"), group_), 4, 2);
  grid->addWidget(rawMax_, 4, 3);
  auto* access = new QHBoxLayout;
  access->addWidget(accessLabel_);
  access->addWidget(readWrite_);
  access->addWidget(readOnly_);
  access->addWidget(writeOnly_);
  access->addWidget(userTriggered_);
  grid->addLayout(access, 5, 0, 1, 4);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);

  // Part of the page but never shown.
  for (QWidget* hidden : std::initializer_list<QWidget*>{
           internal_, external_, deadbandLabel_, deadband_, initialLabel_, initial_,
           scanPeriodLabel_, scanPeriod_, scanPeriodUnit_, accessLabel_, readWrite_, readOnly_,
           writeOnly_, userTriggered_}) {
    hidden->setVisible(false);
  }
}

void TagPropertyPage::FillVarTypes() {
  varType_->clear();
  for (const char* name : kVarTypeNames)
    varType_->addItem(Utf8(name));
}

void TagPropertyPage::FillDataTypes() {
  dataType_->clear();
  for (int i = 0; i < kRawTypeCount; ++i)
    dataType_->addItem(Utf8(kRawTypeNames[i]), i);
  dataType_->setCurrentIndex(-1);  // a refilled list has no selection
}

void TagPropertyPage::EnableExternalGroup(bool external) {
  for (QWidget* w : std::initializer_list<QWidget*>{dataType_, register_, device_, scanPeriod_,
                                                    readWrite_, readOnly_, writeOnly_}) {
    w->setEnabled(external);
  }
}

void TagPropertyPage::EnableByVarType(int varType, bool external) {
  if (varType == kVarDiscrete || varType == kVarString) {
    min_->setEnabled(false);
    max_->setEnabled(false);
    deadband_->setEnabled(false);
  } else if (varType == kVarInteger || varType == kVarFloat) {
    min_->setEnabled(true);
    max_->setEnabled(true);
    deadband_->setEnabled(true);
    const EntryLayout layout = EngineeringLayout(varType);
    for (NumericEdit* e : {min_, max_, initial_, deadband_})
      ApplyLayout(e, layout, true);
  }
  EnableExternalGroup(external);
}

void TagPropertyPage::EnableByDataType(int rawType, bool external) {
  if (rawType == kRawBit) {
    rawMin_->setEnabled(false);
    rawMax_->setEnabled(false);
  } else if (rawType >= kRawByte && rawType <= kRawFloat) {
    rawMin_->setEnabled(true);
    rawMax_->setEnabled(true);
    const EntryLayout layout = RawLayout(rawType);
    ApplyLayout(rawMin_, layout, false);
    ApplyLayout(rawMax_, layout, false);
  }
  EnableExternalGroup(external);
}

bool TagPropertyPage::IsExternal() const {
  return external_->isChecked();
}

int TagPropertyPage::SelectedRawType() const {
  const int index = dataType_->currentIndex();
  return index < 0 ? -1 : dataType_->itemData(index).toInt();
}

void TagPropertyPage::OnInitDialog() {
  const TagRecord& record = *session_.tag;
  const bool external = (record.flags & kTagExternal) != 0;

  internal_->setChecked(true);
  FillVarTypes();
  varType_->setCurrentIndex(0);
  FillDataTypes();
  // The tag's data type is shown even when no register list follows (the device is missing or
  // its driver cannot be made), so OK does not ask for a type the record already has.
  SelectRecordDataType();

  EnableByVarType(record.varType, external);
  EnableByDataType(record.rawType, external);

  values_.name = GbkToQString(platform::ArrayText(record.name));
  values_.description = GbkToQString(platform::ArrayText(record.description));
  (external ? external_ : internal_)->setChecked(true);

  if (record.varType == kVarInteger || record.varType == kVarFloat) {
    const bool isFloat = record.varType == kVarFloat;
    auto read = [isFloat](int32_t word) {
      return isFloat ? static_cast<double>(WordToFloat(word)) : static_cast<double>(word);
    };
    values_.max = read(record.engMax);
    values_.min = read(record.engMin);
    values_.deadband = read(record.deadband);
    values_.initial = read(record.initialValue);
    if (external && record.rawType >= kRawByte && record.rawType <= kRawFloat) {
      values_.rawMax = RawWordToDouble(record.rawMax, record.rawType);
      values_.rawMin = RawWordToDouble(record.rawMin, record.rawType);
    }
  }

  varType_->setCurrentIndex(record.varType >= 0 && record.varType < kVarTypeCount ? record.varType
                                                                                  : -1);

  if (external) {
    QStringList names;
    int match = -1;
    const std::string_view stored = platform::ArrayText(record.deviceName);
    const auto devices = session_.Devices();
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const std::string_view name = platform::ArrayText(devices[i].logicalName);
      names << GbkToQString(name);
      // Tags meet their device by the exact name, as the runtime matches them; a prefix match
      // would bind the tag to another device ("PLC" to "PLC10").
      if (match < 0 && name == stored)
        match = static_cast<int>(i);
    }
    device_->addItems(names);
    device_->setCurrentIndex(match);
    values_.registerText = GbkToQString(platform::ArrayText(record.registerText));
    values_.scanPeriod = record.scanPeriodMs;
    if (match >= 0 &&
        session_.LoadDriver(platform::ArrayText(devices[match].descriptor.model), window())) {
      FillRegisterList();
    }
  }
  // The controls are loaded even when the tag's device is missing, so that OK never writes
  // empty entries over the record's name, description and ranges.
  LoadControls();
}

void TagPropertyPage::FillRegisterList() {
  register_->clear();
  dataType_->clear();
  registers_.clear();

  const AddressArea* table = nullptr;
  int32_t count = 0;
  const BOOL ok = session_.driver->GetRegisters(session_.driverModel.c_str(), &table, &count);
  // A list the page cannot walk counts as a failure, whatever the answer said.
  if (ok != 1 || count < 0 || (count > 0 && table == nullptr)) {
    Trace("GetRegisters 返回错误\r\n");
  } else {
    Trace("GetRegisters 返回正确\r\n");
    count = std::min(count, kMaxRegisters);
    registers_.reserve(static_cast<std::size_t>(count));
    QStringList items;
    items.reserve(count);
    for (int32_t i = 0; i < count; ++i) {
      const AddressArea& area = table[i];
      registers_.emplace_back(area.name, strnlen(area.name, sizeof area.name));
      items << GbkToQString(registers_.back());
    }
    register_->addItems(items);
    std::string registerGbk;
    const int match = QStringToGbk(values_.registerText, registerGbk)
                          ? FindRegisterIndex(registers_, registerGbk)
                          : -1;
    register_->setCurrentIndex(match);
  }

  // The data types are the editor's own, not the driver's: they are listed even when the driver
  // lists no registers, so that the tag can still be given a type and confirmed.
  FillDataTypes();
  SelectRecordDataType();
}

void TagPropertyPage::SelectRecordDataType() {
  const int rawType = session_.tag->rawType;
  if (rawType >= 0 && rawType < kRawTypeCount)
    SelectByPrefix(dataType_, Utf8(kRawTypeNames[rawType]), 0);
}

void TagPropertyPage::LoadControls() {
  name_->setText(values_.name);
  description_->setText(values_.description);
  SetEntryValue(max_, values_.max);
  SetEntryValue(min_, values_.min);
  SetEntryValue(deadband_, values_.deadband);
  SetEntryValue(initial_, values_.initial);
  SetEntryValue(rawMax_, values_.rawMax);
  SetEntryValue(rawMin_, values_.rawMin);
  scanPeriod_->setText(QString::number(values_.scanPeriod));
  register_->setEditText(values_.registerText);
}

void TagPropertyPage::OnVarTypeChosen(int index) {
  EnableByVarType(index, external_->isChecked());
}

void TagPropertyPage::OnDeviceChosen(int index) {
  const auto devices = session_.Devices();
  if (index < 0 || static_cast<std::size_t>(index) >= devices.size())
    return;
  session_.ReleaseDriver();
  if (session_.LoadDriver(platform::ArrayText(devices[index].descriptor.model), window()))
    FillRegisterList();
}

void TagPropertyPage::OnRegisterChosen(int) {
  FillDataTypes();
}

void TagPropertyPage::OnDataTypeChosen(int index) {
  const int rawType = dataType_->itemData(index).toInt();
  // The layout comes first: the default text must not be cut to the previous type's digits
  // ("2147483647" in a 3-digit byte entry would keep "214").
  EnableByDataType(rawType, true);
  if (const char* text = RawDefaultMaxText(rawType)) {
    rawMax_->setValueText(QString::fromLatin1(text));
    rawMin_->setValueText(QStringLiteral("0"));
  }
}

bool TagPropertyPage::Fail(QWidget* control, const QString& text) {
  ShowMessage(window(), text);
  if (control->isHidden())
    return false;  // a control that is never shown cannot take the focus
  control->setFocus(Qt::OtherFocusReason);
  if (auto* edit = qobject_cast<QLineEdit*>(control);
      edit != nullptr && !qobject_cast<NumericEdit*>(edit))
    edit->selectAll();
  return false;
}

QWidget* TagPropertyPage::Control(TagField field) const {
  switch (field) {
    case TagField::kName:
      return name_;
    case TagField::kDescription:
      return description_;
    case TagField::kVarType:
      return varType_;
    case TagField::kMin:
      return min_;
    case TagField::kMax:
      return max_;
    case TagField::kDeadband:
      return deadband_;
    case TagField::kInitial:
      return initial_;
    case TagField::kScanPeriod:
      return scanPeriod_;
    case TagField::kDevice:
      return device_;
    case TagField::kRegister:
      return register_;
    case TagField::kDataType:
      return dataType_;
    case TagField::kRawMin:
      return rawMin_;
    case TagField::kRawMax:
      return rawMax_;
  }
  return name_;
}

bool TagPropertyPage::ReadControls(CheckedTag& out) {
  TagEntries entries;
  entries.name = name_->text();
  entries.description = description_->text();
  entries.varType = varType_->currentIndex();
  entries.min = min_->valueText();
  entries.max = max_->valueText();
  entries.deadband = deadband_->valueText();
  entries.initial = initial_->valueText();
  entries.scanPeriod = scanPeriod_->text();
  entries.external = IsExternal();
  entries.device = device_->currentIndex();
  entries.registerText = register_->currentText();
  entries.rawType = SelectedRawType();
  entries.rawMin = rawMin_->valueText();
  entries.rawMax = rawMax_->valueText();
  TagEntriesCheck check = CheckTagEntries(entries, session_.Devices());
  if (!check.ok)
    return Fail(Control(check.field), check.message);
  out = std::move(check.tag);
  return true;
}

bool TagPropertyPage::CheckWithDriver(const std::string& registerGbk, int rawType) {
  TagAddressInput in{};
  platform::CopyToArray(in.model, session_.driverModel);
  platform::CopyToArray(in.address, registerGbk);
  in.dataType = static_cast<int16_t>(DataTypeFlagOf(rawType));
  in.extra = 0;
  DriverItem out{};
  const uint16_t result = session_.driver->ConvertUserConfigToVar(&in, &out);
  if (result != 0) {
    Trace("ConvertUserConfigToVar 返回错误\r\n");
    // Not the held object's last error: it may be left from an earlier register.
    const std::string text = session_.RefusalText(in);
    // A driver may refuse without a text of its own (an unknown area prefix): say what was
    // refused rather than show an empty box or an earlier register's text.
    const QString message = !text.empty()
                                ? GbkToQString(text)
                                : Utf8("驱动程序不接受寄存器“%1”与数据类型“%2”的组合。")
                                      .arg(GbkToQString(registerGbk), Utf8(kRawTypeNames[rawType]));
    return Fail(register_, message);
  }
  Trace("ConvertUserConfigToVar 返回正确\r\n");
  return true;
}

bool TagPropertyPage::OnOK() {
  CheckedTag v;
  if (!ReadControls(v))
    return false;

  const std::string& name = v.name;
  if (session_.tags != nullptr) {
    for (const TagRecord& other : *session_.tags) {
      if (&other != session_.tag && platform::ArrayText(other.name) == name)
        return Fail(name_, Utf8("与现存变量重名!"));
    }
  }

  TagRecord work;
  std::memcpy(&work, session_.tag, sizeof work);
  platform::CopyToArray(work.name, name);
  work.flags = v.external ? (work.flags | kTagExternal) : (work.flags & ~kTagExternal);
  work.varType = v.varType;
  platform::CopyToArray(work.description, v.description);

  if (v.external) {
    const auto devices = session_.Devices();
    // The driver could not be made when the device was chosen: try again, by the chosen
    // device's model.
    if (!session_.driver &&
        !session_.LoadDriver(platform::ArrayText(devices[v.device].descriptor.model), window())) {
      return false;
    }
    const int index = FindRegisterIndex(registers_, v.registerText);
    if (!CheckWithDriver(v.registerText, v.rawType))
      return false;

    platform::CopyToArray(work.driverModel, session_.driverModel);
    work.rawType = v.rawType;
    platform::CopyToArray(work.deviceName, platform::ArrayText(devices[v.device].logicalName));
    platform::CopyToArray(work.registerText, v.registerText);
    work.registerIndex = static_cast<uint16_t>(std::max(index, 0));
    work.scanPeriodMs = v.scanPeriodMs;

    const bool consistent = v.varType == kVarDiscrete ? v.rawType == kRawBit
                            : v.varType == kVarString ? v.rawType == kRawString
                                                      : v.rawType != kRawString;
    if (!consistent)
      return Fail(dataType_, Utf8("变量数据类型不一致!"));
  }

  if (v.varType == kVarInteger || v.varType == kVarFloat) {
    work.initialValue = EngineeringWord(v.initial, v.varType);
    work.engMin = EngineeringWord(v.min, v.varType);
    work.engMax = EngineeringWord(v.max, v.varType);
    work.deadband = EngineeringWord(v.deadband, v.varType);
    if (v.external && v.rawType >= kRawByte && v.rawType <= kRawFloat) {
      StoreRaw(work.rawMax, v.rawType, v.rawMax);
      StoreRaw(work.rawMin, v.rawType, v.rawMin);
    }
  }

  std::memcpy(session_.tag, &work, sizeof work);
  return true;
}

// --- TagEditDlg -----------------------------------------------------------------------------

TagEditDlg::TagEditDlg(TagEditSession& session, QWidget* parent) : QDialog(parent) {
  setWindowTitle(Utf8(kCaption));
  QFont dialogFont = font();
  dialogFont.setFamilies({Utf8("宋体"), QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                          QStringLiteral("WenQuanYi Micro Hei"),
                          QStringLiteral("Noto Sans CJK SC")});
  dialogFont.setPointSize(10);
  setFont(dialogFont);

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("tabs"));
  page_ = new TagPropertyPage(session, tabs_);
  page_->setObjectName(QStringLiteral("page"));
  tabs_->addTab(page_, Utf8("  配置   "));

  ok_ = new QPushButton(Utf8("确定"), this);
  ok_->setObjectName(QStringLiteral("okButton"));
  ok_->setDefault(true);
  cancel_ = new QPushButton(Utf8("取消"), this);
  cancel_->setObjectName(QStringLiteral("cancelButton"));
  // Two page buttons that belong to the layout but are never shown and do nothing.
  auto* next = new QPushButton(QStringLiteral("next"), this);
  next->setObjectName(QStringLiteral("nextButton"));
  next->setVisible(false);
  auto* prev = new QPushButton(QStringLiteral("prev"), this);
  prev->setObjectName(QStringLiteral("prevButton"));
  prev->setVisible(false);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(prev);
  buttons->addWidget(next);
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addLayout(buttons);

  connect(ok_, &QPushButton::clicked, this, &TagEditDlg::accept);
  connect(cancel_, &QPushButton::clicked, this, &TagEditDlg::reject);

  page_->OnInitDialog();
}

void TagEditDlg::accept() {
  if (page_->OnOK())
    QDialog::accept();
}

}  // namespace talvek::tageditor

#include "workbench/ui/serial_settings_dlg.h"

#include <cstdio>
#include <cstring>

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "platform/registry.h"
#include "platform/serial_net.h"
#include "platform/serial_port.h"
#include "workbench/project/message_sink.h"
#include "workbench/ui/dialog_buttons.h"

namespace talvek {
namespace {

QString Decimal(long value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%ld", value);
  return QString::fromLatin1(buf);
}

// Reads a whole decimal number 0..65535 (blanks around it allowed); false for anything else.
bool ParseUInt16(const QString& text, uint16_t& out) {
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty())
    return false;
  long value = 0;
  for (QChar c : trimmed) {
    if (c < u'0' || c > u'9')
      return false;
    value = value * 10 + (c.unicode() - u'0');
    if (value > 65535)
      return false;
  }
  out = static_cast<uint16_t>(value);
  return true;
}

// Checks exactly one of a pair of exclusive buttons, or neither.
void CheckOne(QButtonGroup* group, QRadioButton* first, QRadioButton* second, bool checkFirst,
              bool checkSecond) {
  // An exclusive group refuses to uncheck its checked button, so lift exclusivity meanwhile.
  group->setExclusive(false);
  first->setChecked(checkFirst);
  second->setChecked(checkSecond && !checkFirst);
  group->setExclusive(true);
}

QRadioButton* AddRadio(const char* text, const char* name, QWidget* parent) {
  auto* radio = new QRadioButton(QString::fromUtf8(text), parent);
  radio->setObjectName(QString::fromLatin1(name));
  return radio;
}

QLabel* AddLabel(const char* text, const char* name, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

// Puts a label and a new combo box named `name` holding `items` on `row` of `grid`.
QComboBox* AddComboRow(QGridLayout* grid, int row, const char* label, const char* labelName,
                       const char* name, const QStringList& items, QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(QString::fromLatin1(name));
  combo->addItems(items);
  grid->addWidget(AddLabel(label, labelName, parent), row, 0);
  grid->addWidget(combo, row, 1, 1, 3);
  return combo;
}

// Puts a label and the two radio buttons of a pair on `row` of `grid`, the buttons in an
// exclusive button group of their own (owned by `owner`), which it returns.
QButtonGroup* AddRadioPairRow(QGridLayout* grid, int row, const char* label, const char* labelName,
                              QRadioButton* first, QRadioButton* second, QObject* owner) {
  auto* group = new QButtonGroup(owner);
  group->addButton(first);
  group->addButton(second);
  grid->addWidget(AddLabel(label, labelName, first->parentWidget()), row, 0);
  grid->addWidget(first, row, 1);
  grid->addWidget(second, row, 2);
  return group;
}

// "Com<n>" (n = 1..256, any case) as "Com<n>"; empty for any other name.
QString ComNameOf(const CommSettings& settings) {
  const QString name = QString::fromLatin1(
      settings.portName,
      static_cast<qsizetype>(strnlen(settings.portName, sizeof settings.portName)));
  static const QRegularExpression pattern(QStringLiteral("^[Cc][Oo][Mm]([1-9][0-9]{0,2})$"));
  const QRegularExpressionMatch match = pattern.match(name);
  if (!match.hasMatch() || match.captured(1).toInt() > 256)
    return {};
  return QStringLiteral("Com") + match.captured(1);
}

}  // namespace

QString CSerialSettingsDlg::DeviceTextProblem(const QString& text) {
  const QString t = text.trimmed();
  if (t.isEmpty())
    return {};
  for (QChar c : t) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F)
      return QStringLiteral("设备不能包含控制字符。");
  }
  const std::string utf8 = t.toStdString();
  platform::NetAddress address;
  const QString format =
      QStringLiteral("串口服务器的地址写作 tcp://主机:端口 或 rfc2217://主机:端口。");
  switch (platform::ParseNetAddress(utf8, &address)) {
    case platform::NetAddressError::kOk:
      return {};
    case platform::NetAddressError::kNoHost:
      return QStringLiteral("“%1”缺少主机名。").arg(t) + format;
    case platform::NetAddressError::kNoPort:
      return QStringLiteral("“%1”缺少端口号。").arg(t) + format;
    case platform::NetAddressError::kBadPort:
      return QStringLiteral("“%1”的端口号必须是 1 到 65535 之间的整数。").arg(t) + format;
    case platform::NetAddressError::kBadHost:
      return QStringLiteral("“%1”的主机名无效（不能含空格、/ 等字符，IPv6 地址须写在 [ ] 中）。")
                 .arg(t) +
             format;
    case platform::NetAddressError::kNotNet:
      break;
  }
  if (t.contains(QStringLiteral("://")))
    return QStringLiteral("不认识的地址“%1”。").arg(t) + format;
  if (!t.startsWith(u'/'))
    return QStringLiteral("设备路径“%1”必须是以 / 开头的完整路径，例如 /dev/ttyUSB0。").arg(t);
  return {};
}

void CSerialSettingsDlg::SetDeviceRoot(const std::string& root) {
  deviceRoot_ = root;
  LoadDevice();
}

void CSerialSettingsDlg::LoadDevice() {
  comName_ = ComNameOf(settings_);
  loadedDevice_.clear();
  deviceCombo_->clear();
  if (comName_.isEmpty()) {
    // A port named by a path means that path; there is nothing to map.
    deviceLabel_->setText(QStringLiteral("设备:"));
    deviceCombo_->setEditText(QString::fromLocal8Bit(
        settings_.portName,
        static_cast<qsizetype>(strnlen(settings_.portName, sizeof settings_.portName))));
    deviceCombo_->setEnabled(false);
    return;
  }
  deviceLabel_->setText(comName_ + QStringLiteral(" 对应:"));
  deviceCombo_->setEnabled(true);
  for (const platform::SerialPortEntry& entry : platform::ListSerialPorts(deviceRoot_)) {
    deviceCombo_->addItem(QString::fromStdString(entry.path));
    QString tip = QString::fromStdString(entry.device);
    if (!entry.driver.empty())
      tip +=
          QStringLiteral("（驱动 ") + QString::fromStdString(entry.driver) + QStringLiteral("）");
    deviceCombo_->setItemData(deviceCombo_->count() - 1, tip, Qt::ToolTipRole);
  }
  const std::optional<std::string> mapped =
      platform::Registry::Instance().GetString(platform::kSerialPortsKey, comName_.toStdString());
  if (mapped)
    loadedDevice_ = QString::fromStdString(*mapped);
  deviceCombo_->setCurrentIndex(-1);
  deviceCombo_->setEditText(loadedDevice_);
  deviceCombo_->lineEdit()->setPlaceholderText(
      QStringLiteral("默认 /dev/ttyS%1").arg(comName_.mid(3).toInt() - 1));
}

QStringList CSerialSettingsDlg::BaudRateTexts() {
  return {"110",   "300",   "600",   "1200",  "2400",  "4800",   "9600",   "14400", "19200",
          "28800", "33600", "38400", "56000", "57600", "115200", "128000", "256000"};
}

QStringList CSerialSettingsDlg::ParityTexts() {
  // Index order of the stored codes: none, odd, even, mark, space.
  return {QStringLiteral("无校验"), QStringLiteral("奇校验"), QStringLiteral("偶校验"),
          QStringLiteral("标志校验"), QStringLiteral("空格校验")};
}

CSerialSettingsDlg::CSerialSettingsDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("串口设置"));

  auto* group = new QGroupBox(QStringLiteral("通讯参数"), this);
  group->setObjectName(QStringLiteral("commGroup"));
  auto* grid = new QGridLayout(group);
  // The device field above may make the dialog wider than these rows need: the room goes to an
  // empty last column, so each radio button keeps its own width (a click beside its text is not
  // a click on it).
  grid->setColumnStretch(4, 1);

  baudCombo_ = AddComboRow(grid, 0, "波特率:", "baudLabel", "baudCombo", BaudRateTexts(), group);

  // Each pair gets its own button group: radio buttons that merely share a parent would all be
  // exclusive with one another, and checking "7" would clear "1".
  dataBits7_ = AddRadio("7", "dataBits7Radio", group);
  dataBits8_ = AddRadio("8", "dataBits8Radio", group);
  dataBitsGroup_ =
      AddRadioPairRow(grid, 1, "数据位:", "dataBitsLabel", dataBits7_, dataBits8_, this);

  parityCombo_ =
      AddComboRow(grid, 2, "奇偶校验:", "parityLabel", "parityCombo", ParityTexts(), group);

  stopBits1_ = AddRadio("1", "stopBits1Radio", group);
  stopBits2_ = AddRadio("2", "stopBits2Radio", group);
  stopBitsGroup_ =
      AddRadioPairRow(grid, 3, "停止位:", "stopBitsLabel", stopBits1_, stopBits2_, this);

  timeoutEdit_ = new QLineEdit(group);
  timeoutEdit_->setObjectName(QStringLiteral("timeoutEdit"));
  grid->addWidget(AddLabel("通信超时:", "timeoutLabel", group), 4, 0);
  grid->addWidget(timeoutEdit_, 4, 1, 1, 2);
  grid->addWidget(AddLabel("毫秒", "timeoutUnitLabel", group), 4, 3);

  // The link kind is fixed to the serial line: these controls exist but are never shown.
  QLabel* linkLabel = AddLabel("通信方式:", "linkKindLabel", group);
  QRadioButton* rs232 = AddRadio("RS232", "rs232Radio", group);
  QRadioButton* rs422 = AddRadio("RS422", "rs422Radio", group);
  QRadioButton* rs485 = AddRadio("RS485", "rs485Radio", group);
  auto* linkGroup = new QButtonGroup(this);
  for (QWidget* w : {static_cast<QWidget*>(linkLabel), static_cast<QWidget*>(rs232),
                     static_cast<QWidget*>(rs422), static_cast<QWidget*>(rs485)}) {
    w->setVisible(false);
  }
  linkGroup->addButton(rs232);
  linkGroup->addButton(rs422);
  linkGroup->addButton(rs485);
  grid->addWidget(linkLabel, 5, 0);
  grid->addWidget(rs232, 5, 1);
  grid->addWidget(rs422, 5, 2);
  grid->addWidget(rs485, 5, 3);

  // Which device the port means on this machine.
  auto* portGroup = new QGroupBox(QStringLiteral("端口"), this);
  portGroup->setObjectName(QStringLiteral("portGroup"));
  auto* portGrid = new QGridLayout(portGroup);
  deviceLabel_ = AddLabel("设备:", "deviceLabel", portGroup);
  deviceCombo_ = new QComboBox(portGroup);
  deviceCombo_->setObjectName(QStringLiteral("deviceCombo"));
  deviceCombo_->setEditable(true);
  deviceCombo_->setInsertPolicy(QComboBox::NoInsert);
  deviceCombo_->setMinimumContentsLength(28);
  deviceCombo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  QLabel* hint = AddLabel(
      "可选本机串口，或输入设备路径、串口服务器地址\n（tcp://主机:端口 或 rfc2217://主机:端口）；"
      "留空用默认设备。",
      "deviceHintLabel", portGroup);
  hint->setWordWrap(true);
  portGrid->addWidget(deviceLabel_, 0, 0);
  portGrid->addWidget(deviceCombo_, 0, 1);
  portGrid->addWidget(hint, 1, 0, 1, 2);

  QDialogButtonBox* buttons = AddDialogButtons(*this, DialogButtons::kOkCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(portGroup);
  layout->addWidget(group);
  layout->addWidget(buttons);

  SetSettings(settings_);
}

void CSerialSettingsDlg::SetSettings(const CommSettings& settings) {
  settings_ = settings;
  LoadDevice();
  baudCombo_->setCurrentIndex(baudCombo_->findText(Decimal(settings_.baudRate), Qt::MatchExactly));
  // An index past the list gives no selection.
  parityCombo_->setCurrentIndex(settings_.parity < parityCombo_->count() ? settings_.parity : -1);
  timeoutEdit_->setText(Decimal(settings_.timeoutMs));
  CheckOne(stopBitsGroup_, stopBits1_, stopBits2_, settings_.stopBits == 1,
           settings_.stopBits == 2);
  CheckOne(dataBitsGroup_, dataBits7_, dataBits8_, settings_.dataBits == 7,
           settings_.dataBits == 8);
}

void CSerialSettingsDlg::accept() {
  // Check first, so that a refused OK leaves the copy exactly as it was.
  uint16_t timeout = 0;
  if (!ParseUInt16(timeoutEdit_->text(), timeout)) {
    ShowMessage("通信超时必须是0到65535之间的整数(毫秒)。", {}, MessageButtons::kOk,
                MessageIcon::kWarning);
    timeoutEdit_->setFocus();
    timeoutEdit_->selectAll();
    return;
  }
  const QString device = deviceCombo_->currentText().trimmed();
  if (!comName_.isEmpty()) {
    if (const QString problem = DeviceTextProblem(device); !problem.isEmpty()) {
      ShowMessage(problem.toStdString(), {}, MessageButtons::kOk, MessageIcon::kWarning);
      deviceCombo_->setFocus();
      deviceCombo_->lineEdit()->selectAll();
      return;
    }
    // Written only when changed: OK on an unchanged dialog touches no file.
    if (device != loadedDevice_) {
      platform::Registry& registry = platform::Registry::Instance();
      const std::string name = comName_.toStdString();
      const bool saved = device.isEmpty() ? registry.DeleteValue(platform::kSerialPortsKey, name)
                                          : registry.SetString(platform::kSerialPortsKey, name,
                                                               device.toStdString());
      if (!saved) {
        ShowMessage("端口对应的设备未能保存到配置文件夹 " + registry.ConfigDir() + "。", {},
                    MessageButtons::kOk, MessageIcon::kError);
        return;
      }
      loadedDevice_ = device;
    }
  }
  // A rate the list does not offer (say 4000) shows no selection; storing 0 for it would leave
  // the port unusable, so the loaded rate stays. The same holds for an unknown parity code.
  if (baudCombo_->currentIndex() >= 0) {
    settings_.baudRate = baudCombo_->currentText().toInt();
  }
  if (parityCombo_->currentIndex() >= 0) {
    settings_.parity = static_cast<uint16_t>(parityCombo_->currentIndex());
  }
  settings_.timeoutMs = timeout;
  if (stopBits1_->isChecked())
    settings_.stopBits = 1;
  if (stopBits2_->isChecked())
    settings_.stopBits = 2;
  if (dataBits7_->isChecked())
    settings_.dataBits = 7;
  if (dataBits8_->isChecked())
    settings_.dataBits = 8;
  QDialog::accept();
}

bool EditSerialSettings(CommSettings& settings, QWidget* parent) {
  CSerialSettingsDlg dlg(parent);
  dlg.SetSettings(settings);
  if (dlg.exec() != QDialog::Accepted)
    return false;
  settings = dlg.Settings();
  return true;
}

}  // namespace talvek

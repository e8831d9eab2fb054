#include "plugins/devicewizard/device_pages.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include "common/message_hook.h"
#include "common/wizard/wizard_dlg.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "plugins/devicewizard/connection_test.h"
#include "plugins/devicewizard/device_checks.h"
#include "plugins/devicewizard/device_wizard.h"

namespace ondrel {

namespace {

// Every page has the same size, so the frame keeps one size through the steps.
constexpr int kPageWidth = 440;
constexpr int kPageHeight = 210;

constexpr int kPortCount = 128;
constexpr int kMaxNameChars = 64;

QLabel* WrappedLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

}  // namespace

// --- Session ---

WizardSession::~WizardSession() {
  driver_.Reset();
  if (comInitialised_) {
    platform::CoUninitialize();
  }
}

bool WizardSession::CreateDriver() {
  if (!comInitialised_) {
    platform::CoInitialize(nullptr);
    comInitialised_ = true;
  }
  platform::ComPtr<IProtocolDriver> fresh;
  const HRESULT hr =
      platform::CoCreateInstance(device_->descriptor.driverClsid, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IProtocolDriver, fresh.PutVoid());
  if (FAILED(hr))
    fresh.Reset();
  // One driver object at a time: the old one goes whether or not the new one came, since it
  // belongs to a model the record no longer names.
  driver_ = std::move(fresh);
  return static_cast<bool>(driver_);
}

void DevicePage::Message(const QString& text) {
  talvek::ShowMessageBox(window(), kWizardCaption, text);
}

// --- Step 0: model ---

void ModelPage::BuildUi() {
  resize(kPageWidth, kPageHeight);
  auto* layout = new QVBoxLayout(this);
  auto* heading = new QLabel(QStringLiteral("设备配置向导---生产厂家、设备名称、通讯方式"), this);
  heading->setObjectName(QString::fromLatin1(kHeadingName));
  heading->setFont(HeadingFont());
  layout->addWidget(heading);
  layout->addSpacing(12);

  models_ = new QComboBox(this);
  models_->setObjectName(QString::fromLatin1(kModelListName));
  catalogue_ = BuildCatalogue();
  for (int i = 0; i < kCatalogueSize; ++i) {
    models_->addItem(catalogue_.listTexts[i], i);
  }
  // The record's own model is preselected; a record that matches no entry starts with none.
  models_->setCurrentIndex(FindCatalogueEntry(catalogue_, Device()));
  layout->addWidget(models_);
  layout->addStretch(1);

  // Connected after the preselection: only a change of model rewrites the record's head.
  connect(models_, &QComboBox::currentIndexChanged, this, &ModelPage::OnSelectionChanged);
}

int ModelPage::OnCreated() {
  Wizard()->NextButton()->setEnabled(models_->currentIndex() >= 0);
  return 1;
}

void ModelPage::OnSelectionChanged(int index) {
  const bool selected = index >= 0 && index < kCatalogueSize;
  if (selected) {
    std::memcpy(&Device().descriptor, &catalogue_.entries[index], sizeof(DriverDescriptor));
  }
  if (WizardDlg* wizard = Wizard(); wizard != nullptr) {
    wizard->NextButton()->setEnabled(selected);
  }
}

int ModelPage::OnWizardNext() {
  if (!Session().CreateDriver()) {
    Message(kMsgDriverLoadFailed);
    return kStay;
  }
  return kNeighbour;
}

// --- Step 1: logical name ---

void NamePage::BuildUi() {
  resize(kPageWidth, kPageHeight);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(WrappedLabel(QStringLiteral("请给要安装的设备指定唯一的逻辑名称"), this));
  name_ = new QLineEdit(this);
  name_->setObjectName(QString::fromLatin1(kLogicalNameEditName));
  name_->setMaxLength(kMaxNameChars);
  layout->addWidget(name_);
  layout->addStretch(1);
}

void NamePage::OnRefresh() {
  name_->setText(DecodeGbk(platform::ArrayText(Device().logicalName)));
}

int NamePage::OnWizardNext() {
  std::string gbk;
  switch (EncodeLogicalName(name_->text(), gbk)) {
    case TextStatus::kNotGbk:
      Message(kMsgNameNotGbk);
      name_->setFocus();
      return kStay;
    case TextStatus::kTooLong:
      // Cutting the name would store a name the user never typed (and could cut a character).
      Message(kMsgNameTooLong);
      name_->setFocus();
      return kStay;
    case TextStatus::kOk:
      break;
  }
  if (LogicalNameTaken(Session().Devices(), Session().DevicePtr(), gbk)) {
    Message(kMsgNameTaken);
    return kStay;
  }
  platform::CopyToArray(Device().logicalName, gbk);
  return kNeighbour;
}

// --- Step 2: serial port ---

void PortPage::BuildUi() {
  resize(kPageWidth, kPageHeight);
  auto* layout = new QVBoxLayout(this);
  prompt_ = WrappedLabel(kSerialPortPrompt, this);
  prompt_->setObjectName(QString::fromLatin1(kPortPromptName));
  layout->addWidget(prompt_);
  port_ = new QComboBox(this);
  port_->setObjectName(QString::fromLatin1(kPortComboName));
  // Editable: a port beyond the list, or any other text, can be typed.
  port_->setEditable(true);
  port_->setInsertPolicy(QComboBox::NoInsert);
  port_->setMaxVisibleItems(16);
  for (int n = 1; n <= kPortCount; ++n) {
    port_->addItem(QStringLiteral("COM%1").arg(n));
  }
  layout->addWidget(port_);
  layout->addStretch(1);
}

void PortPage::OnRefresh() {
  // The model step may have changed between a serial and a network model.
  const bool network = Device().descriptor.linkKind == kLinkTcpIp;
  prompt_->setText(network ? kNetworkPortPrompt : kSerialPortPrompt);
  std::array<QString, WizardDlg::kStepTitleCount> titles = kStepTitles;
  if (network)
    titles[2] = kNetworkPortStepTitle;
  Wizard()->SetStepTitles(titles);
  const QString text = QStringLiteral("COM%1").arg(Device().portNumber);
  port_->setCurrentIndex(port_->findText(text));
  port_->setEditText(text);
}

int PortPage::OnWizardNext() {
  const int port = ParsePortNumber(port_->currentText());
  if (port == 0) {
    Message(kMsgPortText);
    port_->setFocus();
    return kStay;
  }
  if (PortTakenByOtherDriver(Session().Devices(), Session().DevicePtr(), port,
                             Device().descriptor.driverClsid)) {
    Message(kMsgPortTaken);
    return kStay;
  }
  // The driver would accept the device and then refuse every one of its tags on this line.
  switch (SerialFramingConflict(Session().Devices(), Session().DevicePtr(), port,
                                Device().descriptor)) {
    case SerialFraming::kRtu:
      Message(kMsgPortHasRtu);
      return kStay;
    case SerialFraming::kAscii:
      Message(kMsgPortHasAscii);
      return kStay;
    case SerialFraming::kNone:
      break;
  }
  Device().portNumber = port;
  return kNeighbour;
}

// --- Step 3: address ---

AddressPage::~AddressPage() {
  if (testThread_ != nullptr) {
    testThread_->wait();
    delete testThread_;
  }
}

void AddressPage::BuildUi() {
  resize(kPageWidth, kPageHeight);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(WrappedLabel(
      QStringLiteral("在这一步，请为要安装的设备指定地址。使用默认值或按地址帮助按钮取得设备地址"
                     "帮助信息。"),
      this));
  address_ = new QLineEdit(this);
  address_->setObjectName(QString::fromLatin1(kAddressEditName));
  layout->addWidget(address_);
  auto* testRow = new QHBoxLayout;
  test_ = new QPushButton(QStringLiteral("测试连接"), this);
  test_->setObjectName(QString::fromLatin1(kTestConnectionButtonName));
  test_->setToolTip(QStringLiteral("用工程的串口设置打开串口，向该地址的设备读一次"));
  testResult_ = new QLabel(this);
  testResult_->setObjectName(QString::fromLatin1(kTestResultLabelName));
  testResult_->setWordWrap(true);
  testRow->addWidget(test_);
  testRow->addWidget(testResult_, 1);
  layout->addLayout(testRow);
  layout->addStretch(1);
  connect(test_, &QPushButton::clicked, this, &AddressPage::OnTestConnection);
}

void AddressPage::OnRefresh() {
  address_->setText(DecodeGbk(platform::ArrayText(Device().station.addressText)));
  testResult_->clear();
}

bool AddressPage::CheckedAddress(std::string* typed, StationInfo* station) {
  if (!EncodeGbk(address_->text(), *typed)) {
    Message(kMsgAddressNotGbk);
    address_->setFocus();
    return false;
  }
  // The driver parses without knowing the model: the form the model needs is checked first.
  switch (CheckAddressForm(platform::ArrayText(Device().descriptor.model), *typed)) {
    case AddressForm::kPpiStation:
      Message(kMsgPpiStation);
      address_->setFocus();
      return false;
    case AddressForm::kTcpHost:
      Message(kMsgTcpHost);
      address_->setFocus();
      return false;
    case AddressForm::kOk:
      break;
  }
  IProtocolDriver* driver = Session().Driver();
  std::memset(station, 0, sizeof *station);
  BOOL parsed = 0;
  if (driver != nullptr) {
    try {
      parsed = driver->ParseStationAddress(typed->c_str(), station);
    } catch (...) {
      parsed = 0;  // a driver must not throw; never let it end the program from an event handler
    }
  }
  if (parsed != 1) {
    Message(kMsgAddressBad);
    return false;
  }
  return true;
}

int AddressPage::OnWizardNext() {
  std::string typed;
  StationInfo station;
  if (!CheckedAddress(&typed, &station))
    return kStay;
  std::fputs(kTraceAddressAccepted, stdout);
  std::fflush(stdout);

  // Stored addresses are the driver's normalised texts; compare like with like.
  const std::string_view normalised = platform::ArrayText(station.addressText);
  if (AddressTaken(Session().Devices(), Session().DevicePtr(), Device().portNumber, normalised,
                   typed)) {
    Message(kMsgAddressTaken);
    return kStay;
  }
  std::memcpy(&Device().station, &station, sizeof station);
  return kNeighbour;
}

void AddressPage::OnTestConnection() {
  if (testThread_ != nullptr)
    return;  // one test at a time
  std::string typed;
  StationInfo station;
  if (!CheckedAddress(&typed, &station))
    return;
  bool running = false;
  const CommSettings* settings = PortSettingsFor(Device().portNumber, &running);
  if (running) {
    Message(kMsgTestWhileRunning);
    return;
  }
  if (settings == nullptr) {
    Message(kMsgTestNoSettings);
    return;
  }
  // A driver object of its own: the page's one answers the address checks on this thread.
  platform::ComPtr<IProtocolDriver> driver;
  if (FAILED(platform::CoCreateInstance(Device().descriptor.driverClsid, nullptr,
                                        CLSCTX_INPROC_SERVER, IID_IProtocolDriver,
                                        driver.PutVoid())) ||
      !driver) {
    Message(kMsgDriverLoadFailed);
    return;
  }
  auto result = std::make_shared<ConnectionResult>();
  const DeviceRecord device = Device();
  const CommSettings copy = *settings;
  auto held = std::make_shared<platform::ComPtr<IProtocolDriver>>(std::move(driver));
  testThread_ = QThread::create([held, device, copy, typed, result] {
    *result = TestConnection(held->Get(), device, copy, typed);
  });
  test_->setEnabled(false);
  testResult_->setText(QStringLiteral("正在测试连接……"));
  connect(testThread_, &QThread::finished, this, [this, held, result] {
    held->Reset();  // the thread has ended: nobody uses the object any more
    testThread_->deleteLater();
    testThread_ = nullptr;
    test_->setEnabled(true);
    if (result->answered) {
      testResult_->setText(
          QStringLiteral("连接成功：设备已应答，用时 %1 毫秒").arg(result->elapsedMs, 0, 'f', 0));
      return;
    }
    const QString why =
        result->errorText.empty() ? QStringLiteral("设备没有应答") : DecodeGbk(result->errorText);
    testResult_->setText(result->opened ? QStringLiteral("连接失败：%1").arg(why)
                                        : QStringLiteral("串口无法打开：%1").arg(why));
  });
  testThread_->start();
}

// --- Step 4: recovery strategy ---

void RecoveryPage::BuildUi() {
  resize(kPageWidth, kPageHeight);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(WrappedLabel(QStringLiteral("当设备出现通信故障时, 设定恢复策略."), this));

  auto* grid = new QGridLayout;
  retry_ = new QLineEdit(QStringLiteral("30"), this);
  retry_->setObjectName(QString::fromLatin1(kRetryEditName));
  recovery_ = new QLineEdit(QStringLiteral("24"), this);
  recovery_->setObjectName(QString::fromLatin1(kRecoveryEditName));
  grid->addWidget(new QLabel(QStringLiteral("尝试恢复间隔:"), this), 0, 0);
  grid->addWidget(retry_, 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("秒"), this), 0, 2);
  grid->addWidget(new QLabel(QStringLiteral("最长恢复时间："), this), 1, 0);
  grid->addWidget(recovery_, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("小时"), this), 1, 2);
  layout->addLayout(grid);

  // Kept and exchanged like the other values, but not offered to the user.
  optimize_ = new QCheckBox(QStringLiteral("使用动态优化"), this);
  optimize_->setObjectName(QString::fromLatin1(kOptimizeCheckName));
  optimize_->setChecked(true);
  optimize_->setVisible(false);
  layout->addWidget(optimize_);
  layout->addStretch(1);
}

void RecoveryPage::OnRefresh() {
  retry_->setText(QString::number(Device().retryIntervalSec));
  recovery_->setText(QString::number(Device().recoveryLimitHours));
  optimize_->setChecked(Device().dynamicOptimization != 0);
}

bool RecoveryPage::ExchangeInt(QLineEdit* edit, int lo, int hi, int& value) {
  bool ok = false;
  value = edit->text().trimmed().toInt(&ok, 10);
  if (!ok) {
    Message(kMsgNotInteger);
  } else if (value < lo || value > hi) {
    Message(kMsgIntRange.arg(lo).arg(hi));
    ok = false;
  }
  if (!ok) {
    edit->setFocus();
    edit->selectAll();
  }
  return ok;
}

int RecoveryPage::OnWizardNext() {
  int retry = 0;
  int recovery = 0;
  if (!ExchangeInt(retry_, 0, 30, retry) || !ExchangeInt(recovery_, 0, 24, recovery)) {
    return kStay;
  }
  Device().retryIntervalSec = retry;
  Device().dynamicOptimization = optimize_->isChecked() ? 1 : 0;
  Device().recoveryLimitHours = recovery;
  return kNeighbour;
}

// --- Step 5: summary ---

void SummaryPage::BuildUi() {
  resize(kPageWidth, kPageHeight);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("你所要安装的设备信息："), this));
  auto* group = new QGroupBox(QStringLiteral("设备信息"), this);
  auto* lines = new QVBoxLayout(group);
  const auto line = [&](const char* name) {
    auto* label = new QLabel(group);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    lines->addWidget(label);
    return label;
  };
  model_ = line(kSummaryModelName);
  name_ = line(kSummaryNameName);
  address_ = line(kSummaryAddressName);
  commKind_ = line(kSummaryCommKindName);
  layout->addWidget(group);
  layout->addStretch(1);
}

void SummaryPage::OnRefresh() {
  const SummaryLines lines = FormatSummary(Device());
  model_->setText(DecodeGbk(lines.model));
  name_->setText(DecodeGbk(lines.name));
  address_->setText(DecodeGbk(lines.address));
  commKind_->setText(DecodeGbk(lines.commKind));
}

}  // namespace ondrel

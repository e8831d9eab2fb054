// The six pages of the device installation wizard and the state they share for one run.
#pragma once

#include <string>

#include "common/device_array.h"
#include "common/driver_contract.h"
#include "common/records.h"
#include "common/wizard/wizard_page.h"
#include "platform/com_ptr.h"
#include "plugins/devicewizard/device_catalogue.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QThread;

namespace ondrel {

// What the pages of one run share: the edited record, the project's devices and the driver
// object created when step 0 is left (the one step 3 checks addresses with).
class WizardSession {
 public:
  WizardSession(DeviceRecord* device, const talvek::DeviceArray* devices)
      : device_(device), devices_(devices) {}
  // Releases the driver object, then undoes this session's CoInitialize.
  ~WizardSession();
  WizardSession(const WizardSession&) = delete;
  WizardSession& operator=(const WizardSession&) = delete;

  DeviceRecord& Device() const { return *device_; }
  const DeviceRecord* DevicePtr() const { return device_; }
  const talvek::DeviceArray* Devices() const { return devices_; }
  IProtocolDriver* Driver() const { return driver_.Get(); }

  // Creates a driver object of the record's driver class and holds it instead of the previous
  // one (which is released in any case). False when it cannot be created.
  bool CreateDriver();

 private:
  DeviceRecord* device_;
  const talvek::DeviceArray* devices_;
  platform::ComPtr<IProtocolDriver> driver_;
  bool comInitialised_ = false;
};

// Base of the six pages: the session, and the page size every step shares.
class DevicePage : public WizardPage {
  Q_OBJECT

 public:
  explicit DevicePage(WizardSession& session) : session_(session) {}

 protected:
  WizardSession& Session() const { return session_; }
  DeviceRecord& Device() const { return session_.Device(); }
  // Reports a refused move to the user.
  void Message(const QString& text);

 private:
  WizardSession& session_;
};

// Step 0: the device model, which fixes the driver.
class ModelPage final : public DevicePage {
  Q_OBJECT

 public:
  using DevicePage::DevicePage;
  int OnCreated() override;
  int OnWizardNext() override;

 protected:
  void BuildUi() override;

 private:
  void OnSelectionChanged(int index);

  Catalogue catalogue_{};
  QComboBox* models_ = nullptr;
};

// Step 1: the logical name, unique in the project.
class NamePage final : public DevicePage {
  Q_OBJECT

 public:
  using DevicePage::DevicePage;
  void OnRefresh() override;
  int OnWizardNext() override;

 protected:
  void BuildUi() override;

 private:
  QLineEdit* name_ = nullptr;
};

// Step 2: the serial port; only devices of the same driver class may share it, and Modbus RTU and
// ASCII devices never do.
class PortPage final : public DevicePage {
  Q_OBJECT

 public:
  using DevicePage::DevicePage;
  void OnRefresh() override;
  int OnWizardNext() override;

 protected:
  void BuildUi() override;

 private:
  QLabel* prompt_ = nullptr;
  QComboBox* port_ = nullptr;
};

// Step 3: the station address, checked by the driver and unique on its port. "测试连接" opens
// the port with the project's settings and asks the station once, on a thread of its own.
class AddressPage final : public DevicePage {
  Q_OBJECT

 public:
  using DevicePage::DevicePage;
  // Waits for a connection test still running (at most the port's time-out).
  ~AddressPage() override;
  void OnRefresh() override;
  int OnWizardNext() override;

 protected:
  void BuildUi() override;

 private:
  // The typed address in GBK, checked for the model's form and by the driver; false (the user
  // told why) when it is refused.
  bool CheckedAddress(std::string* typed, StationInfo* station);
  void OnTestConnection();

  QLineEdit* address_ = nullptr;
  QPushButton* test_ = nullptr;
  QLabel* testResult_ = nullptr;
  QThread* testThread_ = nullptr;
};

// Step 4: the recovery strategy for communication failures.
class RecoveryPage final : public DevicePage {
  Q_OBJECT

 public:
  using DevicePage::DevicePage;
  void OnRefresh() override;
  int OnWizardNext() override;

 protected:
  void BuildUi() override;

 private:
  // Reads an integer in lo..hi from `edit`; shows the range message and focuses it otherwise.
  bool ExchangeInt(QLineEdit* edit, int lo, int hi, int& value);

  QLineEdit* retry_ = nullptr;
  QLineEdit* recovery_ = nullptr;
  QCheckBox* optimize_ = nullptr;
};

// Step 5: the summary; its Next ("完成") finishes the wizard.
class SummaryPage final : public DevicePage {
  Q_OBJECT

 public:
  using DevicePage::DevicePage;
  void OnRefresh() override;

 protected:
  void BuildUi() override;

 private:
  QLabel* model_ = nullptr;
  QLabel* name_ = nullptr;
  QLabel* address_ = nullptr;
  QLabel* commKind_ = nullptr;
};

}  // namespace ondrel

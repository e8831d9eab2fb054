// The serial settings dialog: edits one serial port's CommSettings record (baud rate, data bits,
// parity, stop bits, time-out) on a copy of its own, and the device a "Com<n>" port means on this
// machine (the [Ports] mapping of the registry store: a serial device found here, a typed device
// path, or a serial device server "tcp://host:port" / "rfc2217://host:port").
//
//   CSerialSettingsDlg dlg(this);
//   dlg.SetSettings(port);
//   if (dlg.exec() == QDialog::Accepted) port = dlg.Settings();
//
// or EditSerialSettings(port, this).
#pragma once

#include <QDialog>
#include <QStringList>

#include <string>

#include "common/records.h"

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace talvek {

class CSerialSettingsDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CSerialSettingsDlg(QWidget* parent = nullptr);

  // The baud rates offered, in list order.
  static QStringList BaudRateTexts();
  // The parity names; an entry's index is the stored `parity` value.
  static QStringList ParityTexts();

  // Why `text` cannot be a port's device (a Chinese message naming what is wrong), or an empty
  // text when it can: empty (the default device), an absolute device path, or a serial device
  // server address.
  static QString DeviceTextProblem(const QString& text);

  // Lists the serial devices found under `root` instead of "/" (tests give a fake tree).
  void SetDeviceRoot(const std::string& root);

  // Loads a copy of `settings` and shows it: the device mapped to its "Com<n>" port (empty for
  // the default /dev/ttyS<n-1>; the row is disabled for a port named by a path), the baud entry
  // whose text is the rate (none when the rate is not offered), the parity entry at its index (none
  // when out of range), the time-out, and the radio button of each of data bits 7/8 and stop bits
  // 1/2 (none for other values).
  void SetSettings(const CommSettings& settings);
  // The dialog's copy: as loaded until OK, then with the edited fields.
  const CommSettings& Settings() const { return settings_; }

  // Stores the controls into the copy and closes with OK. The time-out must be a whole number
  // 0..65535 and the device text acceptable to DeviceTextProblem; otherwise a message says what
  // is wrong and the dialog stays open with the copy and the mapping unchanged. A changed device
  // is saved at once in the registry store (an empty text removes the mapping); a store that
  // cannot be written is reported and the dialog stays open. With no baud or parity entry selected,
  // or neither radio button of a pair checked, the field keeps its loaded value.
  void accept() override;

 private:
  // Fills the device list and shows the mapping of the loaded port.
  void LoadDevice();

  CommSettings settings_{};
  std::string deviceRoot_ = "/";
  QString comName_;       // "Com<n>" of the loaded port; empty when it is named by a path
  QString loadedDevice_;  // the mapping as loaded (empty: none)
  QComboBox* deviceCombo_ = nullptr;
  QLabel* deviceLabel_ = nullptr;
  QComboBox* baudCombo_ = nullptr;
  QComboBox* parityCombo_ = nullptr;
  QRadioButton* dataBits7_ = nullptr;
  QRadioButton* dataBits8_ = nullptr;
  QRadioButton* stopBits1_ = nullptr;
  QRadioButton* stopBits2_ = nullptr;
  QButtonGroup* dataBitsGroup_ = nullptr;
  QButtonGroup* stopBitsGroup_ = nullptr;
  QLineEdit* timeoutEdit_ = nullptr;
};

// Opens the dialog on a copy of `settings`, modal over `parent`, and copies the edited record
// back on OK. Returns true when the record was replaced; on Cancel it is left untouched.
bool EditSerialSettings(CommSettings& settings, QWidget* parent);

}  // namespace talvek

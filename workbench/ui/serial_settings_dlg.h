// The serial settings dialog: edits one serial port's CommSettings record (baud rate, data bits,
// parity, stop bits, time-out) on a copy of its own.
//
//   CSerialSettingsDlg dlg(this);
//   dlg.SetSettings(port);
//   if (dlg.exec() == QDialog::Accepted) port = dlg.Settings();
//
// or EditSerialSettings(port, this).
#pragma once

#include <QDialog>
#include <QStringList>

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

  // Loads a copy of `settings` and shows it: the baud entry whose text is the rate (none when the
  // rate is not offered), the parity entry at its index (none when out of range), the time-out,
  // and the radio button of each of data bits 7/8 and stop bits 1/2 (none for other values).
  void SetSettings(const CommSettings& settings);
  // The dialog's copy: as loaded until OK, then with the edited fields.
  const CommSettings& Settings() const { return settings_; }

  // Stores the controls into the copy and closes with OK. The time-out must be a whole number
  // 0..65535; otherwise a message names the field and its range and the dialog stays open with
  // the copy unchanged. With no baud or parity entry selected, or neither radio button of a pair
  // checked, the field keeps its loaded value.
  void accept() override;

 private:
  CommSettings settings_{};
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

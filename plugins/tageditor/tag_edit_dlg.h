// The dialog "变量维护": an outer dialog with one tab "  配置   " holding the page on which one
// TagRecord is edited, and the OK and Cancel buttons.
//
// The page shows the record's name, description, variable type and engineering range; for an
// external tag (flag bit 4) also the device, the register, the raw data type and the raw range.
// It loads the device's protocol driver to list the registers and, on OK, to check the register
// and data type. Every check runs before the record is touched; on success all 276 bytes are
// copied back at once, so the caller's record changes only when OK succeeds.
#pragma once

#include <string>
#include <vector>

#include <QDialog>
#include <QWidget>

#include "common/tag_values.h"
#include "plugins/tageditor/tag_editor.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace talvek {
class NumericEdit;
}

namespace talvek::tageditor {

// The value rules live in common/ (the tag import runs the same checks).
using namespace talvek::tagcheck;

// The page of the dialog. Its controls carry object names (listed with the accessors below), so
// a caller that only sees QWidgets can find them.
class TagPropertyPage : public QWidget {
  Q_OBJECT

 public:
  // A page over `session`, which must outlive it; empty until OnInitDialog().
  TagPropertyPage(TagEditSession& session, QWidget* parent = nullptr);

  // Loads the page from the session's record: fills the combos, loads the device's driver and
  // its register list for an external tag, sets the entries' layouts and values.
  void OnInitDialog();
  // Checks every entry and, when all pass, rewrites the session's record. Shows the first failure
  // and puts the focus on its control. True when the record was rewritten.
  bool OnOK();

  // Controls, for the dialog and for tests (object name in brackets).
  QLineEdit* NameEdit() const { return name_; }                     // "nameEdit"
  QLineEdit* DescriptionEdit() const { return description_; }       // "descriptionEdit"
  QComboBox* VarTypeCombo() const { return varType_; }              // "varTypeCombo"
  QRadioButton* InternalRadio() const { return internal_; }         // "internalRadio"
  QRadioButton* ExternalRadio() const { return external_; }         // "externalRadio"
  NumericEdit* MinEdit() const { return min_; }                     // "minEdit"
  NumericEdit* MaxEdit() const { return max_; }                     // "maxEdit"
  NumericEdit* DeadbandEdit() const { return deadband_; }           // "deadbandEdit"
  NumericEdit* InitialEdit() const { return initial_; }             // "initialEdit"
  QGroupBox* DeviceGroup() const { return group_; }                 // "deviceGroup"
  QComboBox* DeviceCombo() const { return device_; }                // "deviceCombo"
  QComboBox* RegisterCombo() const { return register_; }            // "registerCombo"
  QComboBox* DataTypeCombo() const { return dataType_; }            // "dataTypeCombo"
  QLineEdit* ScanPeriodEdit() const { return scanPeriod_; }         // "scanPeriodEdit"
  NumericEdit* RawMinEdit() const { return rawMin_; }               // "rawMinEdit"
  NumericEdit* RawMaxEdit() const { return rawMax_; }               // "rawMaxEdit"
  QRadioButton* ReadWriteRadio() const { return readWrite_; }       // "readWriteRadio"
  QRadioButton* ReadOnlyRadio() const { return readOnly_; }         // "readOnlyRadio"
  QRadioButton* WriteOnlyRadio() const { return writeOnly_; }       // "writeOnlyRadio"
  QCheckBox* UserTriggeredCheck() const { return userTriggered_; }  // "userTriggeredCheck"

  // GBK names of the driver's register list, as last filled.
  const std::vector<std::string>& Registers() const { return registers_; }

 private:
  // The page's values as loaded from the record (OK reads the controls into TagEntries).
  struct Values {
    QString name;
    QString description;
    QString registerText;
    int scanPeriod = 0;
    double max = 0, min = 0, deadband = 0, initial = 0, rawMax = 0, rawMin = 0;
  };
  void BuildControls();
  void FillVarTypes();
  void FillDataTypes();
  // Selects the record's raw type in the data type list (prefix search after the first item).
  void SelectRecordDataType();
  void EnableExternalGroup(bool external);
  void EnableByVarType(int varType, bool external);
  void EnableByDataType(int rawType, bool external);
  void FillRegisterList();
  void LoadControls();

  void OnVarTypeChosen(int index);
  void OnDeviceChosen(int index);
  void OnRegisterChosen(int index);
  void OnDataTypeChosen(int index);

  // Reads the controls and checks them (CheckTagEntries) into `out`; shows the first failure and
  // focuses its control.
  bool ReadControls(CheckedTag& out);
  // The control a refusal names.
  QWidget* Control(TagField field) const;
  // Shows `text` and puts the focus on `control`; returns false for the caller's convenience.
  bool Fail(QWidget* control, const QString& text);
  bool IsExternal() const;
  int SelectedRawType() const;
  // The loaded model name, the driver's check of the register and data type.
  bool CheckWithDriver(const std::string& registerGbk, int rawType);

  TagEditSession& session_;
  Values values_;
  std::vector<std::string> registers_;

  QLineEdit* name_ = nullptr;
  QLineEdit* description_ = nullptr;
  QComboBox* varType_ = nullptr;
  QRadioButton* internal_ = nullptr;
  QRadioButton* external_ = nullptr;
  QButtonGroup* placeGroup_ = nullptr;
  NumericEdit* min_ = nullptr;
  NumericEdit* max_ = nullptr;
  NumericEdit* deadband_ = nullptr;
  NumericEdit* initial_ = nullptr;
  QLabel* deadbandLabel_ = nullptr;
  QLabel* initialLabel_ = nullptr;
  QGroupBox* group_ = nullptr;
  QComboBox* device_ = nullptr;
  QComboBox* register_ = nullptr;
  QComboBox* dataType_ = nullptr;
  QLabel* scanPeriodLabel_ = nullptr;
  QLineEdit* scanPeriod_ = nullptr;
  QLabel* scanPeriodUnit_ = nullptr;
  NumericEdit* rawMin_ = nullptr;
  NumericEdit* rawMax_ = nullptr;
  QLabel* accessLabel_ = nullptr;
  QRadioButton* readWrite_ = nullptr;
  QRadioButton* readOnly_ = nullptr;
  QRadioButton* writeOnly_ = nullptr;
  QCheckBox* userTriggered_ = nullptr;
};

// The outer dialog: caption "变量维护", the tab control with the page, "确定" and "取消", and
// two invisible buttons "next" and "prev" that do nothing.
class TagEditDlg : public QDialog {
  Q_OBJECT

 public:
  // Builds the dialog and initialises its page from the session's record.
  explicit TagEditDlg(TagEditSession& session, QWidget* parent = nullptr);

  // The page on the one tab.
  TagPropertyPage* Page() const { return page_; }
  QTabWidget* Tabs() const { return tabs_; }             // "tabs"
  QPushButton* OkButton() const { return ok_; }          // "okButton"
  QPushButton* CancelButton() const { return cancel_; }  // "cancelButton"

  // Closes with OK only when the page's check succeeds.
  void accept() override;

 private:
  TagPropertyPage* page_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace talvek::tageditor

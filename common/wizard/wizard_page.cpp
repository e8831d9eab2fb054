#include "common/wizard/wizard_page.h"

#include <QApplication>

#include "common/wizard/wizard_dlg.h"

WizardPage::WizardPage(QWidget* parent) : QWidget(parent) {
  // The heading is 16 pixels high and bold. The family is the application's, not a fixed face,
  // so the heading shows Chinese text with the same CJK-capable font as the rest of the UI.
  headingFont_ = QApplication::font();
  headingFont_.setPixelSize(16);
  headingFont_.setWeight(QFont::Bold);
}

WizardPage::~WizardPage() = default;

WizardDlg* WizardPage::Wizard() const {
  return wizard_.data();
}

// WizardPage: one step of a wizard, shown by a WizardDlg inside the frame's placeholder.
//
// A page is an ordinary widget owned by whoever builds the wizard (usually stack objects in a
// plug-in's Show). The frame builds the page's controls the first time it shows the page and asks
// the page, through the virtual operations below, whether a move may happen and where it goes.
//
//   class NamePage : public WizardPage {
//    protected:
//     void BuildUi() override {
//       name_ = new QLineEdit(this);
//       ...
//     }
//    public:
//     int OnWizardNext() override { return name_->text().isEmpty() ? kStay : kNeighbour; }
//    private:
//     QLineEdit* name_ = nullptr;
//   };
#pragma once

#include <QFont>
#include <QPointer>
#include <QWidget>

class WizardDlg;

class WizardPage : public QWidget {
  Q_OBJECT

 public:
  // OnWizardNext / OnWizardBack results other than a page template id.
  static constexpr int kStay = -1;      // stay on this page
  static constexpr int kNeighbour = 0;  // go to the next / previous page in list order

  // A page is built without a parent; the frame re-parents it while it is on show.
  explicit WizardPage(QWidget* parent = nullptr);
  ~WizardPage() override;

  // The dialog template id the page was added under (WizardDlg::AddPage); 0 before that.
  int TemplateId() const { return templateId_; }
  // True from the page's creation in a frame until the frame destroys the page window.
  bool IsCreated() const { return created_; }
  // True while the page is the one on show.
  bool IsActive() const { return active_; }
  // The frame that created the page; null before the first display and after the page window is
  // destroyed (or the frame is gone).
  WizardDlg* Wizard() const;
  // Bold 16-pixel heading font in the application font's family (which can show CJK text). Pages
  // apply it to a heading label if they want one; the base class applies it to nothing.
  const QFont& HeadingFont() const { return headingFont_; }

  // The operations the frame calls. Return values: 0 refuses, any other value agrees, unless
  // stated otherwise.

  // On the page just reached with Next, after it is shown; reload controls from the data here.
  virtual void OnRefresh() {}
  // Right after the page window is created (BuildUi has run); 0 aborts showing the page.
  virtual int OnCreated() { return 1; }
  // Before the page window is destroyed at the end of the frame's run.
  virtual void OnDestroyPage() {}
  // Before the page is hidden; 0 keeps it on show.
  virtual int OnKillActive() { return 1; }
  // After the page has been shown.
  virtual void OnShown() {}
  // On Cancel, for every created page; 0 vetoes the cancel.
  virtual int OnQueryCancel() { return 1; }
  // On Back: kStay, kNeighbour, or the template id of the page to jump to.
  virtual int OnWizardBack() { return kNeighbour; }
  // On Next: kStay, kNeighbour, or the template id of the page to jump to.
  virtual int OnWizardNext() { return kNeighbour; }
  // On Finish, for every created page in list order; 0 vetoes and keeps the wizard open.
  virtual int OnWizardFinish() { return 1; }

 protected:
  // Builds the page's controls inside the page. Runs once per page object, the first time a frame
  // creates the page window, before OnCreated; Wizard() is already set. The controls live as long
  // as the page object, so a page shown again keeps what was typed in it.
  virtual void BuildUi() {}

 private:
  friend class WizardDlg;

  int templateId_ = 0;
  bool created_ = false;
  bool active_ = false;
  bool built_ = false;
  QPointer<WizardDlg> wizard_;
  QFont headingFont_;
};

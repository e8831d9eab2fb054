// WizardDlg: the modal frame of both wizard plug-ins. It shows one WizardPage at a time inside a
// placeholder, with the buttons "< 上一步", "下一步>" (which reads "完成" on the last page) and
// "取消", and lets each page veto or redirect a move.
//
//   WizardDlg dlg(parent);
//   ModelPage model;  // pages outlive the modal run; the frame never deletes them
//   NamePage name;
//   dlg.SetStepTitles({"第一步", "第二步"});
//   dlg.AddPage(&model, 137);
//   dlg.AddPage(&name, 139);
//   bool finished = dlg.exec() == WizardDlg::kFinishResult;
//
// Ownership: the caller owns the pages. While a page is on show (created), the frame re-parents it
// into its placeholder; when the page window is destroyed (end of the run, or destruction of the
// frame) the frame hides the page and gives it back to the parent it had when added (or none), so
// the frame never deletes a page. A page deleted by its owner before the frame is dropped from the
// list and never touched again.
#pragma once

#include <array>
#include <vector>

#include <QDialog>
#include <QPointer>
#include <QString>

#include "common/wizard/wizard_page.h"

class QPushButton;

class WizardDlg : public QDialog {
  Q_OBJECT

 public:
  // Control and command ids of the frame.
  static constexpr int kIdCancel = 2;
  static constexpr int kIdPlaceholder = 1010;
  static constexpr int kIdBack = 12323;
  static constexpr int kIdNext = 12324;
  static constexpr int kIdFinish = 12325;  // a command only; no button carries it

  // Results of the modal run.
  static constexpr int kFinishResult = kIdFinish;
  static constexpr int kCancelResult = QDialog::Rejected;

  static constexpr int kStepTitleCount = 6;

  // Button texts.
  static inline const QString kBackText = QStringLiteral("< 上一步");
  static inline const QString kNextText = QStringLiteral("下一步>");
  static inline const QString kNextAfterBackText = QStringLiteral("下一步");
  static inline const QString kFinishText = QStringLiteral("完成");
  static inline const QString kCancelText = QStringLiteral("取消");

  explicit WizardDlg(QWidget* parent = nullptr);
  // Destroys the page windows still created and hands every page back to its owner.
  ~WizardDlg() override;

  // Appends a page under its template id. False (and nothing added) for a null page or a page
  // already in the list. The frame does not take ownership.
  bool AddPage(WizardPage* page, int templateId);
  // The window titles by step; entry k is shown while the step counter is k.
  void SetStepTitles(const std::array<QString, kStepTitleCount>& titles);
  // The title for a step counter value; values outside 0..5 use the nearest entry.
  QString StepTitle(int step) const;

  // The page on show, or null.
  WizardPage* CurrentPage() const { return active_.data(); }
  // The step counter: 0 at the start, +1 on every Next, -1 on every Back.
  int Step() const { return step_; }
  // Number of (living) pages in the list.
  int PageCount() const;

  QPushButton* BackButton() const { return back_; }
  QPushButton* NextButton() const { return next_; }
  QPushButton* CancelButton() const { return cancel_; }
  // The area pages are placed in, at its top-left corner.
  QWidget* Placeholder() const { return placeholder_; }

  // Runs a command as if its button had been pressed: kIdBack, kIdNext, kIdCancel (each ignored
  // while its button is disabled) or kIdFinish. False when the id is unknown or the command was
  // ignored.
  bool ExecuteCommand(int id);

  // Hides the frame. Also ends the run: the created page windows are destroyed first.
  void done(int result) override;
  // Runs the frame start (first page, buttons, title) before the frame is shown the first time
  // in a run.
  void setVisible(bool visible) override;

 public slots:
  // Back: move to the previous page or the page OnWizardBack names.
  void OnBack();
  // Next: move to the next page or the page OnWizardNext names; Finish after the last page.
  void OnNext();
  // Finish: the active page must agree to be left and every created page to finish; the frame
  // then ends with kFinishResult.
  void OnFinishCommand();
  // Cancel: every created page must agree; the frame then ends with kCancelResult.
  void OnCancel();
  // The dialog's own accept (e.g. from code) is Finish, so a run ends only by Finish or Cancel.
  void accept() override;
  // Escape and the window's close button are Cancel, so the pages can veto them too.
  void reject() override;

 private:
  struct Entry {
    QPointer<WizardPage> page;
    QPointer<QWidget> ownerParent;  // parent when added; restored when the page is released
  };

  void Start();
  bool ShowPage(WizardPage* page);
  bool HideActivePage();
  bool CreatePageWindow(WizardPage* page);
  void PlacePage(WizardPage* page);
  void DestroyPageWindows();
  void ReleasePage(WizardPage* page);
  void PurgeDeadPages();
  std::vector<QPointer<WizardPage>> LivePages() const;
  int IndexOf(const WizardPage* page) const;
  WizardPage* FindByTemplate(int templateId) const;
  bool IsInsideFrame(const QWidget* widget) const;
  void UpdateTitle();

  std::vector<Entry> pages_;
  std::array<QString, kStepTitleCount> titles_;
  QPointer<WizardPage> active_;
  int step_ = 0;
  bool started_ = false;
  QWidget* placeholder_ = nullptr;
  QPushButton* back_ = nullptr;
  QPushButton* next_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

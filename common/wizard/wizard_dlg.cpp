#include "common/wizard/wizard_dlg.h"

#include <algorithm>

#include <QFrame>
#include <QHBoxLayout>
#include <QLayout>
#include <QPushButton>
#include <QVBoxLayout>

WizardDlg::WizardDlg(QWidget* parent) : QDialog(parent) {
  setModal(true);

  // No layout inside the placeholder: a page sits at its top-left corner at its own size, as it
  // would on a fixed dialog template, and is never stretched.
  placeholder_ = new QWidget(this);
  placeholder_->setObjectName(QStringLiteral("placeholder"));
  placeholder_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

  back_ = new QPushButton(kBackText, this);
  back_->setObjectName(QStringLiteral("backButton"));
  next_ = new QPushButton(kNextText, this);
  next_->setObjectName(QStringLiteral("nextButton"));
  // Enter in a page means Next (only while Next is enabled).
  next_->setDefault(true);
  cancel_ = new QPushButton(kCancelText, this);
  cancel_->setObjectName(QStringLiteral("cancelButton"));

  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(back_);
  buttons->addWidget(next_);
  buttons->addSpacing(12);
  buttons->addWidget(cancel_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(placeholder_, 1);
  layout->addWidget(line);
  layout->addLayout(buttons);

  connect(back_, &QPushButton::clicked, this, &WizardDlg::OnBack);
  connect(next_, &QPushButton::clicked, this, &WizardDlg::OnNext);
  connect(cancel_, &QPushButton::clicked, this, &WizardDlg::OnCancel);
}

WizardDlg::~WizardDlg() {
  DestroyPageWindows();
  // Pages that refused to be destroyed, or that the owner parented to the frame, must still not
  // be deleted with the frame's children.
  for (const QPointer<WizardPage>& page : LivePages()) {
    if (page && (page->created_ || IsInsideFrame(page))) {
      ReleasePage(page);
    }
  }
}

bool WizardDlg::AddPage(WizardPage* page, int templateId) {
  PurgeDeadPages();
  if (page == nullptr || IndexOf(page) >= 0) {
    return false;
  }
  page->templateId_ = templateId;
  pages_.push_back(Entry{page, page->parentWidget()});
  return true;
}

void WizardDlg::SetStepTitles(const std::array<QString, kStepTitleCount>& titles) {
  titles_ = titles;
  if (started_) {
    UpdateTitle();
  }
}

QString WizardDlg::StepTitle(int step) const {
  // Jumps and Back moves can take the counter outside the table; keep to its nearest entry.
  return titles_[std::clamp(step, 0, kStepTitleCount - 1)];
}

int WizardDlg::PageCount() const {
  return static_cast<int>(LivePages().size());
}

bool WizardDlg::ExecuteCommand(int id) {
  switch (id) {
    case kIdBack:
      if (!back_->isEnabled()) {
        return false;
      }
      OnBack();
      return true;
    case kIdNext:
      if (!next_->isEnabled()) {
        return false;
      }
      OnNext();
      return true;
    case kIdCancel:
      if (!cancel_->isEnabled()) {
        return false;
      }
      OnCancel();
      return true;
    case kIdFinish:
      OnFinishCommand();
      return true;
    default:
      return false;
  }
}

void WizardDlg::done(int result) {
  // The page windows go with the run, while the pages and the frame are all still alive, so every
  // page's OnDestroyPage runs whatever order the owner declared its objects in.
  DestroyPageWindows();
  started_ = false;
  QDialog::done(result);
}

void WizardDlg::setVisible(bool visible) {
  // The frame start runs before the frame appears, so the first page is laid out in time and a
  // page may enable buttons while it is built.
  if (visible && !started_) {
    Start();
  }
  QDialog::setVisible(visible);
}

void WizardDlg::OnBack() {
  if (!started_) {
    return;
  }
  PurgeDeadPages();
  const QPointer<WizardPage> active = active_;
  if (!active) {
    return;
  }
  const int r = active->OnWizardBack();
  if (!started_ || r == WizardPage::kStay) {
    return;
  }
  PurgeDeadPages();
  WizardPage* target = nullptr;
  if (r != WizardPage::kNeighbour) {
    target = FindByTemplate(r);
  } else if (const int index = IndexOf(active); index > 0) {
    target = pages_[index - 1].page;
  }
  if (target == nullptr) {
    return;
  }
  const QPointer<WizardPage> shown = target;
  if (!ShowPage(target) || !shown) {
    return;
  }
  if (IndexOf(shown) == 0) {
    back_->setEnabled(false);
  }
  next_->setEnabled(true);
  --step_;
  UpdateTitle();
  next_->setText(kNextAfterBackText);
}

void WizardDlg::OnNext() {
  if (!started_) {
    return;
  }
  PurgeDeadPages();
  const QPointer<WizardPage> active = active_;
  if (!active) {
    return;
  }
  const int r = active->OnWizardNext();
  if (!started_ || r == WizardPage::kStay) {
    return;
  }
  PurgeDeadPages();
  WizardPage* target = nullptr;
  if (r != WizardPage::kNeighbour) {
    target = FindByTemplate(r);
    if (target == nullptr) {
      return;
    }
  } else {
    const int index = IndexOf(active);
    if (index < 0) {
      return;
    }
    if (index + 1 >= static_cast<int>(pages_.size())) {
      OnFinishCommand();
      return;
    }
    target = pages_[index + 1].page;
  }
  const QPointer<WizardPage> shown = target;
  if (!ShowPage(target) || !shown) {
    return;
  }
  shown->OnRefresh();
  if (!started_) {
    return;
  }
  PurgeDeadPages();
  if (shown && IndexOf(shown) == static_cast<int>(pages_.size()) - 1) {
    next_->setText(kFinishText);
  }
  back_->setEnabled(true);
  ++step_;
  UpdateTitle();
}

void WizardDlg::OnFinishCommand() {
  if (!started_) {
    return;
  }
  if (const QPointer<WizardPage> active = active_; active) {
    if (active->OnKillActive() == 0 || !started_) {
      return;
    }
  }
  for (const QPointer<WizardPage>& page : LivePages()) {
    if (!page || !page->created_) {
      continue;
    }
    if (page->OnWizardFinish() == 0 || !started_) {
      return;
    }
  }
  // The frame holds no data of its own to exchange; the pages have written theirs.
  done(kFinishResult);
}

void WizardDlg::OnCancel() {
  for (const QPointer<WizardPage>& page : LivePages()) {
    if (!page || !page->created_) {
      continue;
    }
    if (page->OnQueryCancel() == 0) {
      return;
    }
  }
  done(kCancelResult);
}

void WizardDlg::accept() {
  OnFinishCommand();
}

void WizardDlg::reject() {
  OnCancel();
}

void WizardDlg::Start() {
  started_ = true;
  step_ = 0;
  back_->setText(kBackText);
  next_->setText(kNextText);
  PurgeDeadPages();
  HideActivePage();
  // A page that allows Next from the start enables it while it is built (BuildUi or OnCreated).
  back_->setEnabled(false);
  next_->setEnabled(false);
  if (!pages_.empty()) {
    ShowPage(pages_.front().page);
  }
  UpdateTitle();
}

bool WizardDlg::ShowPage(WizardPage* page) {
  const QPointer<WizardPage> target = page;
  if (!target->created_ && !CreatePageWindow(target)) {
    return false;
  }
  if (!target || !started_ || !HideActivePage() || !target || !started_) {
    return false;
  }
  PlacePage(target);
  target->setEnabled(true);
  target->show();
  if (target->isVisible()) {
    target->repaint();
  }
  // The page is the current one before OnShown, so OnShown may already issue commands.
  target->active_ = true;
  active_ = target;
  target->OnShown();
  return target != nullptr;
}

bool WizardDlg::HideActivePage() {
  const QPointer<WizardPage> active = active_;
  if (!active) {
    return true;
  }
  if (active->OnKillActive() == 0) {
    return false;
  }
  if (active) {
    active->hide();
    active->active_ = false;
  }
  if (active_ == active) {
    active_ = nullptr;
  }
  return true;
}

bool WizardDlg::CreatePageWindow(WizardPage* page) {
  const QPointer<WizardPage> target = page;
  target->wizard_ = this;
  target->setParent(placeholder_);  // also hides it until it is placed
  target->created_ = true;
  if (!target->built_) {
    target->built_ = true;
    target->BuildUi();
  }
  if (!target) {
    return false;
  }
  if (target->OnCreated() == 0) {
    // Creation failed: undo it, so the page is not shown later without its OnCreated agreeing.
    if (target) {
      ReleasePage(target);
    }
    return false;
  }
  return target != nullptr;
}

void WizardDlg::PlacePage(WizardPage* page) {
  // A page its owner sized keeps that size; one never sized gets its natural size, as Qt gives a
  // child widget of a layout-less parent.
  if (!page->testAttribute(Qt::WA_Resized)) {
    page->adjustSize();
    page->setAttribute(Qt::WA_Resized, false);
  }
  page->move(0, 0);
  // The placeholder grows to the largest page shown so far, so every page is fully visible.
  const QSize needed = placeholder_->minimumSize().expandedTo(page->size());
  if (needed != placeholder_->minimumSize()) {
    placeholder_->setMinimumSize(needed);
    layout()->activate();
  }
}

void WizardDlg::DestroyPageWindows() {
  for (const QPointer<WizardPage>& page : LivePages()) {
    if (!page || !page->created_) {
      continue;
    }
    // A page that refuses keeps its window; the other pages are still processed.
    if (page->OnKillActive() == 0 || !page) {
      continue;
    }
    page->OnDestroyPage();
    if (page) {
      ReleasePage(page);
    }
  }
}

void WizardDlg::ReleasePage(WizardPage* page) {
  page->hide();
  QWidget* parent = nullptr;
  if (const int index = IndexOf(page); index >= 0) {
    QWidget* owner = pages_[index].ownerParent;
    if (owner != nullptr && !IsInsideFrame(owner)) {
      parent = owner;
    }
  }
  page->setParent(parent);
  page->created_ = false;
  page->active_ = false;
  page->wizard_ = nullptr;
  if (active_ == page) {
    active_ = nullptr;
  }
}

void WizardDlg::PurgeDeadPages() {
  std::erase_if(pages_, [](const Entry& entry) { return entry.page.isNull(); });
}

std::vector<QPointer<WizardPage>> WizardDlg::LivePages() const {
  // A copy, so a page callback that adds or deletes pages cannot disturb a loop over the list.
  std::vector<QPointer<WizardPage>> live;
  live.reserve(pages_.size());
  for (const Entry& entry : pages_) {
    if (entry.page) {
      live.push_back(entry.page);
    }
  }
  return live;
}

int WizardDlg::IndexOf(const WizardPage* page) const {
  if (page == nullptr) {
    return -1;
  }
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (pages_[i].page == page) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

WizardPage* WizardDlg::FindByTemplate(int templateId) const {
  for (const Entry& entry : pages_) {
    if (entry.page && entry.page->templateId_ == templateId) {
      return entry.page;
    }
  }
  return nullptr;
}

bool WizardDlg::IsInsideFrame(const QWidget* widget) const {
  return widget == this || isAncestorOf(widget);
}

void WizardDlg::UpdateTitle() {
  setWindowTitle(StepTitle(step_));
}

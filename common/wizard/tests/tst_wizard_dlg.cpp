// Tests of the wizard frame: the order of the page operations on every move, vetoes, jumps,
// button states and texts, titles, the end of a run, and page ownership.
#include <functional>
#include <memory>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QtTest>

#include "common/wizard/wizard_dlg.h"
#include "common/wizard/wizard_page.h"

namespace {

constexpr int kT0 = 137, kT1 = 139, kT2 = 140;

// A page that logs every operation it gets as "<name>:<operation>" and answers as configured.
class RecordingPage : public WizardPage {
 public:
  RecordingPage(QString name, QStringList* log) : name_(std::move(name)), log_(log) {}

  int createdResult = 1, killResult = 1, queryCancelResult = 1;
  int backResult = kNeighbour, nextResult = kNeighbour, finishResult = 1;
  bool enableNext = true;          // allow Next as soon as the page is created
  std::function<void()> nextHook;  // runs inside OnWizardNext
  int buildCount = 0;
  QLineEdit* edit = nullptr;

  void OnRefresh() override { Log("OnRefresh"); }
  int OnCreated() override {
    Log("OnCreated");
    if (enableNext && createdResult != 0) {
      Wizard()->NextButton()->setEnabled(true);
    }
    return createdResult;
  }
  void OnDestroyPage() override { Log("OnDestroyPage"); }
  int OnKillActive() override { return Log("OnKillActive"), killResult; }
  void OnShown() override { Log("OnShown"); }
  int OnQueryCancel() override { return Log("OnQueryCancel"), queryCancelResult; }
  int OnWizardBack() override { return Log("OnWizardBack"), backResult; }
  int OnWizardNext() override {
    Log("OnWizardNext");
    if (nextHook) {
      nextHook();
    }
    return nextResult;
  }
  int OnWizardFinish() override { return Log("OnWizardFinish"), finishResult; }

 protected:
  void BuildUi() override {
    ++buildCount;
    Log("BuildUi");
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(name_, this);
    heading->setFont(HeadingFont());
    layout->addWidget(heading);
    edit = new QLineEdit(this);
    layout->addWidget(edit);
  }

 private:
  void Log(const char* what) { log_->append(name_ + ':' + what); }

  QString name_;
  QStringList* log_;
};

// Three pages and a frame. The pages are declared first, so the frame is destroyed while they
// live: the frame must hand them back, not delete them.
struct Wizard3 {
  QStringList log;
  RecordingPage a{"A", &log}, b{"B", &log}, c{"C", &log};
  WizardDlg dlg;

  Wizard3() {
    dlg.SetStepTitles({"T0", "T1", "T2", "T3", "T4", "T5"});
    dlg.AddPage(&a, kT0);
    dlg.AddPage(&b, kT1);
    dlg.AddPage(&c, kT2);
  }
  // Shows the frame and forgets the start-up calls.
  void Start() {
    dlg.show();
    log.clear();
  }
  QStringList Take() { return std::exchange(log, {}); }
};

QStringList DestroyAll(const QStringList& names) {
  QStringList calls;
  for (const QString& n : names) {
    calls << n + ":OnKillActive" << n + ":OnDestroyPage";
  }
  return calls;
}

}  // namespace

class TestWizardDlg : public QObject {
  Q_OBJECT

 private slots:
  void startShowsFirstPageOnly() {
    Wizard3 w;
    w.a.enableNext = false;
    w.dlg.show();
    QCOMPARE(w.Take(), QStringList({"A:BuildUi", "A:OnCreated", "A:OnShown"}));
    QCOMPARE(w.dlg.CurrentPage(), &w.a);
    QVERIFY(w.a.IsCreated() && w.a.IsActive() && w.a.isVisible());
    QCOMPARE(w.a.Wizard(), &w.dlg);
    QVERIFY(!w.b.IsCreated() && !w.c.IsCreated());
    QCOMPARE(w.dlg.Step(), 0);
    QCOMPARE(w.dlg.windowTitle(), QString("T0"));
    auto* back = w.dlg.findChild<QPushButton*>("backButton");
    auto* next = w.dlg.findChild<QPushButton*>("nextButton");
    QCOMPARE(back, w.dlg.BackButton());
    QCOMPARE(next, w.dlg.NextButton());
    QCOMPARE(w.dlg.findChild<QPushButton*>("cancelButton")->text(), QString("取消"));
    QCOMPARE(back->text(), QString("< 上一步"));
    QCOMPARE(next->text(), QString("下一步>"));
    QVERIFY(!back->isEnabled());
    // Next stays disabled unless the page enables it; a disabled button ignores its command.
    QVERIFY(!next->isEnabled());
    QVERIFY(!w.dlg.ExecuteCommand(WizardDlg::kIdNext));
    QVERIFY(!w.dlg.ExecuteCommand(WizardDlg::kIdBack));
    QVERIFY(!w.dlg.ExecuteCommand(4711));
    QVERIFY(w.log.isEmpty());
  }

  void nextMovesInListOrder() {
    Wizard3 w;
    w.Start();
    QVERIFY(w.dlg.ExecuteCommand(WizardDlg::kIdNext));
    QCOMPARE(w.Take(), QStringList({"A:OnWizardNext", "B:BuildUi", "B:OnCreated", "A:OnKillActive",
                                    "B:OnShown", "B:OnRefresh"}));
    QCOMPARE(w.dlg.CurrentPage(), &w.b);
    QVERIFY(!w.a.isVisible() && w.a.IsCreated() && !w.a.IsActive());
    QVERIFY(w.dlg.BackButton()->isEnabled());
    QCOMPARE(w.dlg.NextButton()->text(), QString("下一步>"));
    QCOMPARE(w.dlg.Step(), 1);
    QCOMPARE(w.dlg.windowTitle(), QString("T1"));

    w.dlg.ExecuteCommand(WizardDlg::kIdNext);
    QCOMPARE(w.dlg.CurrentPage(), &w.c);
    QCOMPARE(w.dlg.NextButton()->text(), QString("完成"));
    QCOMPARE(w.dlg.windowTitle(), QString("T2"));
  }

  void backKeepsPagesAndRenamesNext() {
    Wizard3 w;
    w.Start();
    QTest::keyClicks(w.a.edit, "typed");
    QLineEdit* const editOfA = w.a.edit;
    w.dlg.OnNext();
    w.dlg.OnNext();
    w.Take();

    w.dlg.OnBack();
    QCOMPARE(w.Take(), QStringList({"C:OnWizardBack", "C:OnKillActive", "B:OnShown"}));
    QCOMPARE(w.dlg.NextButton()->text(), QString("下一步"));
    QVERIFY(w.dlg.BackButton()->isEnabled());
    QCOMPARE(w.dlg.Step(), 1);
    QCOMPARE(w.dlg.windowTitle(), QString("T1"));

    w.dlg.OnBack();
    QCOMPARE(w.dlg.CurrentPage(), &w.a);
    QVERIFY(!w.dlg.BackButton()->isEnabled());
    QVERIFY(w.dlg.NextButton()->isEnabled());
    QCOMPARE(w.dlg.windowTitle(), QString("T0"));
    // The page shown again is the same widget with what was typed in it.
    QCOMPARE(w.a.edit, editOfA);
    QCOMPARE(w.a.edit->text(), QString("typed"));
    QCOMPARE(w.a.buildCount, 1);

    // "下一步" stays until the last page is reached again.
    w.Take();
    w.dlg.OnNext();
    QCOMPARE(w.Take(),
             QStringList({"A:OnWizardNext", "A:OnKillActive", "B:OnShown", "B:OnRefresh"}));
    QCOMPARE(w.dlg.NextButton()->text(), QString("下一步"));
    w.dlg.OnNext();
    QCOMPARE(w.dlg.NextButton()->text(), QString("完成"));
  }

  void vetoesKeepTheCurrentPage() {
    {
      Wizard3 w;
      w.a.nextResult = WizardPage::kStay;
      w.Start();
      w.dlg.OnNext();
      QCOMPARE(w.Take(), QStringList({"A:OnWizardNext"}));
      QCOMPARE(w.dlg.CurrentPage(), &w.a);
      QVERIFY(!w.b.IsCreated());
    }
    {
      // The target is created first; the page that refuses to be left stays on show.
      Wizard3 w;
      w.a.killResult = 0;
      w.Start();
      w.dlg.OnNext();
      QCOMPARE(w.Take(),
               QStringList({"A:OnWizardNext", "B:BuildUi", "B:OnCreated", "A:OnKillActive"}));
      QCOMPARE(w.dlg.CurrentPage(), &w.a);
      QVERIFY(w.a.isVisible() && w.b.IsCreated() && !w.b.isVisible());
      QCOMPARE(w.dlg.Step(), 0);
      QVERIFY(!w.dlg.BackButton()->isEnabled());
    }
    {
      // A page whose OnCreated refuses is not shown, now or later without asking again.
      Wizard3 w;
      w.b.createdResult = 0;
      w.Start();
      w.dlg.OnNext();
      QCOMPARE(w.Take(), QStringList({"A:OnWizardNext", "B:BuildUi", "B:OnCreated"}));
      QCOMPARE(w.dlg.CurrentPage(), &w.a);
      QVERIFY(!w.b.IsCreated());
      QVERIFY(!w.dlg.isAncestorOf(&w.b));
      w.dlg.OnNext();
      QCOMPARE(w.Take(), QStringList({"A:OnWizardNext", "B:OnCreated"}));
      w.b.createdResult = 1;
      w.dlg.OnNext();
      QCOMPARE(w.dlg.CurrentPage(), &w.b);
      QCOMPARE(w.b.buildCount, 1);
    }
  }

  void jumpsGoToTemplateIdsAndTitlesFollowTheCounter() {
    Wizard3 w;
    w.a.nextResult = kT2;
    w.c.backResult = kT0;
    w.Start();
    w.dlg.OnNext();
    QCOMPARE(w.dlg.CurrentPage(), &w.c);
    QVERIFY(!w.b.IsCreated());
    QCOMPARE(w.dlg.Step(), 1);
    QCOMPARE(w.dlg.windowTitle(), QString("T1"));  // the counter's title, not the page's position
    QCOMPARE(w.dlg.NextButton()->text(), QString("完成"));

    w.dlg.OnBack();
    QCOMPARE(w.dlg.CurrentPage(), &w.a);
    QCOMPARE(w.dlg.Step(), 0);
    QVERIFY(!w.dlg.BackButton()->isEnabled());

    // An id no page carries stays, without asking the page to be left.
    w.a.nextResult = 999;
    w.Take();
    w.dlg.OnNext();
    QCOMPARE(w.Take(), QStringList({"A:OnWizardNext"}));
    QCOMPARE(w.dlg.CurrentPage(), &w.a);

    // Jumps can push the counter past either end of the title table: the nearest title is used.
    w.a.nextResult = kT0;
    for (int i = 0; i < 8; ++i) {
      w.dlg.OnNext();
    }
    QCOMPARE(w.dlg.Step(), 8);
    QCOMPARE(w.dlg.windowTitle(), QString("T5"));
    w.a.backResult = kT0;
    for (int i = 0; i < 10; ++i) {
      w.dlg.OnBack();
    }
    QCOMPARE(w.dlg.Step(), -2);
    QCOMPARE(w.dlg.windowTitle(), QString("T0"));
  }

  void finishEndsTheRunAndHandsPagesBack() {
    Wizard3 w;
    w.Start();
    w.dlg.OnNext();
    w.dlg.OnNext();
    w.Take();
    w.dlg.OnNext();  // "完成"
    QCOMPARE(w.Take(), QStringList({"C:OnWizardNext", "C:OnKillActive", "A:OnWizardFinish",
                                    "B:OnWizardFinish", "C:OnWizardFinish"}) +
                           DestroyAll({"A", "B", "C"}));
    QCOMPARE(w.dlg.result(), WizardDlg::kFinishResult);
    QVERIFY(!w.dlg.isVisible());
    for (RecordingPage* p : {&w.a, &w.b, &w.c}) {
      QVERIFY(!p->IsCreated() && !p->IsActive());
      QCOMPARE(p->parentWidget(), nullptr);
      QCOMPARE(p->Wizard(), nullptr);
    }
    QCOMPARE(w.dlg.CurrentPage(), nullptr);
  }

  void finishVetoesKeepTheWizardOpen() {
    {
      Wizard3 w;
      w.b.finishResult = 0;
      w.Start();
      w.dlg.OnNext();
      w.dlg.OnNext();
      w.Take();
      w.dlg.OnNext();
      QCOMPARE(w.Take(), QStringList({"C:OnWizardNext", "C:OnKillActive", "A:OnWizardFinish",
                                      "B:OnWizardFinish"}));
      QVERIFY(w.dlg.isVisible());
      QVERIFY(w.dlg.result() != WizardDlg::kFinishResult);
      QCOMPARE(w.dlg.CurrentPage(), &w.c);
    }
    {
      Wizard3 w;
      w.a.killResult = 0;
      w.Start();
      QVERIFY(w.dlg.ExecuteCommand(WizardDlg::kIdFinish));
      QCOMPARE(w.Take(), QStringList({"A:OnKillActive"}));
      QVERIFY(w.dlg.isVisible());
    }
    {
      // Only created pages are asked; the dialog's own accept() is Finish too.
      Wizard3 w;
      w.Start();
      w.dlg.accept();
      QCOMPARE(w.Take(), QStringList({"A:OnKillActive", "A:OnWizardFinish"}) + DestroyAll({"A"}));
      QCOMPARE(w.dlg.result(), WizardDlg::kFinishResult);
    }
  }

  void cancelAsksEveryCreatedPage() {
    Wizard3 w;
    w.b.queryCancelResult = 0;
    w.Start();
    w.dlg.OnNext();
    w.Take();
    QVERIFY(w.dlg.ExecuteCommand(WizardDlg::kIdCancel));
    QCOMPARE(w.Take(), QStringList({"A:OnQueryCancel", "B:OnQueryCancel"}));
    QVERIFY(w.dlg.isVisible());
    // Escape and closing the window are Cancel, with the same veto.
    QTest::keyClick(&w.dlg, Qt::Key_Escape);
    QVERIFY(w.dlg.isVisible());
    QVERIFY(!w.dlg.close());
    QVERIFY(w.dlg.isVisible());
    QCOMPARE(w.Take().count("B:OnQueryCancel"), 2);

    w.b.queryCancelResult = 1;
    QTest::keyClick(&w.dlg, Qt::Key_Escape);
    QCOMPARE(w.Take(),
             QStringList({"A:OnQueryCancel", "B:OnQueryCancel"}) + DestroyAll({"A", "B"}));
    QVERIFY(!w.dlg.isVisible());
    QCOMPARE(w.dlg.result(), WizardDlg::kCancelResult);
  }

  void destroySequenceSkipsARefusingPage() {
    QStringList log;
    RecordingPage a("A", &log), b("B", &log);
    auto dlg = std::make_unique<WizardDlg>();
    dlg->AddPage(&a, kT0);
    dlg->AddPage(&b, kT1);
    dlg->show();
    dlg->OnNext();
    a.killResult = 0;
    log.clear();
    dlg->OnCancel();
    QCOMPARE(log, QStringList({"A:OnQueryCancel", "B:OnQueryCancel", "A:OnKillActive"}) +
                      DestroyAll({"B"}));
    QVERIFY(a.IsCreated());
    QVERIFY(dlg->isAncestorOf(&a));
    QVERIFY(!b.IsCreated());

    // Destroying the frame asks the page again; refusing or not, it survives the frame.
    log.clear();
    dlg.reset();
    QCOMPARE(log, QStringList({"A:OnKillActive"}));
    QCOMPARE(a.parentWidget(), nullptr);
    QCOMPARE(a.Wizard(), nullptr);
  }

  void pagesDeletedOrEndingTheRunAreNotTouched() {
    QStringList log;
    auto a = std::make_unique<RecordingPage>("A", &log);
    auto b = std::make_unique<RecordingPage>("B", &log);
    RecordingPage c("C", &log);
    WizardDlg dlg;
    dlg.AddPage(a.get(), kT0);
    dlg.AddPage(b.get(), kT1);
    dlg.AddPage(&c, kT2);
    QVERIFY(!dlg.AddPage(&c, 5));  // already in the list
    QVERIFY(!dlg.AddPage(nullptr, 5));
    dlg.show();
    dlg.OnNext();
    a.reset();  // a created page, not on show
    QCOMPARE(dlg.PageCount(), 2);
    dlg.OnBack();  // B is first now: nothing before it
    QCOMPARE(dlg.CurrentPage(), b.get());
    b.reset();  // the page on show
    QCOMPARE(dlg.CurrentPage(), nullptr);
    dlg.OnNext();
    dlg.OnBack();
    dlg.OnFinishCommand();
    QCOMPARE(dlg.result(), WizardDlg::kFinishResult);
  }

  void runEndedInsideAPageCallbackStopsTheMove() {
    Wizard3 w;
    w.a.nextHook = [&w] { w.dlg.OnCancel(); };
    w.Start();
    w.dlg.OnNext();
    QCOMPARE(w.Take(), QStringList({"A:OnWizardNext", "A:OnQueryCancel"}) + DestroyAll({"A"}));
    QVERIFY(!w.b.IsCreated());
    QVERIFY(!w.dlg.isVisible());
    QCOMPARE(w.dlg.result(), WizardDlg::kCancelResult);
    QCOMPARE(w.dlg.windowTitle(), QString("T0"));
  }

  void pageKeepsItsSizeAndIsFullyVisible() {
    QStringList log;
    RecordingPage small("S", &log), large("L", &log);
    large.resize(520, 300);
    WizardDlg dlg;
    dlg.AddPage(&small, kT0);
    dlg.AddPage(&large, kT1);
    dlg.show();
    QCOMPARE(small.pos(), QPoint(0, 0));
    QCOMPARE(small.size(), small.sizeHint());
    dlg.OnNext();
    QApplication::processEvents();
    QCOMPARE(large.parentWidget(), dlg.Placeholder());
    QCOMPARE(dlg.Placeholder()->objectName(), QString("placeholder"));
    QCOMPARE(large.geometry(), QRect(0, 0, 520, 300));
    QVERIFY(dlg.Placeholder()->rect().contains(large.geometry()));
    QVERIFY(dlg.rect().contains(dlg.Placeholder()->geometry()));
  }

  void headingFontIsBoldSixteenPixelsInTheAppFamily() {
    QStringList log;
    RecordingPage page("P", &log);
    QCOMPARE(page.HeadingFont().pixelSize(), 16);
    QCOMPARE(page.HeadingFont().weight(), QFont::Bold);
    QCOMPARE(page.HeadingFont().family(), QApplication::font().family());
  }

  void modalRunsReturnFinishOrCancel() {
    Wizard3 w;
    // Each run ends within seconds even if a click goes astray.
    const auto guard = [&w] { QTimer::singleShot(5000, &w.dlg, [&w] { w.dlg.done(-1); }); };
    const auto clickLater = [&w](QPushButton* button, int ms) {
      QTimer::singleShot(ms, &w.dlg, [button] { button->click(); });
    };

    guard();
    for (int i = 1; i <= 3; ++i) {
      clickLater(w.dlg.NextButton(), 10 * i);
    }
    QCOMPARE(w.dlg.exec(), WizardDlg::kFinishResult);

    // A second run starts over on the first page; the pages keep their controls.
    w.c.finishResult = 0;
    w.Take();
    guard();
    QTimer::singleShot(10, &w.dlg, [&w] {
      QCOMPARE(w.dlg.CurrentPage(), &w.a);
      QCOMPARE(w.dlg.Step(), 0);
      QCOMPARE(w.dlg.NextButton()->text(), QString("下一步>"));
      QVERIFY(!w.dlg.BackButton()->isEnabled());
      w.dlg.OnFinishCommand();  // C is not created: nobody vetoes
    });
    QCOMPARE(w.dlg.exec(), WizardDlg::kFinishResult);
    QCOMPARE(w.a.buildCount, 1);

    guard();
    for (int i = 1; i <= 3; ++i) {
      clickLater(w.dlg.NextButton(), 10 * i);  // the third click is vetoed by C
    }
    clickLater(w.dlg.CancelButton(), 50);
    QCOMPARE(w.dlg.exec(), WizardDlg::kCancelResult);
  }
};

QTEST_MAIN(TestWizardDlg)
#include "tst_wizard_dlg.moc"

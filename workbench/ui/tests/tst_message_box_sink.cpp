// Tests of the message-box sinks: the box the Qt sink builds (icon, Chinese buttons, caption),
// the answers it reports on the GUI thread and from a worker thread, and the recording sink
// that the other widget tests rely on.
#include <atomic>
#include <chrono>
#include <thread>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/tests/widget_test_support.h"

using namespace talvek;

namespace {

// Acts on the first message box that becomes the active modal widget.
using BoxDriver = ui_testing::ModalDriver<QMessageBox>;

QPushButton* ButtonWithText(QMessageBox* box, const char* text) {
  for (QAbstractButton* b : box->buttons()) {
    if (b->text() == QString::fromUtf8(text))
      return qobject_cast<QPushButton*>(b);
  }
  return nullptr;
}

}  // namespace

class TestMessageBoxSink : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QGuiApplication::setApplicationDisplayName(QStringLiteral("Q9")); }

  void okBoxHasOneChineseButtonAndDefaultCaption() {
    QWidget parent;
    std::unique_ptr<QMessageBox> box(CreateMessageBox(
        "文件不是有效的设备文件!", {}, MessageButtons::kOk, MessageIcon::kWarning, &parent));
    QCOMPARE(box->text(), QStringLiteral("文件不是有效的设备文件!"));
    QCOMPARE(box->icon(), QMessageBox::Warning);
    QCOMPARE(box->windowTitle(), QStringLiteral("Q9"));
    QCOMPARE(box->parentWidget(), &parent);
    QCOMPARE(box->buttons().size(), 1);
    QPushButton* ok = ButtonWithText(box.get(), "确定");
    QVERIFY(ok != nullptr);
    QCOMPARE(box->defaultButton(), ok);
    QCOMPARE(box->escapeButton(), ok);
  }

  void okCancelBoxHasBothButtonsAndGivenCaption() {
    std::unique_ptr<QMessageBox> box(CreateMessageBox("你确定要删除该画面吗", "删除",
                                                      MessageButtons::kOkCancel,
                                                      MessageIcon::kQuestion, nullptr));
    QCOMPARE(box->windowTitle(), QStringLiteral("删除"));
    QCOMPARE(box->icon(), QMessageBox::Question);
    QCOMPARE(box->buttons().size(), 2);
    QPushButton* ok = ButtonWithText(box.get(), "确定");
    QPushButton* cancel = ButtonWithText(box.get(), "取消");
    QVERIFY(ok != nullptr && cancel != nullptr);
    QCOMPARE(box->defaultButton(), ok);
    QCOMPARE(box->escapeButton(), cancel);
  }

  // Each way of closing an OK/Cancel box maps to the answer the user meant.
  void answersOnGuiThread_data() {
    QTest::addColumn<int>("buttons");
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("expected");
    const int okCancel = int(MessageButtons::kOkCancel);
    QTest::newRow("ok clicked") << okCancel << "确定" << int(MessageAnswer::kOk);
    QTest::newRow("cancel clicked") << okCancel << "取消" << int(MessageAnswer::kCancel);
    QTest::newRow("escape") << okCancel << "escape" << int(MessageAnswer::kCancel);
    QTest::newRow("enter") << okCancel << "enter" << int(MessageAnswer::kOk);
    QTest::newRow("ok-only escape")
        << int(MessageButtons::kOk) << "escape" << int(MessageAnswer::kOk);
  }
  void answersOnGuiThread() {
    QFETCH(int, buttons);
    QFETCH(QString, how);
    QFETCH(int, expected);
    QWidget owner;
    QtMessageSink sink(&owner);
    QWidget* seenParent = nullptr;
    BoxDriver driver([&](QMessageBox* box) {
      seenParent = box->parentWidget();
      if (how == "escape") {
        QTest::keyClick(box, Qt::Key_Escape);
      } else if (how == "enter") {
        QTest::keyClick(box, Qt::Key_Return);
      } else {
        ButtonWithText(box, how.toUtf8().constData())->click();
      }
    });
    const MessageAnswer answer =
        sink.ShowMessage("问题", "标题", MessageButtons(buttons), MessageIcon::kQuestion);
    QVERIFY(driver.acted());
    QCOMPARE(int(answer), expected);
    QCOMPARE(seenParent, &owner);
  }

  // A box asked for by a worker thread is shown by the GUI thread; the worker waits for a
  // question's answer, but not for an OK-only message (whose answer is known).
  void workerThreadMessages() {
    QtMessageSink sink;
    std::atomic<bool> done{false};
    MessageAnswer answer = MessageAnswer::kOk;
    {
      BoxDriver driver([](QMessageBox* box) { ButtonWithText(box, "取消")->click(); });
      std::thread worker([&] {
        answer = sink.ShowMessage("继续吗", {}, MessageButtons::kOkCancel, MessageIcon::kQuestion);
        done = true;
      });
      QTRY_VERIFY_WITH_TIMEOUT(done.load(), 10000);
      worker.join();
      QVERIFY(driver.acted());
      QCOMPARE(answer, MessageAnswer::kCancel);
    }

    done = false;
    std::thread worker([&] {
      answer = sink.ShowMessage("通讯出错", {}, MessageButtons::kOk, MessageIcon::kError);
      done = true;
    });
    // No events are processed here: a worker waiting for the GUI thread would never finish.
    for (int i = 0; i < 200 && !done; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool returnedWithoutWaiting = done.load();
    QString shownText;
    BoxDriver driver([&](QMessageBox* box) {
      shownText = box->text();
      ButtonWithText(box, "确定")->click();
    });
    QTRY_VERIFY_WITH_TIMEOUT(driver.acted(), 10000);
    worker.join();
    QVERIFY(returnedWithoutWaiting);
    QCOMPARE(answer, MessageAnswer::kOk);
    QCOMPARE(shownText, QStringLiteral("通讯出错"));
  }

  void recordingSinkRecordsAndAnswersFromQueue() {
    RecordingMessageSink sink;
    sink.QueueAnswer(MessageAnswer::kCancel);
    // An OK-only message neither consumes nor changes the queued answer.
    QCOMPARE(ShowMessage("提示"), MessageAnswer::kOk);
    QCOMPARE(ShowMessage("删除吗", "删除", MessageButtons::kOkCancel, MessageIcon::kQuestion),
             MessageAnswer::kCancel);
    QCOMPARE(ShowMessage("再删除吗", {}, MessageButtons::kOkCancel), MessageAnswer::kOk);

    QCOMPARE(sink.Messages().size(), std::size_t{3});
    const RecordedMessage& second = sink.Messages()[1];
    QCOMPARE(second.text, std::string("删除吗"));
    QCOMPARE(second.caption, std::string("删除"));
    QCOMPARE(second.buttons, MessageButtons::kOkCancel);
    QCOMPARE(second.icon, MessageIcon::kQuestion);
    QCOMPARE(sink.Messages()[0].icon, MessageIcon::kWarning);  // ShowMessage's default icon
    QCOMPARE(sink.LastText(), std::string("再删除吗"));
  }
};

QTEST_MAIN(TestMessageBoxSink)
#include "tst_message_box_sink.moc"

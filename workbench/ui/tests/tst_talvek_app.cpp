// Tests of the application object and the recent-project list: the command line, start-up with a
// relative or a broken project path, Qt's Chinese texts, the scratch tag record, and the list's
// four entries in the profile with their shortened menu captions, and a visible glyph for every
// character the program's texts use.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QImage>
#include <QLibraryInfo>
#include <QPainter>
#include <QtTest>

#include "common/testing/test_support.h"
#include "platform/registry.h"
#include "workbench/project/new_records.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/recent_files.h"
#include "workbench/ui/talvek_app.h"

using namespace talvek;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

// A project file with empty data files in `dir`/`sub`; its path.
std::string MakeProject(const TempDir& dir, const std::string& sub) {
  const std::filesystem::path folder = dir / sub;
  std::filesystem::create_directories(folder);
  for (const char* name : {"Device.dat", "Tag.dat", "Comm.dat"})
    testing_support::WriteFileBytes(folder / name, {});
  const std::filesystem::path file = folder / "测试.ZRPrj";
  testing_support::WriteFileBytes(file, {});
  return file.string();
}

std::optional<std::string> ProfileEntry(int number) {
  // Spelled out: the list must land where the profile keeps it.
  return platform::Registry::Instance().GetString(
      "HKEY_CURRENT_USER\\Software\\VO DAROR\\Q9\\Recent File List",
      "File" + std::to_string(number));
}

// Every character outside ASCII in the program's own sources (UTF-8; the demo project's texts
// are in tools/), comments included: the texts shown are a subset, and a symbol in a comment is
// usually one in a nearby text too.
std::set<char32_t> CharactersOfSources(const std::filesystem::path& root) {
  std::set<char32_t> found;
  for (const char* folder : {"common", "platform", "workbench", "plugins", "drivers", "tools"}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root / folder)) {
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h") ||
          entry.path().string().find("/tests/") != std::string::npos)
        continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes{std::istreambuf_iterator<char>(in), {}};
      for (const char32_t c : QString::fromUtf8(bytes).toUcs4()) {
        if (c > 0x7F)
          found.insert(c);
      }
    }
  }
  return found;
}

// Whether `c` leaves ink when drawn in the application font (large, so that thin strokes such as
// the dots of "…" are solid).
bool DrawsVisibly(char32_t c) {
  QImage image(48, 48, QImage::Format_Grayscale8);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    QFont font = QApplication::font();
    font.setPixelSize(32);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QRect(0, 0, 48, 48), Qt::AlignCenter, QString::fromUcs4(&c, 1));
  }
  for (int y = 0; y < image.height(); ++y) {
    const uchar* line = image.constScanLine(y);
    for (int x = 0; x < image.width(); ++x) {
      if (line[x] < 128)
        return true;
    }
  }
  return false;
}

FrameOptions QuietFrame() {
  FrameOptions options;
  options.openEndpoint = false;
  return options;
}

}  // namespace

class TestTalvekApp : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void commandLine_data();
  void commandLine();
  void abbreviatedPaths_data();
  void abbreviatedPaths();
  void recentListKeepsFourNewestInProfile();
  void recentMenuLabels();
  void startOpensRelativeProjectAbsolute();
  void startEndsWhenProjectDoesNotOpen();
  void startUpMakesChineseUiAndZeroesScratchRecord();
  void everyCharacterOfOurTextsHasAGlyph();

 private:
  std::unique_ptr<TempDir> config_;
  std::unique_ptr<ScopedEnv> configEnv_;
  std::unique_ptr<RecordingMessageSink> sink_;
  QString oldCurrent_;
};

void TestTalvekApp::init() {
  config_ = std::make_unique<TempDir>();
  configEnv_ = std::make_unique<ScopedEnv>("TALVEK_CONFIG_DIR", config_->str());
  platform::Registry::Instance().Reload();
  sink_ = std::make_unique<RecordingMessageSink>();
  oldCurrent_ = QDir::currentPath();
}

void TestTalvekApp::cleanup() {
  QDir::setCurrent(oldCurrent_);
  Project().ClearTables();
  Project().folder[0] = '\0';
  sink_.reset();
  configEnv_.reset();
  config_.reset();
  platform::Registry::Instance().Reload();
}

void TestTalvekApp::commandLine_data() {
  QTest::addColumn<QStringList>("arguments");
  QTest::addColumn<bool>("ok");
  QTest::addColumn<QString>("project");
  QTest::addColumn<bool>("start");
  QTest::addColumn<QString>("screenshot");
  QTest::addColumn<int>("delay");
  QTest::newRow("nothing") << QStringList{"talvek"} << true << "" << false << "" << 4000;
  QTest::newRow("a project") << QStringList{"talvek", "a/b.ZRPrj"} << true << "a/b.ZRPrj" << false
                             << "" << 4000;
  QTest::newRow("all options") << QStringList{"talvek",       "--start",   "p.ZRPrj",
                                              "--screenshot", "s.png",     "--screenshot-delay",
                                              "10",           "--monitor", "--filter",
                                              "温度",         "--trend",   "温度,,压力"}
                               << true << "p.ZRPrj" << true << "s.png" << 10;
  QTest::newRow("unknown option") << QStringList{"talvek", "--bogus"} << false << "" << false << ""
                                  << 4000;
  QTest::newRow("two projects") << QStringList{"talvek", "a.ZRPrj", "b.ZRPrj"} << false << "a.ZRPrj"
                                << false << "" << 4000;
  QTest::newRow("missing value") << QStringList{"talvek", "--screenshot"} << false << "" << false
                                 << "" << 4000;
  QTest::newRow("trend without names")
      << QStringList{"talvek", "--trend", ","} << false << "" << false << "" << 4000;
  QTest::newRow("bad delay") << QStringList{"talvek", "--screenshot-delay", "-5"} << false << ""
                             << false << "" << -5;
}

void TestTalvekApp::commandLine() {
  QFETCH(QStringList, arguments);
  QFETCH(bool, ok);
  QFETCH(QString, project);
  QFETCH(bool, start);
  QFETCH(QString, screenshot);
  QFETCH(int, delay);
  CommandLineInfo info;
  QString error;
  QCOMPARE(ParseCommandLine(arguments, info, error), ok);
  QCOMPARE(error.isEmpty(), ok);
  QCOMPARE(info.projectFile, project);
  QCOMPARE(info.startCommunication, start);
  QCOMPARE(info.showMonitor, ok && arguments.contains(QStringLiteral("--monitor")));
  QCOMPARE(info.screenshotFile, screenshot);
  QCOMPARE(info.screenshotDelayMs, delay);
  QCOMPARE(info.listFilter,
           QString(ok && arguments.contains(QStringLiteral("--filter")) ? QStringLiteral("温度")
                                                                        : QString()));
  QCOMPARE(info.trendTags, ok && arguments.contains(QStringLiteral("--trend"))
                               ? QStringList({"温度", "压力"})
                               : QStringList());
}

void TestTalvekApp::abbreviatedPaths_data() {
  QTest::addColumn<QString>("path");
  QTest::addColumn<QString>("shown");
  QTest::newRow("fits") << "/home/u/p/demo.ZRPrj"
                        << "/home/u/p/demo.ZRPrj";
  QTest::newRow("exactly 30") << "/aaaaaaaaaa/bbbbbbbbbb/cc.ZRPr"
                              << "/aaaaaaaaaa/bbbbbbbbbb/cc.ZRPr";
  QTest::newRow("leading folders dropped") << "/home/engineer/projects/water/泵站/泵站.ZRPrj"
                                           << "/.../water/泵站/泵站.ZRPrj";
  QTest::newRow("only the name fits after the ellipsis")
      << "/home/engineer/projects/a_rather_long_name.ZRPrj"
      << "/.../a_rather_long_name.ZRPrj";
  QTest::newRow("name alone too long") << "/x/a_project_name_that_is_far_too_long.ZRPrj"
                                       << "a_project_name_that_is_far_too_long.ZRPrj";
  // Thirty Chinese characters are thirty characters, not sixty or ninety bytes.
  QTest::newRow("characters, not bytes")
      << "/一二三四五六七八九十/一二三四五六七八九十/一二三四五六七"
      << "/一二三四五六七八九十/一二三四五六七八九十/一二三四五六七";
}

void TestTalvekApp::abbreviatedPaths() {
  QFETCH(QString, path);
  QFETCH(QString, shown);
  QCOMPARE(AbbreviatePath(path), shown);
  QVERIFY(shown.size() <= kRecentFileDisplayLength || !shown.contains('/'));
}

void TestTalvekApp::recentListKeepsFourNewestInProfile() {
  CRecentFileList list;
  list.Load();
  QVERIFY(list.IsEmpty());
  for (const char* path : {"/p/1.ZRPrj", "/p/2.ZRPrj", "/p/3.ZRPrj", "/p/4.ZRPrj"})
    QVERIFY(list.Add(path));
  QCOMPARE(list.Count(), std::size_t{4});
  // A fifth entry pushes the oldest out.
  QVERIFY(list.Add("/p/5.ZRPrj"));
  QCOMPARE(list.Count(), std::size_t{4});
  QCOMPARE(list.Entry(0), std::string("/p/5.ZRPrj"));
  QCOMPARE(list.Entry(3), std::string("/p/2.ZRPrj"));
  QCOMPARE(ProfileEntry(1), std::optional<std::string>("/p/5.ZRPrj"));
  QCOMPARE(ProfileEntry(4), std::optional<std::string>("/p/2.ZRPrj"));
  QVERIFY(!ProfileEntry(5));

  // An entry opened again moves to the head instead of appearing twice.
  QVERIFY(list.Add("/p/3.ZRPrj"));
  QCOMPARE(list.Count(), std::size_t{4});
  QCOMPARE(list.Entry(0), std::string("/p/3.ZRPrj"));
  QCOMPARE(list.Entry(1), std::string("/p/5.ZRPrj"));
  QCOMPARE(list.Entry(2), std::string("/p/4.ZRPrj"));

  // The next start reads the same list back.
  platform::Registry::Instance().Reload();
  CRecentFileList again;
  again.Load();
  QCOMPARE(again.Count(), std::size_t{4});
  for (std::size_t i = 0; i < 4; ++i)
    QCOMPARE(again.Entry(i), list.Entry(i));

  // Removing an entry closes the gap in the profile.
  QVERIFY(again.Remove(0));
  QCOMPARE(ProfileEntry(1), std::optional<std::string>("/p/5.ZRPrj"));
  QCOMPARE(ProfileEntry(3), std::optional<std::string>("/p/2.ZRPrj"));
  QVERIFY(!ProfileEntry(4));
}

void TestTalvekApp::recentMenuLabels() {
  CRecentFileList list;
  QVERIFY(list.Add("/home/engineer/projects/water/泵站/泵站.ZRPrj"));
  QVERIFY(list.Add("/srv/R&D/a.ZRPrj"));
  QCOMPARE(list.MenuLabel(0), QString("&1 /srv/R&&D/a.ZRPrj"));
  QCOMPARE(list.DisplayName(1), QString("/.../water/泵站/泵站.ZRPrj"));
  QCOMPARE(list.MenuLabel(1), QString("&2 /.../water/泵站/泵站.ZRPrj"));
  // The full path stays what is opened.
  QCOMPARE(list.Entry(1), std::string("/home/engineer/projects/water/泵站/泵站.ZRPrj"));
}

void TestTalvekApp::startOpensRelativeProjectAbsolute() {
  TempDir dir;
  const std::string file = MakeProject(dir, "工程/泵站");
  QVERIFY(QDir::setCurrent(QString::fromStdString(dir.str())));
  CTalvekApp app(sink_.get());
  QVERIFY(app.InitInstance({"talvek", "工程/泵站/测试.ZRPrj"}, QuietFrame()));
  CMainFrame* frame = app.MainFrame();
  QVERIFY(frame != nullptr && frame->isVisible());
  QCOMPARE(frame->Document().GetPathName(), file);
  QCOMPARE(frame->RecentFiles().Entry(0), file);
  QCOMPARE(frame->windowTitle(), QString("测试.ZRPrj - Q9"));
  QCOMPARE(ProfileEntry(1), std::optional<std::string>(file));
  QVERIFY(sink_->Messages().empty());
  QVERIFY(frame->close());
  QCOMPARE(app.ExitInstance(), 0);
}

void TestTalvekApp::startEndsWhenProjectDoesNotOpen() {
  TempDir dir;
  {
    CTalvekApp app(sink_.get());
    QVERIFY(!app.InitInstance({"talvek", QString::fromStdString(dir.str()) + "/none.ZRPrj"},
                              QuietFrame()));
    QCOMPARE(sink_->Messages().size(), std::size_t{1});
    QVERIFY(sink_->LastText().find("无法打开工程文件") != std::string::npos);
    QVERIFY(app.MainFrame() == nullptr || !app.MainFrame()->isVisible());
  }
  {
    CTalvekApp app(sink_.get());
    QVERIFY(!app.InitInstance({"talvek", "--no-such-option"}, QuietFrame()));
    QVERIFY(sink_->LastText().find("--no-such-option") != std::string::npos);
  }
  // A project that did not open is not on the recent list.
  QVERIFY(!ProfileEntry(1));
}

void TestTalvekApp::startUpMakesChineseUiAndZeroesScratchRecord() {
  std::memset(&SharedScratchTag(), 0x5A, sizeof(TagRecord));
  CTalvekApp app(sink_.get());
  QVERIFY(app.InitInstance({"talvek"}, QuietFrame()));
  const TagRecord zero{};
  QCOMPARE(std::memcmp(&SharedScratchTag(), &zero, sizeof zero), 0);
  QCOMPARE(app.MainFrame()->windowTitle(), QString("工程浏览器---------空项目 - Q9"));
  QCOMPARE(QApplication::applicationDisplayName(), QString("Q9"));
  // Qt's own dialogs speak Chinese when its translation is installed on this machine.
  const QString qm = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_zh_CN.qm";
  if (QFileInfo::exists(qm))
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("取消"));
  // The scratch record keeps what a use put into it until the program ends.
  SharedScratchTag().varType = 2;
  QCOMPARE(SharedScratchTag().varType, 2);
  QVERIFY(app.MainFrame()->close());
  QCOMPARE(app.ExitInstance(), 0);
  QCOMPARE(SharedScratchTag().varType, 0);
  QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("Cancel"));
}

void TestTalvekApp::everyCharacterOfOurTextsHasAGlyph() {
  QVERIFY(UseChineseFont());
  const char* root = std::getenv("TALVEK_SOURCE_DIR");
  QVERIFY(root != nullptr);
  const std::set<char32_t> characters = CharactersOfSources(root);
  QVERIFY(characters.count(U'℃') == 1);
  QString blank;
  for (const char32_t c : characters) {
    const QChar::Category category = QChar::category(c);
    if (QChar::isSpace(c) || category == QChar::Other_Format || category == QChar::Other_PrivateUse)
      continue;
    if (!DrawsVisibly(c))
      blank += QString::fromUcs4(&c, 1) + QStringLiteral(" U+%1 ").arg(c, 4, 16, QChar('0'));
  }
  QVERIFY2(blank.isEmpty(), qPrintable(QStringLiteral("drawn blank: ") + blank));
}

QTEST_MAIN(TestTalvekApp)
#include "tst_talvek_app.moc"

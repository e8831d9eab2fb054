#include "workbench/ui/talvek_app.h"

#include <cstdio>
#include <cstring>

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QTranslator>

#include "platform/com.h"
#include "workbench/project/message_sink.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/ui/proj_tree_view.h"

namespace talvek {
namespace {

// Fonts with the Chinese glyphs, best first. The first choice must draw the symbols our texts use
// as well: WenQuanYi Micro Hei maps "℃" (U+2103) to an empty glyph, so Qt would show a blank
// and never ask the next font; it is kept as a fallback for machines without the others.
constexpr const char* kChineseFonts[] = {"Noto Sans CJK SC", "Source Han Sans SC",
                                         "WenQuanYi Micro Hei", "WenQuanYi Zen Hei"};

}  // namespace

TagRecord& SharedScratchTag() {
  static TagRecord scratch{};
  return scratch;
}

bool ParseCommandLine(const QStringList& arguments, CommandLineInfo& info, QString& error) {
  info = CommandLineInfo{};
  error.clear();
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    const auto value = [&](QString& out) {
      if (i + 1 >= arguments.size()) {
        error = QStringLiteral("选项 %1 缺少参数").arg(argument);
        return false;
      }
      out = arguments[++i];
      return true;
    };
    if (argument == QLatin1String("--start")) {
      info.startCommunication = true;
    } else if (argument == QLatin1String("--monitor")) {
      info.showMonitor = true;
    } else if (argument == QLatin1String("--trend")) {
      QString text;
      if (!value(text))
        return false;
      info.trendTags = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
      if (info.trendTags.isEmpty()) {
        error = QStringLiteral("选项 --trend 缺少变量名");
        return false;
      }
    } else if (argument == QLatin1String("--screenshot")) {
      if (!value(info.screenshotFile))
        return false;
    } else if (argument == QLatin1String("--import-tags")) {
      if (!value(info.importTagsFile))
        return false;
    } else if (argument == QLatin1String("--port-settings")) {
      if (!value(info.portSettings))
        return false;
    } else if (argument == QLatin1String("--screenshot-delay")) {
      QString text;
      if (!value(text))
        return false;
      bool ok = false;
      info.screenshotDelayMs = text.toInt(&ok);
      if (!ok || info.screenshotDelayMs < 0) {
        error = QStringLiteral("无效的截图延时：%1").arg(text);
        return false;
      }
    } else if (argument == QLatin1String("--filter")) {
      if (!value(info.listFilter))
        return false;
    } else if (argument.startsWith(QLatin1String("--"))) {
      error = QStringLiteral("未知选项：%1").arg(argument);
      return false;
    } else if (!info.projectFile.isEmpty()) {
      error = QStringLiteral("只能打开一个工程文件：%1").arg(argument);
      return false;
    } else {
      info.projectFile = argument;
    }
  }
  return true;
}

bool InstallChineseTranslation(QTranslator& translator) {
  if (!translator.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                       QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    return false;
  }
  return QCoreApplication::installTranslator(&translator);
}

bool UseChineseFont() {
  // Every installed one, in order: a character the first lacks is taken from the next.
  const QStringList installed = QFontDatabase::families();
  QStringList families;
  for (const char* family : kChineseFonts) {
    if (installed.contains(QString::fromUtf8(family)))
      families.append(QString::fromUtf8(family));
  }
  if (families.isEmpty())
    return false;
  QFont font = QApplication::font();
  font.setFamilies(families);
  QApplication::setFont(font);
  return true;
}

CTalvekApp::CTalvekApp(MessageSink* sink) : sink_(sink != nullptr ? sink : &qtSink_) {}

CTalvekApp::~CTalvekApp() {
  if (comInitialized_ || sinkInstalled_)
    ExitInstance();
}

bool CTalvekApp::InitInstance(const QStringList& arguments, FrameOptions options) {
  // The driver host creates the protocol drivers through COM; the result does not matter.
  static_cast<void>(platform::CoInitialize(nullptr));
  comInitialized_ = true;

  // Message boxes take the application's name as their caption.
  QApplication::setApplicationDisplayName(QString::fromUtf8(kAppTitle));
  translator_ = std::make_unique<QTranslator>();
  if (!InstallChineseTranslation(*translator_))
    translator_.reset();
  UseChineseFont();
  SetMessageSink(sink_);
  sinkInstalled_ = true;

  QString error;
  if (!ParseCommandLine(arguments, commandLine_, error)) {
    ShowMessage(error.toStdString(), {}, MessageButtons::kOk, MessageIcon::kError);
    return false;
  }

  frame_ = std::make_unique<CMainFrame>(std::move(options));
  qtSink_.SetParentWidget(frame_.get());
  if (commandLine_.projectFile.isEmpty()) {
    frame_->Document().OnNewDocument();
  } else if (!frame_->OpenDocumentFile(commandLine_.projectFile)) {
    return false;
  }
  frame_->show();
  std::memset(&SharedScratchTag(), 0, sizeof(TagRecord));
  ScheduleCommandLineActions();
  return true;
}

void CTalvekApp::ScheduleCommandLineActions() {
  CMainFrame* frame = frame_.get();
  if (commandLine_.showMonitor) {
    // Shown, not toggled: a layout restored from the settings may show them already.
    QTimer::singleShot(0, frame, [frame] { frame->ShowDiagnosticPanes(); });
  }
  if (commandLine_.startCommunication) {
    QTimer::singleShot(0, frame, [frame] { frame->ExecuteCommand(kCmdStartCommunication); });
  }
  if (!commandLine_.importTagsFile.isEmpty()) {
    const QString file = commandLine_.importTagsFile;
    QTimer::singleShot(500, frame, [frame, file] {
      if (frame->Panes().importTags)
        frame->Panes().importTags(file);
    });
  }
  if (!commandLine_.listFilter.isEmpty()) {
    const QString text = commandLine_.listFilter;
    QTimer::singleShot(0, frame, [frame, text] {
      if (auto* box = frame->findChild<QLineEdit*>(QStringLiteral("listFilter")))
        box->setText(text);
    });
  }
  if (!commandLine_.trendTags.isEmpty()) {
    // After the start above: a start reloads the tag table the names are looked up in.
    const QStringList names = commandLine_.trendTags;
    QTimer::singleShot(0, frame, [frame, names] {
      const QStringList unknown = frame->AddToTrendByName(names);
      if (!unknown.isEmpty())
        ShowMessage(QStringLiteral("没有以下变量，没有加入趋势：%1")
                        .arg(unknown.join(QStringLiteral("、")))
                        .toStdString(),
                    {}, MessageButtons::kOk, MessageIcon::kWarning);
    });
  }
  if (!commandLine_.portSettings.isEmpty()) {
    const QString port = commandLine_.portSettings;
    QTimer::singleShot(0, frame, [frame, port] {
      auto* tree = frame->findChild<CProjTreeView*>();
      if (tree == nullptr || !tree->EditPort(port))
        std::fprintf(stderr, "talvek: no port %s in the project tree\n",
                     port.toLocal8Bit().constData());
    });
  }
  if (!commandLine_.screenshotFile.isEmpty()) {
    const QString file = commandLine_.screenshotFile;
    QTimer::singleShot(commandLine_.screenshotDelayMs, frame, [frame, file] {
      // A dialog open over the window is a window of its own: the picture is then taken from
      // the screen, over both.
      QWidget* dialog = QApplication::activeModalWidget();
      QPixmap picture;
      if (dialog != nullptr && frame->screen() != nullptr) {
        const QRect area = frame->frameGeometry().united(dialog->frameGeometry());
        picture = frame->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
      } else {
        picture = frame->grab();
      }
      if (!picture.save(file))
        std::fprintf(stderr, "talvek: cannot save the screenshot %s\n",
                     file.toLocal8Bit().constData());
      if (dialog != nullptr)
        dialog->close();
      frame->close();
    });
  }
}

int CTalvekApp::ExitInstance() {
  std::memset(&SharedScratchTag(), 0, sizeof(TagRecord));
  if (sinkInstalled_) {
    SetMessageSink(nullptr);
    sinkInstalled_ = false;
  }
  if (translator_) {
    QCoreApplication::removeTranslator(translator_.get());
    translator_.reset();
  }
  if (comInitialized_) {
    platform::CoUninitialize();
    comInitialized_ = false;
  }
  return 0;
}

}  // namespace talvek

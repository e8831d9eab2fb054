// CTalvekApp: the workbench program's start and end. It initialises COM, makes the Chinese user
// interface complete (Qt's own zh_CN texts, a CJK font, real message boxes), creates the main
// frame, carries out the command line and shows the window.
//
//   QApplication qt(argc, argv);
//   CTalvekApp app;
//   if (!app.InitInstance(QApplication::arguments())) return 1;   // the project did not open
//   const int code = qt.exec();
//   app.ExitInstance();
#pragma once

#include <memory>

#include <QString>
#include <QStringList>

#include "common/records.h"
#include "workbench/ui/main_frame.h"
#include "workbench/ui/message_box_sink.h"

class QTranslator;

namespace talvek {

// The tag record handed to the tag editor plug-in when a new tag is created. It keeps its content
// from one use to the next; zero-filled at start and at exit.
TagRecord& SharedScratchTag();

// What the command line asks for.
struct CommandLineInfo {
  QString projectFile;              // a project file to open (as given; made absolute when opened)
  bool startCommunication = false;  // --start: press "开始通讯" once the window shows
  bool showMonitor = false;      // --monitor: show the communication monitor and device statistics
  QString screenshotFile;        // --screenshot FILE: save a picture of the window, then quit
  int screenshotDelayMs = 4000;  // --screenshot-delay MS: how long after showing
  QString importTagsFile;        // --import-tags FILE: import a tag file once the window shows
  QString listFilter;            // --filter TEXT: typed into the project list's filter box
  QStringList trendTags;  // --trend NAME,NAME,...: draw these tags in the trend (after --start)
  QString portSettings;   // --port-settings ComN: open that port's serial settings
};

// Parses the program's arguments (the first is the program itself). False, with `error` set,
// for an unknown option, a missing option value or more than one project file.
[[nodiscard]] bool ParseCommandLine(const QStringList& arguments, CommandLineInfo& info,
                                    QString& error);

// Installs Qt's own zh_CN translation (standard dialog buttons, file dialogs) when it can be
// found; true when it was installed.
bool InstallChineseTranslation(QTranslator& translator);

// Makes the installed CJK fonts the application font, best first with the others as fallbacks;
// true when one was found.
bool UseChineseFont();

class CTalvekApp {
 public:
  // `sink` shows the program's message boxes (null: real ones, centred on the main window); tests
  // pass a recording sink.
  explicit CTalvekApp(MessageSink* sink = nullptr);
  // Ends what InitInstance began when ExitInstance was not called.
  ~CTalvekApp();
  CTalvekApp(const CTalvekApp&) = delete;
  CTalvekApp& operator=(const CTalvekApp&) = delete;

  // Start-up: COM, translation, font, message boxes, main frame, command line, window shown,
  // scratch tag record zeroed. False when the program must end: a bad command line, or a project
  // file named on it that does not open (the user has been told why). `options` reach the frame.
  bool InitInstance(const QStringList& arguments, FrameOptions options = {});
  // Program end, after the event loop: zeroes the scratch record, removes the message sink and
  // undoes the COM initialisation. Returns the exit code 0.
  int ExitInstance();

  // The main window; null before InitInstance.
  CMainFrame* MainFrame() const { return frame_.get(); }
  // The command line as parsed by InitInstance.
  const CommandLineInfo& CommandLine() const { return commandLine_; }

 private:
  // --start and --screenshot, once the event loop runs.
  void ScheduleCommandLineActions();

  CommandLineInfo commandLine_;
  std::unique_ptr<QTranslator> translator_;
  QtMessageSink qtSink_;
  MessageSink* sink_;
  std::unique_ptr<CMainFrame> frame_;
  bool comInitialized_ = false;
  bool sinkInstalled_ = false;
};

}  // namespace talvek

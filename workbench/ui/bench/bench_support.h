// What the user interface's benchmarks share: the application they run in and the process's
// resident memory.
#pragma once

#include <unistd.h>

#include <cstdio>

#include <QApplication>

namespace ui_bench {

// The one QApplication of a benchmark program, offscreen unless QT_QPA_PLATFORM says otherwise.
inline QApplication& App() {
  static int argc = 1;
  static char name[] = "talvek_ui_bench";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  // Never destroyed: a QApplication torn down among the static destructors crashes at exit.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// The process's resident memory in kB (0 when /proc cannot be read).
inline long ResidentKb() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr)
    return 0;
  long pages = 0, resident = 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
    resident = 0;
  std::fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace ui_bench

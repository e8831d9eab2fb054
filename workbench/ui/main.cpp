// The workbench program: "talvek [project.ZRPrj] [--start] [--monitor] [--filter TEXT]
// [--trend NAME,...] [--import-tags FILE] [--port-settings ComN] [--screenshot FILE
// [--screenshot-delay MS]]".
#include <cstdio>
#include <cstdlib>

#include <QApplication>

#include "workbench/ui/talvek_app.h"

namespace {

bool HasDisplay() {
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
  };
  // A platform chosen explicitly (offscreen, a VNC server) needs no display of the desktop's own.
  return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "talvek: 找不到图形显示（DISPLAY 和 WAYLAND_DISPLAY 都没有设置）。\n"
                 "talvek: no display: set DISPLAY, or run it under xvfb-run.\n");
    return 1;
  }
  QApplication qt(argc, argv);
  talvek::CTalvekApp app;
  if (!app.InitInstance(QApplication::arguments()))
    return 1;
  const int code = QApplication::exec();
  app.ExitInstance();
  return code;
}

// The module's only export. The workbench loads "Almery.dll" (libAlmery.so) by file name and calls
// Show with two zeroed 260-byte buffers; nothing may be thrown back across that boundary.
#include <cstdio>
#include <exception>

#include "plugins/newproject/new_project_wizard.h"

// Runs the new-project wizard; 1 when the project was created (both buffers filled with GBK text),
// 0 when the user cancelled or the wizard could not run (buffers untouched).
extern "C" __attribute__((visibility("default"))) int Show(char* folderOut, char* nameOut) {
  try {
    return almery::RunNewProjectWizard(folderOut, nameOut);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Almery: Show failed: %s\n", e.what());
  } catch (...) {
    std::fputs("Almery: Show failed\n", stderr);
  }
  return 0;
}

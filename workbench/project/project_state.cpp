#include "workbench/project/project_state.h"

namespace talvek {

void ProjectState::ClearTables() {
  devices.RemoveAll();
  tags.clear();
  ports.clear();
  screens.clear();
}

ProjectState& Project() {
  static ProjectState state;
  return state;
}

}  // namespace talvek

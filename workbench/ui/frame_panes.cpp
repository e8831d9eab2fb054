#include "workbench/ui/frame_panes.h"

#include "workbench/ui/proj_list_view.h"
#include "workbench/ui/proj_tree_view.h"
#include "workbench/ui/talvek_app.h"

namespace talvek {

FramePanes CreateProjectPanes(ViewContext& context, QWidget* parent) {
  auto* tree = new CProjTreeView(context, parent);
  auto* list = new CProjListView(context, parent);
  // New tags start from the application's scratch record, which keeps its content between uses.
  list->SetScratchTagRecord(&SharedScratchTag());
  FramePanes panes;
  panes.tree = tree;
  panes.treeView = tree;
  panes.list = list;
  panes.listView = list;
  panes.startLiveTimer = [list] { list->StartLiveTimer(); };
  panes.stopLiveTimer = [list] { list->StopLiveTimer(); };
  panes.setLiveTickListener = [list](std::function<void()> listener) {
    list->SetLiveTickListener(std::move(listener));
  };
  panes.setListStyle = [list](int style) {
    switch (style) {
      case kListStyleLargeIcons:
        list->OnViewLargeIcons();
        break;
      case kListStyleSmallIcons:
        list->OnViewSmallIcons();
        break;
      default:
        list->OnViewDetails();
        break;
    }
  };
  panes.listCommand = [list](int command) { list->OnCommand(command); };
  panes.importTags = [list](const QString& path) { list->ImportTagsFrom(path); };
  return panes;
}

}  // namespace talvek

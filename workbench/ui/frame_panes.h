// The two panes of the main window's splitter, as the main frame sees them: a widget and a view
// for each side, and what the frame asks of the list (its refresh timer and its view style).
//
// The frame creates its panes through a PaneFactory, so tests can put recording panes in.
//
//   FramePanes panes = CreateProjectPanes(frame, splitter);
//   splitter->addWidget(panes.tree);
//   splitter->addWidget(panes.list);
//   panes.startLiveTimer();   // timer 1, 1000 ms: the list repaints the live values
#pragma once

#include <functional>

class QString;
class QWidget;

namespace talvek {

class ProjectView;
class ViewContext;

// List view styles, as the list's style index counts them.
inline constexpr int kListStyleLargeIcons = 0;
inline constexpr int kListStyleDetails = 1;
inline constexpr int kListStyleSmallIcons = 2;

struct FramePanes {
  QWidget* tree = nullptr;  // left pane: the project tree
  ProjectView* treeView = nullptr;
  QWidget* list = nullptr;  // right pane: the project list
  ProjectView* listView = nullptr;
  std::function<void()> startLiveTimer;                 // starts the list's 1000 ms refresh timer
  std::function<void()> stopLiveTimer;                  // kills it
  std::function<void(int style)> setListStyle;          // one of the kListStyle* values
  std::function<void(int command)> listCommand;         // the list's tag export and import commands
  std::function<void(const QString& path)> importTags;  // imports a tag file without a dialog
  // Sets what runs after each tick of the list's refresh timer (the trend's sample).
  std::function<void(std::function<void()> listener)> setLiveTickListener;
};

// Creates both panes as children of `parent`; `context` is the main frame.
using PaneFactory = std::function<FramePanes(ViewContext& context, QWidget* parent)>;

// The workbench's panes: the project tree on the left, the project list on the right.
FramePanes CreateProjectPanes(ViewContext& context, QWidget* parent);

}  // namespace talvek

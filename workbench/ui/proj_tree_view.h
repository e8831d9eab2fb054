// CProjTreeView: the project tree, the left pane of the main window.
//
// A fixed two-branch tree: "设备" with one node per serial port in use ("Com1", "Com2", then
// "Com<n>" for each further port a device uses, in device-table order), and "变量数据库" with
// "变量维护". Selecting a node switches the list pane through a view-update hint; double-clicking
// a port node, or its context-menu command "属性", edits that port's serial settings.
//
//   CProjTreeView tree(mainFrame, splitter);   // mainFrame implements ViewContext
//   tree.OnUpdate(kHintProjectOpened);         // builds the tree for the open project
//
// Nodes are told apart by their texts only; no node refers to a record of the project, so a
// rebuild never leaves a node pointing into a table that changed.
#pragma once

#include <cstdint>
#include <functional>

#include <QWidget>

#include "common/records.h"
#include "workbench/ui/view_context.h"

class QAction;
class QMenu;
class QPoint;
class QTreeWidget;
class QString;
class QTreeWidgetItem;

namespace talvek {

struct ProjectState;

// Command identifier of the port node's context-menu item "属性" (serial settings).
inline constexpr int kCommandPortProperties = 10016;

class CProjTreeView : public QWidget, public ProjectView {
  Q_OBJECT

 public:
  // Edits a copy of a port's settings modally over `parent`; true when the user confirmed (the
  // copy then holds the new settings). Replaceable so that tests never block on a dialog.
  using SettingsEditor = std::function<bool(CommSettings& settings, QWidget* parent)>;
  // Shows `menu` at `globalPos` and returns the chosen action (null when dismissed).
  using MenuRunner = std::function<QAction*(QMenu& menu, const QPoint& globalPos)>;

  // The tree stays empty until the first OnUpdate(kHintProjectOpened). `context` must outlive
  // the view.
  explicit CProjTreeView(ViewContext& context, QWidget* parent = nullptr);
  ~CProjTreeView() override;

  // Below 0x10000: builds the whole tree; 0x10000..0x1FFFF: rebuilds the port nodes (and
  // rewrites "Comm.dat"); 0x10000000..0x1000FFFF: removes every node; anything else: nothing.
  void OnUpdate(std::uint32_t hint) override;

  // Command 10016 and double-click: opens the serial settings of the selected port node on a
  // copy of its port-table entry and copies it back on OK (memory only). Does nothing while
  // communication runs, or when the node has no entry in the port table.
  void OnPortProperties();
  // Selects the port node named `name` ("Com1") and opens its serial settings as
  // OnPortProperties does; false when there is no such node.
  bool EditPort(const QString& name);

  // The tree control, for the main frame's focus handling and for tests.
  QTreeWidget* Tree() const { return tree_; }
  // The "设备" node, or null while the tree is empty.
  QTreeWidgetItem* DevicesRoot() const { return devicesRoot_; }
  // The "变量维护" node, or null while the tree is empty.
  QTreeWidgetItem* TagNode() const { return tagNode_; }

  // Replaces the serial settings dialog (default: EditSerialSettings); null restores it.
  void SetSettingsEditor(SettingsEditor editor);
  // Replaces the context menu's modal loop (default: QMenu::exec); null restores it.
  void SetMenuRunner(MenuRunner runner);

 private:
  ProjectState& State();
  void BuildTree();
  void ClearTree();
  void RebuildPortList();
  void OnSelectionChanged();
  void OnContextMenu(const QPoint& viewportPos);
  void OnItemDoubleClicked(QTreeWidgetItem* item);
  void EditPortOf(const QTreeWidgetItem* item);

  ViewContext& context_;
  QTreeWidget* tree_ = nullptr;
  QTreeWidgetItem* devicesRoot_ = nullptr;
  QTreeWidgetItem* tagNode_ = nullptr;
  SettingsEditor settingsEditor_;
  MenuRunner menuRunner_;
  // Set while the tree changes its own nodes: selection moves caused by deleting nodes are not
  // the user's and send no hint.
  bool changingNodes_ = false;
};

}  // namespace talvek

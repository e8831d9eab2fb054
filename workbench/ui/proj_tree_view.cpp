#include "workbench/ui/proj_tree_view.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPoint>
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <QVBoxLayout>

#include "platform/gbk.h"
#include "workbench/project/data_files.h"
#include "workbench/project/message_sink.h"
#include "workbench/project/new_records.h"
#include "workbench/project/project_state.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/ui/serial_settings_dlg.h"

namespace talvek {
namespace {

const QString kDevicesRootText = QStringLiteral("设备");
const QString kTagRootText = QStringLiteral("变量数据库");
const QString kTagNodeText = QStringLiteral("变量维护");
const QString kPropertiesText = QStringLiteral("属性");

// The images of the tree, drawn rather than loaded so that the program carries no image files.
enum class NodeImage { kDevices, kPort, kTagDatabase, kTagMaintenance };

constexpr int kImageSize = 16;

QIcon DrawImage(NodeImage image) {
  QPixmap pixmap(kImageSize, kImageSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing, false);
  const QColor outline(40, 40, 40);
  p.setPen(outline);
  switch (image) {
    case NodeImage::kDevices:
      // A small controller: a housing with a display and a row of terminals.
      p.setBrush(QColor(200, 200, 200));
      p.drawRect(1, 2, 13, 11);
      p.setBrush(QColor(40, 120, 40));
      p.drawRect(3, 4, 9, 4);
      p.setPen(QColor(200, 60, 40));
      for (int x = 3; x <= 11; x += 2)
        p.drawPoint(x, 11);
      break;
    case NodeImage::kPort:
      // A nine-pin serial connector seen from the front.
      p.setBrush(QColor(180, 190, 210));
      p.drawPolygon(QPolygon({QPoint(1, 4), QPoint(14, 4), QPoint(12, 11), QPoint(3, 11)}));
      p.setPen(Qt::NoPen);
      p.setBrush(outline);
      for (int x = 3; x <= 11; x += 2)
        p.drawRect(x, 6, 1, 1);
      for (int x = 4; x <= 10; x += 2)
        p.drawRect(x, 9, 1, 1);
      break;
    case NodeImage::kTagDatabase:
      // A database drum.
      p.setBrush(QColor(230, 190, 80));
      p.drawRect(2, 4, 11, 9);
      p.drawEllipse(2, 1, 11, 5);
      p.drawLine(2, 8, 13, 8);
      break;
    case NodeImage::kTagMaintenance:
      // A sheet with rows of values.
      p.setBrush(Qt::white);
      p.drawRect(2, 1, 11, 13);
      p.setPen(QColor(40, 80, 180));
      for (int y = 4; y <= 11; y += 3)
        p.drawLine(4, y, 11, y);
      break;
  }
  p.end();
  return QIcon(pixmap);
}

const QIcon& ImageOf(NodeImage image) {
  static const QIcon images[] = {DrawImage(NodeImage::kDevices), DrawImage(NodeImage::kPort),
                                 DrawImage(NodeImage::kTagDatabase),
                                 DrawImage(NodeImage::kTagMaintenance)};
  return images[static_cast<int>(image)];
}

QTreeWidgetItem* AppendNode(QTreeWidgetItem* parent, const QString& text, NodeImage image) {
  auto* item = new QTreeWidgetItem(parent, QStringList{text});
  item->setIcon(0, ImageOf(image));
  return item;
}

QString PortNodeText(int port) {
  char text[16];
  std::snprintf(text, sizeof text, "Com%d", port);
  return QString::fromLatin1(text);
}

// The port number of a port node's text: the leading decimal digits from its fourth character
// on, 0 when there are none. Kept within 16 bits so that the hint stays a devices hint.
std::uint32_t PortNumberOfNodeText(const QString& text) {
  std::uint32_t number = 0;
  for (qsizetype i = 3; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c < u'0' || c > u'9')
      break;
    number = number * 10 + static_cast<std::uint32_t>(c.unicode() - u'0');
    if (number > 0xFFFF)
      return 0;
  }
  return number;
}

bool IsPortNode(const QTreeWidgetItem* item) {
  return item != nullptr && item->parent() != nullptr &&
         item->parent()->text(0) == kDevicesRootText;
}

CommSettings* FindPortEntry(ProjectState& state, const QString& nodeText) {
  const QByteArray name = nodeText.toLatin1();
  for (CommSettings& port : state.ports) {
    if (platform::ArrayText(port.portName) == std::string_view(name.constData(), name.size()))
      return &port;
  }
  return nullptr;
}

}  // namespace

CProjTreeView::CProjTreeView(ViewContext& context, QWidget* parent)
    : QWidget(parent), context_(context) {
  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("projectTree"));
  tree_->setColumnCount(1);
  tree_->setHeaderHidden(true);
  tree_->setRootIsDecorated(true);  // buttons and lines at the root
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  tree_->setIconSize(QSize(kImageSize, kImageSize));
  tree_->setFrameShape(QFrame::StyledPanel);
  // The pane is narrow; the tree keeps no scroll bars (the wheel and the keys still scroll).
  tree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  tree_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(tree_);
  setFocusProxy(tree_);  // the main frame's pane keys focus the pane; the tree takes it

  connect(tree_, &QTreeWidget::itemSelectionChanged, this, &CProjTreeView::OnSelectionChanged);
  connect(tree_, &QWidget::customContextMenuRequested, this, &CProjTreeView::OnContextMenu);
  connect(tree_, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item, int) { OnItemDoubleClicked(item); });
}

CProjTreeView::~CProjTreeView() {
  changingNodes_ = true;  // tearing the nodes down is no user selection
}

ProjectState& CProjTreeView::State() {
  return context_.Document().State();
}

void CProjTreeView::SetSettingsEditor(SettingsEditor editor) {
  settingsEditor_ = std::move(editor);
}

void CProjTreeView::SetMenuRunner(MenuRunner runner) {
  menuRunner_ = std::move(runner);
}

void CProjTreeView::OnUpdate(std::uint32_t hint) {
  if (hint < kHintDevicesBase) {
    BuildTree();
  } else if (hint <= kHintDevicesBase + 0xFFFF) {
    RebuildPortList();
  } else if (hint >= kHintProjectClosed && hint <= kHintProjectClosed + 0xFFFF) {
    ClearTree();
  } else if ((hint == kHintTags || hint == kHintLiveValues) && tagNode_ != nullptr) {
    // The list was switched to the tags from elsewhere (a project opened, communication started
    // or stopped): the tree shows the node that list belongs to, without sending a hint back.
    changingNodes_ = true;
    tree_->setCurrentItem(tagNode_);
    changingNodes_ = false;
  }
}

void CProjTreeView::BuildTree() {
  // A project is always closed before the next one opens; should a second build come without
  // it, the old branches go first instead of being doubled.
  ClearTree();
  changingNodes_ = true;
  devicesRoot_ = new QTreeWidgetItem(tree_, QStringList{kDevicesRootText});
  devicesRoot_->setIcon(0, ImageOf(NodeImage::kDevices));
  changingNodes_ = false;
  RebuildPortList();
  changingNodes_ = true;
  auto* tagRoot = new QTreeWidgetItem(tree_, QStringList{kTagRootText});
  tagRoot->setIcon(0, ImageOf(NodeImage::kTagDatabase));
  tagNode_ = AppendNode(tagRoot, kTagNodeText, NodeImage::kTagMaintenance);
  for (int i = 0; i < tree_->topLevelItemCount(); ++i)
    tree_->topLevelItem(i)->setExpanded(true);
  tree_->clearSelection();
  tree_->setCurrentItem(nullptr);
  changingNodes_ = false;
}

void CProjTreeView::ClearTree() {
  changingNodes_ = true;
  devicesRoot_ = nullptr;
  tagNode_ = nullptr;
  tree_->clear();
  changingNodes_ = false;
}

void CProjTreeView::RebuildPortList() {
  if (devicesRoot_ == nullptr)
    return;  // no tree: no project to take ports from
  ProjectState& state = State();

  changingNodes_ = true;
  const QTreeWidgetItem* selected = tree_->selectedItems().value(0);
  const QString selectedPort = IsPortNode(selected) ? selected->text(0) : QString();
  selected = nullptr;  // deleted with the other port nodes below
  qDeleteAll(devicesRoot_->takeChildren());

  // Com1 and Com2 always; then each further port in the order its first device comes in the
  // table. Numbers outside 1..128 name no port and get no node.
  std::vector<bool> shown(kPortFlagCount + 1, false);
  shown[1] = shown[2] = true;
  std::vector<int> ports = {1, 2};
  for (const DeviceRecord& device : state.devices) {
    const int port = device.portNumber;
    if (port >= 1 && port <= kPortFlagCount && !shown[port]) {
      shown[port] = true;
      ports.push_back(port);
    }
  }
  QTreeWidgetItem* reselect = nullptr;
  for (int port : ports) {
    QTreeWidgetItem* node = AppendNode(devicesRoot_, PortNodeText(port), NodeImage::kPort);
    if (!selectedPort.isEmpty() && node->text(0) == selectedPort)
      reselect = node;
  }
  // Removing the selected port node moved the selection to a neighbour; put it back on the same
  // port, or select nothing when that port went away.
  if (!selectedPort.isEmpty()) {
    if (reselect != nullptr) {
      tree_->setCurrentItem(reselect);
    } else {
      tree_->clearSelection();
      tree_->setCurrentItem(nullptr);
    }
  }
  changingNodes_ = false;

  // Every port node must have its settings: the port synchronisation adds entries only for ports
  // 3..128, so a project without Com1 or Com2 entries (a new project, an empty "Comm.dat") would
  // otherwise show nodes whose settings cannot be opened and lose them from "Comm.dat" for good.
  for (int port : {1, 2}) {
    if (FindPortEntry(state, PortNodeText(port)) == nullptr)
      state.ports.push_back(DefaultPortEntry(port));
  }
  MarkPortsInUse(state);
  // A failed write leaves the previous "Comm.dat"; the table is written again at program end,
  // which reports a failure. A routine save: a refused "Comm.dat" that could not be copied aside
  // stays as it is.
  (void)SavePorts(state, SaveKind::kRoutine);
}

void CProjTreeView::OnSelectionChanged() {
  if (changingNodes_)
    return;
  const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
  if (selected.isEmpty())
    return;
  const QTreeWidgetItem* item = selected.front();
  std::uint32_t hint = 0;
  if (IsPortNode(item)) {
    hint = kHintDevicesBase + PortNumberOfNodeText(item->text(0));
  } else if (item->text(0) == kDevicesRootText) {
    hint = kHintDevicesBase;
  } else if (item->text(0) == kTagNodeText) {
    hint = context_.IsCommunicationRunning() ? kHintLiveValues : kHintTags;
  } else {
    return;
  }
  context_.UpdateAllViews(this, hint);
}

void CProjTreeView::OnContextMenu(const QPoint& viewportPos) {
  QTreeWidgetItem* item = tree_->itemAt(viewportPos);
  if (item == nullptr)
    return;
  tree_->setCurrentItem(item);  // selects it, and so switches the list first
  if (!item->text(0).contains(QStringLiteral("Com")))
    return;

  QMenu menu(this);
  QAction* properties = menu.addAction(kPropertiesText);
  properties->setData(kCommandPortProperties);
  const QPoint globalPos = tree_->viewport()->mapToGlobal(viewportPos);
  QAction* chosen = menuRunner_ ? menuRunner_(menu, globalPos) : menu.exec(globalPos);
  if (chosen != nullptr && chosen == properties)
    OnPortProperties();
}

void CProjTreeView::OnItemDoubleClicked(QTreeWidgetItem* item) {
  // The first click of the double-click selected the node, so the clicked node is the
  // selected one.
  EditPortOf(item);
}

void CProjTreeView::OnPortProperties() {
  EditPortOf(tree_->selectedItems().value(0));
}

bool CProjTreeView::EditPort(const QString& name) {
  for (int i = 0; devicesRoot_ != nullptr && i < devicesRoot_->childCount(); ++i) {
    QTreeWidgetItem* item = devicesRoot_->child(i);
    if (item->text(0).compare(name, Qt::CaseInsensitive) == 0) {
      tree_->setCurrentItem(item);
      EditPortOf(item);
      return true;
    }
  }
  return false;
}

void CProjTreeView::EditPortOf(const QTreeWidgetItem* item) {
  if (context_.IsCommunicationRunning() || item == nullptr)
    return;
  const QString name = item->text(0);
  const CommSettings* entry = FindPortEntry(State(), name);
  if (entry == nullptr)
    return;  // "设备", "变量维护", or a port without settings

  CommSettings copy = *entry;
  QWidget* owner = context_.MainWindow() != nullptr ? context_.MainWindow() : this;
  const bool confirmed =
      settingsEditor_ ? settingsEditor_(copy, owner) : EditSerialSettings(copy, owner);
  if (!confirmed)
    return;
  // The dialog ran an event loop: the port table may have changed meanwhile, so the entry is
  // looked up again instead of writing through a pointer taken before.
  CommSettings* target = FindPortEntry(State(), name);
  if (target == nullptr)
    return;
  *target = copy;
  // Saved at once: starting communication and reopening the project read "Comm.dat", and a
  // setting kept only in memory would be lost there (or when the program does not end normally).
  if (!SavePorts(State())) {
    const std::optional<std::string> path = DataFilePath(State(), kPortFileName);
    ShowMessage("串口设置未能保存到 " + path.value_or(std::string(kPortFileName)) +
                    "，磁盘上仍是上次保存的设置。",
                {}, MessageButtons::kOk, MessageIcon::kError);
  }
}

}  // namespace talvek

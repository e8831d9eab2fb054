#include "workbench/ui/frame_panes.h"

#include <cstdint>

#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include "workbench/ui/view_context.h"

namespace talvek {
namespace {

// Stands in for a pane whose class is not part of the program yet: shows its name, takes hints.
class PlaceholderPane final : public QWidget, public ProjectView {
 public:
  PlaceholderPane(const QString& name, QWidget* parent) : QWidget(parent) {
    setObjectName(name);
    auto* label = new QLabel(name, this);
    label->setAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
  }
  void OnUpdate(std::uint32_t) override {}
};

}  // namespace

FramePanes CreateProjectPanes(ViewContext& context, QWidget* parent) {
  static_cast<void>(context);
  FramePanes panes;
  auto* tree = new PlaceholderPane(QStringLiteral("projTreeView"), parent);
  auto* list = new PlaceholderPane(QStringLiteral("projListView"), parent);
  panes.tree = tree;
  panes.treeView = tree;
  panes.list = list;
  panes.listView = list;
  panes.startLiveTimer = [] {};
  panes.stopLiveTimer = [] {};
  panes.setListStyle = [](int) {};
  return panes;
}

}  // namespace talvek

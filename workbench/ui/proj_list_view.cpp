#include "workbench/ui/proj_list_view.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QResizeEvent>
#include <QShowEvent>
#include <QMenu>
#include <QStackedWidget>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include "common/plugin_entry.h"
#include "common/type_names.h"
#include "platform/gbk.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "workbench/project/app_profile.h"
#include "workbench/project/data_files.h"
#include "workbench/project/message_sink.h"
#include "workbench/project/new_records.h"
#include "workbench/project/project_edits.h"
#include "workbench/project/project_state.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/ui/proj_list_delegate.h"
#include "workbench/ui/value_entry_dlg.h"

namespace talvek {
namespace {

// Upper 16 bits of the hints the view reacts to beyond the four modes.
constexpr std::uint32_t kHintGroupProjectCreated = kHintProjectCreated >> 16;
constexpr std::uint32_t kHintGroupProjectClosed = kHintProjectClosed >> 16;

// Said when an edit could not be written; the save is atomic, so the file keeps its old content.
constexpr char kSaveFailedText[] = "以下工程数据文件未能保存，磁盘上仍是上次保存的内容：";

// Grid cells of the icon styles: uniform, so that a list of 65,536 tags lays out at once.
constexpr QSize kLargeIconGrid(96, 72);
constexpr QSize kSmallIconGrid(180, 22);

// Values of the "Settings" section holding each mode's column widths ("120,80,..." in pixels).
std::string_view ColumnWidthsValue(ListMode mode) {
  switch (mode) {
    case ListMode::kDevices:
      return "ListColumnsDevices";
    case ListMode::kTags:
      return "ListColumnsTags";
    case ListMode::kScreens:
      return "ListColumnsScreens";
    case ListMode::kLiveValues:
      return "ListColumnsLiveValues";
    case ListMode::kNone:
      break;
  }
  return {};
}

// The widths of a settings value with exactly `count` sane widths; empty for anything else.
std::vector<int> ParseColumnWidths(const std::string& text, int count) {
  std::vector<int> widths;
  const char* p = text.c_str();
  while (*p != '\0') {
    char* end = nullptr;
    const long width = std::strtol(p, &end, 10);
    if (end == p || width < 1 || width > 10000 || (*end != ',' && *end != '\0'))
      return {};
    widths.push_back(static_cast<int>(width));
    p = *end == ',' ? end + 1 : end;
  }
  if (static_cast<int>(widths.size()) != count)
    return {};
  return widths;
}

// The fixed texts a column shows that must fit uncut into its first width, beyond its header.
std::vector<const char*> ColumnSamples(ListMode mode, int column) {
  using M = ProjListModel;
  if ((mode == ListMode::kTags && column == M::kTagType) ||
      (mode == ListMode::kLiveValues && column == M::kLiveType))
    return {std::begin(kVarTypeNames), std::end(kVarTypeNames)};
  if (mode != ListMode::kLiveValues)
    return {};
  switch (column) {
    case M::kLiveValue:
    case M::kLiveRaw:
      return {"-2147483648"};
    case M::kLiveRawType:
      return {std::begin(kRawTypeNames), std::end(kRawTypeNames)};
    case M::kLiveQuality:
      return {"传感器错误"};
    case M::kLiveTime:
      return {"2026/12/08 03:04:14 0123"};
    default:
      return {};
  }
}

ListMode ModeOfHint(std::uint32_t hint) {
  switch (hint >> 16) {
    case 0x1:
      return ListMode::kDevices;
    case 0x2:
      return ListMode::kTags;
    case 0x4:
      return ListMode::kScreens;
    case 0x8:
      return ListMode::kLiveValues;
    default:
      return ListMode::kNone;
  }
}

QAction* AddCommand(QMenu& menu, const char* caption, int id) {
  QAction* action = menu.addAction(QString::fromUtf8(caption));
  action->setData(id);
  return action;
}

QAction* RunMenu(QMenu& menu, const QPoint& globalPos) {
  return menu.exec(globalPos);
}

// A plug-in, loaded once and kept for the rest of the run: a Qt plug-in may leave objects behind
// (deferred deletions, registered types) that would point into unloaded code after FreeLibrary.
HMODULE LoadPlugin(const std::string& fileName) {
  static std::vector<std::pair<std::string, HMODULE>> loaded;
  for (const auto& [name, module] : loaded) {
    if (name == fileName)
      return module;
  }
  HMODULE module = platform::LoadLibraryA(fileName.c_str());
  if (module == nullptr) {
    ShowMessage(PluginLoadFailureText(fileName), {}, MessageButtons::kOk, MessageIcon::kWarning);
    return nullptr;
  }
  loaded.emplace_back(fileName, module);
  return module;
}

template <typename Fn>
Fn PluginEntry(const std::string& fileName, const char* name = kPluginEntryPoint) {
  HMODULE module = LoadPlugin(fileName);
  return module != nullptr ? reinterpret_cast<Fn>(platform::GetProcAddress(module, name)) : nullptr;
}

// Hands the device wizard the settings of every port (the project's entry, else the defaults the
// runtime would use) for its connection test, when the plug-in takes them.
void PassPortSettings(const std::string& fileName, const ProjectState& state, bool running) {
  const auto pass = PluginEntry<DeviceWizardPortsFn>(fileName, kDeviceWizardPortsEntryPoint);
  if (pass == nullptr)
    return;
  constexpr int kPorts = 128;
  std::vector<CommSettings> ports;
  ports.reserve(kPorts);
  for (int n = 1; n <= kPorts; ++n) {
    char name[sizeof(CommSettings::portName)];
    std::snprintf(name, sizeof name, "Com%d", n);
    const auto found = std::find_if(state.ports.begin(), state.ports.end(), [&](const auto& p) {
      return std::strncmp(p.portName, name, sizeof p.portName) == 0;
    });
    ports.push_back(found != state.ports.end() ? *found : DefaultPortEntry(n));
  }
  pass(ports.data(), kPorts, running ? 1 : 0);
}

bool Confirm(const char* question) {
  return ShowMessage(question, {}, MessageButtons::kOkCancel, MessageIcon::kQuestion) ==
         MessageAnswer::kOk;
}

}  // namespace

CProjListView::CProjListView(ViewContext& context, QWidget* parent)
    : QWidget(parent),
      context_(context),
      menuRunner_(RunMenu),
      deviceWizardFile_(kDeviceWizardPluginFile),
      tagEditorFile_(kTagEditorPluginFile) {
  model_ = new ProjListModel(this);
  stack_ = new QStackedWidget(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  auto* filterRow = new QHBoxLayout;
  filterRow->setContentsMargins(0, 0, 4, 0);
  filterEdit_ = new QLineEdit(this);
  filterEdit_->setObjectName(QStringLiteral("listFilter"));
  filterEdit_->setClearButtonEnabled(true);
  filterEdit_->installEventFilter(this);
  filterCount_ = new QLabel(this);
  filterCount_->setObjectName(QStringLiteral("listFilterCount"));
  filterCount_->hide();
  filterRow->addWidget(filterEdit_, 1);
  filterRow->addWidget(filterCount_);
  layout->addLayout(filterRow);
  layout->addWidget(stack_);

  table_ = new QTableView(stack_);
  table_->setModel(model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setShowGrid(false);
  table_->setWordWrap(false);
  table_->setCornerButtonEnabled(false);
  table_->verticalHeader()->hide();
  // Every row has the same height: no row is ever measured, whatever the row count.
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
  table_->horizontalHeader()->setSectionsClickable(true);
  table_->horizontalHeader()->setHighlightSections(false);
  table_->horizontalHeader()->setStretchLastSection(false);
  table_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  table_->horizontalHeader()->setSortIndicatorShown(true);
  table_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  table_->horizontalHeader()->viewport()->installEventFilter(this);
  table_->setContextMenuPolicy(Qt::CustomContextMenu);
  table_->setItemDelegate(new ProjListDelegate(table_));
  stack_->addWidget(table_);

  icons_ = new QListView(stack_);
  icons_->setSelectionBehavior(QAbstractItemView::SelectRows);
  icons_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  icons_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  icons_->setMovement(QListView::Static);
  icons_->setResizeMode(QListView::Adjust);
  icons_->setFlow(QListView::LeftToRight);
  icons_->setWrapping(true);
  icons_->setUniformItemSizes(true);
  icons_->setContextMenuPolicy(Qt::CustomContextMenu);
  stack_->addWidget(icons_);
  stack_->setCurrentWidget(table_);

  connect(table_->horizontalHeader(), &QHeaderView::sectionClicked, this,
          &CProjListView::SortByColumn);
  connect(table_->horizontalHeader(), &QHeaderView::sectionResized, this, [this] {
    if (headerPressed_)
      widthsDragged_ = true;
  });
  connect(filterEdit_, &QLineEdit::textChanged, this, &CProjListView::OnFilterChanged);
  auto* find = new QAction(this);
  find->setShortcut(QKeySequence::Find);
  find->setShortcutContext(Qt::WindowShortcut);
  addAction(find);
  connect(find, &QAction::triggered, this, [this] {
    filterEdit_->setFocus(Qt::ShortcutFocusReason);
    filterEdit_->selectAll();
  });
  // "shown / all" while a filter is set, whenever the rows change.
  auto count = [this] {
    int shown = model_->rowCount();
    if (shown > 0 && model_->IsPlaceholder(shown - 1))
      --shown;
    filterCount_->setText(QStringLiteral("%1 / %2").arg(shown).arg(model_->RecordCount()));
    filterCount_->setVisible(!model_->Filter().isEmpty() && model_->Mode() != ListMode::kNone);
  };
  connect(model_, &QAbstractItemModel::modelReset, this, count);
  connect(model_, &QAbstractItemModel::layoutChanged, this, count);
  for (QAbstractItemView* view :
       {static_cast<QAbstractItemView*>(table_), static_cast<QAbstractItemView*>(icons_)}) {
    connect(view, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { OnRowDoubleClicked(index.row()); });
    view->installEventFilter(this);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& pos) {
      ShowContextMenu(view->viewport()->mapToGlobal(pos));
    });
  }

  liveTimer_.setInterval(kLiveRefreshMs);
  connect(&liveTimer_, &QTimer::timeout, this, &CProjListView::RefreshLiveValues);
}

CProjListView::~CProjListView() = default;

ProjectState& CProjListView::State() {
  return context_.Document().State();
}

void CProjListView::OnUpdate(std::uint32_t hint) {
  ++updatesSeen_;
  const std::uint32_t group = hint >> 16;
  if (ModeOfHint(hint) != ListMode::kNone) {
    SetMode(hint);
  } else if (group == kHintGroupProjectCreated) {
    context_.SetToolbarLook(ToolbarLook::kStopped);
  } else if (group == kHintGroupProjectClosed) {
    modeHint_ = 0;
    rememberedRow_ = -1;
    model_->Clear();
    filterEdit_->clear();  // the next project starts unfiltered
    model_->DestroyImages();
  } else {
    model_->CreateImages();
  }
}

void CProjListView::SetMode(std::uint32_t hint) {
  modeHint_ = hint;
  rememberedRow_ = -1;
  const ListMode mode = ModeOfHint(hint);
  const int port = mode == ListMode::kDevices ? static_cast<int>(hint & 0xFFFF) : 0;
  model_->Rebuild(mode, &State(), port);
  ApplyColumnWidths();
  ShowSortIndicator();
  filterEdit_->setPlaceholderText(QString::fromUtf8(
      mode == ListMode::kDevices   ? "筛选设备：名称、种类、地址 (Ctrl+F)"
      : mode == ListMode::kScreens ? "筛选画面：名称、文件名 (Ctrl+F)"
                                   : "筛选变量：名称、描述、地址、驱动设备 (Ctrl+F)"));
}

void CProjListView::ApplyColumnWidths() {
  const ListMode mode = model_->Mode();
  QHeaderView* header = table_->horizontalHeader();
  const int columns = std::min(header->count(), ProjListModel::ColumnCountOf(mode));
  if (columns == 0)
    return;
  // The width a column needs for its header (with the sort indicator) and its fixed texts.
  const QFontMetrics metrics = table_->fontMetrics();
  const int margin =
      2 * (table_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table_) + 1) + 4;
  auto contentWidth = [&](int column) {
    int width = header->sectionSizeHint(column);
    for (const char* sample : ColumnSamples(mode, column))
      width = std::max(width, metrics.horizontalAdvance(QString::fromUtf8(sample)) + margin);
    return width;
  };
  // The user's widths when there are any, else fractions of the list's outer width at the time
  // the columns are built, widened to their content.
  const std::optional<std::string> saved =
      platform::Registry::Instance().GetString(kSettingsKey, ColumnWidthsValue(mode));
  std::vector<int> widths = saved ? ParseColumnWidths(*saved, columns) : std::vector<int>();
  widthsBeforeShown_ = widths.empty() && !isVisible();
  if (widths.empty()) {
    const int outer = frameGeometry().width();
    widths = ProjListModel::ColumnWidths(mode, outer);
    std::vector<int> least(widths.size());
    int total = 0;
    int slack = 0;
    for (int column = 0; column < columns; ++column) {
      const auto i = static_cast<std::size_t>(column);
      least[i] = contentWidth(column);
      widths[i] = std::max(widths[i], least[i]);
      total += widths[i];
      slack += widths[i] - least[i];
    }
    // A row wider than the list (the live values' fractions add up to 20/18, and content may
    // widen any mode) gives back what exceeds the visible width from the columns with room to
    // spare, in proportion to it, so that the whole row, time included, shows where it can.
    const int visible = outer - 2 * table_->frameWidth() -
                        table_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, table_);
    const int excess = total > outer ? std::min(total - visible, slack) : 0;
    long long spare = 0;  // the slack of the columns so far; they give excess * spare / slack
    long long given = 0;
    for (std::size_t i = 0; excess > 0 && i < least.size(); ++i) {
      spare += widths[i] - least[i];
      const long long upTo = excess * spare / slack;
      widths[i] -= static_cast<int>(upTo - given);
      given = upTo;
    }
  } else if (mode == ListMode::kLiveValues) {
    // A time cut short reads as another time: it always fits when the columns are built.
    int& time = widths[ProjListModel::kLiveTime];
    time = std::max(time, contentWidth(ProjListModel::kLiveTime));
  }
  for (int column = 0; column < columns; ++column)
    header->resizeSection(column, widths[static_cast<std::size_t>(column)]);
}

void CProjListView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (widthsBeforeShown_)
    ApplyColumnWidths();
}

void CProjListView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (widthsBeforeShown_ && isVisible())
    ApplyColumnWidths();
}

void CProjListView::SaveColumnWidths() {
  const ListMode mode = model_->Mode();
  const std::string_view name = ColumnWidthsValue(mode);
  QHeaderView* header = table_->horizontalHeader();
  if (name.empty() || header->count() != ProjListModel::ColumnCountOf(mode))
    return;
  std::string text;
  for (int column = 0; column < header->count(); ++column) {
    if (column != 0)
      text += ',';
    text += std::to_string(header->sectionSize(column));
  }
  // Widths that cannot be written cost the next start the user's widths; nothing to tell.
  static_cast<void>(platform::Registry::Instance().SetString(kSettingsKey, name, text));
}

void CProjListView::ShowSortIndicator() {
  table_->horizontalHeader()->setSortIndicator(
      model_->SortColumn(), model_->SortDescending() ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void CProjListView::OnFilterChanged(const QString& text) {
  model_->SetFilter(text);
  const QModelIndex current = table_->selectionModel()->currentIndex();
  if (current.isValid())
    (viewStyle_ == kStyleDetails ? static_cast<QAbstractItemView*>(table_) : icons_)
        ->scrollTo(current);
}

bool CProjListView::CopySelectedRows() {
  const QString text = model_->RowsText(SelectedRows());
  if (text.isEmpty())
    return false;
  QApplication::clipboard()->setText(text);
  return true;
}

void CProjListView::StartLiveTimer() {
  liveTimer_.start();
}

void CProjListView::StopLiveTimer() {
  liveTimer_.stop();
}

void CProjListView::RefreshLiveValues() {
  model_->NotifyLiveValuesChanged();
  QAbstractItemView* view = viewStyle_ == kStyleDetails ? static_cast<QAbstractItemView*>(table_)
                                                        : static_cast<QAbstractItemView*>(icons_);
  view->viewport()->repaint();
  if (liveTickListener_)
    liveTickListener_();
}

void CProjListView::OnViewSmallIcons() {
  ApplyViewStyle(kStyleSmallIcons);
  icons_->viewport()->repaint();
}

void CProjListView::OnViewLargeIcons() {
  ApplyViewStyle(kStyleLargeIcons);
}

void CProjListView::OnViewDetails() {
  ApplyViewStyle(kStyleDetails);
}

void CProjListView::ApplyViewStyle(int style) {
  viewStyle_ = style;
  QItemSelectionModel* shared = table_->selectionModel();
  if (style == kStyleDetails) {
    // The icon view lets go of the model, so that it does not lay out rows nobody sees.
    QItemSelectionModel* before = icons_->selectionModel();
    icons_->setModel(nullptr);
    if (before != nullptr && before != shared && before != icons_->selectionModel())
      delete before;
    stack_->setCurrentWidget(table_);
    return;
  }
  if (icons_->model() != model_) {
    QItemSelectionModel* before = icons_->selectionModel();
    icons_->setModel(model_);
    QItemSelectionModel* created = icons_->selectionModel();
    icons_->setSelectionModel(shared);
    for (QItemSelectionModel* unused : {before, created}) {
      if (unused != nullptr && unused != shared)
        delete unused;
    }
  }
  const bool large = style == kStyleLargeIcons;
  icons_->setViewMode(large ? QListView::IconMode : QListView::ListMode);
  icons_->setIconSize(large ? QSize(32, 32) : QSize(16, 16));
  icons_->setGridSize(large ? kLargeIconGrid : kSmallIconGrid);
  icons_->setWordWrap(large);
  icons_->setFlow(QListView::LeftToRight);
  icons_->setWrapping(true);
  icons_->setMovement(QListView::Static);
  stack_->setCurrentWidget(icons_);
}

void CProjListView::OnCommand(int id) {
  // Devices and tags are edited only while communication is stopped: the polling threads hold
  // tag indexes and the drivers were built from the device table.
  const bool editable = !Running();
  switch (id) {
    case kCmdNewDevice:
      if (editable)
        NewDevice();
      break;
    case kCmdEditDevice:
      if (editable)
        EditDevice();
      break;
    case kCmdDeleteDevice:
      if (editable)
        DeleteDevice();
      break;
    case kCmdNewTag:
      if (editable)
        NewTag();
      break;
    case kCmdEditTag:
      if (editable)
        EditTag();
      break;
    case kCmdDeleteTags:
      if (editable)
        DeleteTags();
      break;
    case kCmdNewScreen:
      NewScreen();
      break;
    case kCmdEditScreen:
      EditScreen();
      break;
    case kCmdDeleteScreen:
      DeleteScreen();
      break;
    case kCmdWriteValue:
      WriteValue();
      break;
    case kCmdToggleHex:
      ToggleHex();
      break;
    case kCmdExportTags:
      ExportTags();
      break;
    case kCmdImportTags:
      if (editable)
        ImportTags();
      break;
    case kCmdBatchTags:
      if (editable)
        BatchCreateTags();
      break;
    case kCmdCopyRows:
      CopySelectedRows();
      break;
    case kCmdAddToTrend:
      AddToTrend();
      break;
    case kCmdViewSmallIcons:
      OnViewSmallIcons();
      break;
    case kCmdViewLargeIcons:
      OnViewLargeIcons();
      break;
    case kCmdViewDetails:
      OnViewDetails();
      break;
    default:
      break;
  }
}

std::vector<int> CProjListView::SelectedRows() const {
  // Straight from the ranges: asking the selection model row by row costs a scan of every range
  // per row, which is quadratic for a large scattered selection.
  std::vector<int> rows;
  const QItemSelection selection = table_->selectionModel()->selection();
  for (const QItemSelectionRange& range : selection) {
    for (int row = range.top(); row <= range.bottom(); ++row)
      rows.push_back(row);
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

int CProjListView::SelectedRow() const {
  int first = -1;
  for (const QItemSelectionRange& range : table_->selectionModel()->selection()) {
    if (first < 0 || range.top() < first)
      first = range.top();
  }
  return first;
}

void CProjListView::SelectRows(const std::vector<int>& rows) {
  QItemSelectionModel* selection = table_->selectionModel();
  const int columns = std::max(1, model_->columnCount());
  std::vector<int> sorted(rows);
  std::sort(sorted.begin(), sorted.end());
  QItemSelection wanted;
  for (std::size_t i = 0; i < sorted.size();) {
    std::size_t j = i;
    while (j + 1 < sorted.size() && sorted[j + 1] <= sorted[j] + 1)
      ++j;
    if (sorted[i] >= 0 && sorted[j] < model_->rowCount())
      wanted.select(model_->index(sorted[i], 0), model_->index(sorted[j], columns - 1));
    i = j + 1;
  }
  selection->select(wanted, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  if (!rows.empty() && rows.front() >= 0 && rows.front() < model_->rowCount())
    selection->setCurrentIndex(model_->index(rows.front(), 0), QItemSelectionModel::NoUpdate);
}

void CProjListView::SortByColumn(int column) {
  // The first click on a column sorts it ascending, each further click flips the direction.
  const bool descending = column == model_->SortColumn() && !model_->SortDescending();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // The selection and the focus follow their rows through the model's persistent indexes.
  model_->SortRows(column, descending);
  ShowSortIndicator();
  const QModelIndex current = table_->selectionModel()->currentIndex();
  if (current.isValid())
    (viewStyle_ == kStyleDetails ? static_cast<QAbstractItemView*>(table_) : icons_)
        ->scrollTo(current);
  QApplication::restoreOverrideCursor();
}

void CProjListView::OnRowDoubleClicked(int row) {
  const std::int32_t record = model_->RecordIndex(row);
  if (record == ProjListModel::kNoRecord)
    return;
  const bool placeholder = record == ProjListModel::kPlaceholderRow;
  switch (model_->Mode()) {
    case ListMode::kDevices:
      if (!Running())
        OnCommand(placeholder ? kCmdNewDevice : kCmdEditDevice);
      break;
    case ListMode::kTags:
      if (!Running())
        OnCommand(placeholder ? kCmdNewTag : kCmdEditTag);
      break;
    case ListMode::kScreens:
      if (placeholder) {
        OnCommand(kCmdNewScreen);
      } else {
        rememberedRow_ = row;
        OnCommand(kCmdEditScreen);
      }
      break;
    case ListMode::kLiveValues:
      if (Running() && !placeholder)
        OnCommand(kCmdWriteValue);
      break;
    case ListMode::kNone:
      break;
  }
}

bool CProjListView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == table_->horizontalHeader()->viewport()) {
    // A width changed between a press and a release on the header was dragged by the user.
    if (event->type() == QEvent::MouseButtonPress) {
      headerPressed_ = true;
    } else if (event->type() == QEvent::MouseButtonRelease) {
      headerPressed_ = false;
      if (std::exchange(widthsDragged_, false))
        SaveColumnWidths();
    }
    return QWidget::eventFilter(watched, event);
  }
  if (event->type() != QEvent::KeyPress)
    return QWidget::eventFilter(watched, event);
  const auto* key = static_cast<const QKeyEvent*>(event);
  if (watched == filterEdit_) {
    // Esc empties the box (and, when it is empty, goes back to the rows); Down goes to the rows.
    if (key->key() != Qt::Key_Escape && key->key() != Qt::Key_Down)
      return QWidget::eventFilter(watched, event);
    if (key->key() == Qt::Key_Escape && !filterEdit_->text().isEmpty())
      filterEdit_->clear();
    else
      (viewStyle_ == kStyleDetails ? static_cast<QWidget*>(table_) : icons_)->setFocus();
    return true;
  }
  if (watched != table_ && watched != icons_)
    return QWidget::eventFilter(watched, event);
  if (key->matches(QKeySequence::Copy)) {
    CopySelectedRows();
    return true;
  }
  if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
    return QWidget::eventFilter(watched, event);
  switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (const int row = SelectedRow(); row >= 0)
        OnRowDoubleClicked(row);
      return true;
    case Qt::Key_Delete:
      switch (model_->Mode()) {
        case ListMode::kDevices:
          OnCommand(kCmdDeleteDevice);
          return true;
        case ListMode::kTags:
          OnCommand(kCmdDeleteTags);
          return true;
        case ListMode::kScreens:
          OnCommand(kCmdDeleteScreen);
          return true;
        default:
          return true;
      }
    default:
      return QWidget::eventFilter(watched, event);
  }
}

std::unique_ptr<QMenu> CProjListView::BuildContextMenu() {
  auto menu = std::make_unique<QMenu>(this);
  QAction* small = AddCommand(*menu, "小图标", kCmdViewSmallIcons);
  QAction* large = AddCommand(*menu, "大图标", kCmdViewLargeIcons);
  QAction* details = AddCommand(*menu, "详细资料", kCmdViewDetails);

  const std::vector<int> selected = SelectedRows();
  rememberedRow_ = selected.empty() ? -1 : selected.front();
  const ListMode mode = model_->Mode();
  if (Running() && mode == ListMode::kLiveValues) {
    menu->addSeparator();
    AddCommand(*menu, "加入趋势", kCmdAddToTrend)
        ->setEnabled(model_->TagAt(rememberedRow_) != nullptr);
    QAction* hex = AddCommand(*menu, "显示 十六进制", kCmdToggleHex);
    hex->setCheckable(true);
    hex->setChecked(model_->HexDisplay());
  } else if (!selected.empty() && !Running()) {
    struct CommandSet {
      const char* captions[3];
      int first;
    };
    const CommandSet* set = nullptr;
    static const CommandSet devices{{"新建 逻辑设备", "编辑 逻辑设备", "删除 逻辑设备"},
                                    kCmdNewDevice};
    static const CommandSet tags{{"新建 变量", "编辑 变量", "删除 变量"}, kCmdNewTag};
    static const CommandSet screens{{"增加 画面", "编辑 画面", "删除 画面"}, kCmdNewScreen};
    if (mode == ListMode::kDevices)
      set = &devices;
    else if (mode == ListMode::kTags)
      set = &tags;
    else if (mode == ListMode::kScreens)
      set = &screens;
    if (set != nullptr) {
      menu->addSeparator();
      const bool onPlaceholder = model_->IsPlaceholder(rememberedRow_);
      for (int i = 0; i < 3; ++i) {
        QAction* action = AddCommand(*menu, set->captions[i], set->first + i);
        // Nothing to edit or delete on the "new ..." row.
        if (i > 0 && onPlaceholder)
          action->setEnabled(false);
      }
    }
  }

  if (mode == ListMode::kTags && !Running())
    AddTagBulkCommands(*menu);

  // Copying only reads the cells: offered whenever a selected row holds a record.
  if (std::any_of(selected.begin(), selected.end(),
                  [this](int row) { return model_->RecordIndex(row) >= 0; })) {
    menu->addSeparator();
    AddCommand(*menu, "复制", kCmdCopyRows)->setShortcut(QKeySequence::Copy);
  }

  QAction* current = viewStyle_ == kStyleLargeIcons ? large
                     : viewStyle_ == kStyleDetails  ? details
                                                    : small;
  for (QAction* style : {small, large, details})
    style->setCheckable(true);
  current->setChecked(true);
  return menu;
}

void CProjListView::ShowContextMenu(const QPoint& globalPos) {
  (viewStyle_ == kStyleDetails ? static_cast<QWidget*>(table_) : icons_)->setFocus();
  std::unique_ptr<QMenu> menu = BuildContextMenu();
  QAction* chosen = menuRunner_(*menu, globalPos);
  if (chosen != nullptr && chosen->isEnabled())
    OnCommand(chosen->data().toInt());
}

void CProjListView::contextMenuEvent(QContextMenuEvent* event) {
  ShowContextMenu(event->globalPos());
}

void CProjListView::SetMenuRunner(MenuRunner runner) {
  menuRunner_ = runner ? std::move(runner) : MenuRunner(RunMenu);
}

void CProjListView::SetProgramLauncher(ProgramLauncher launcher) {
  editorLink_.SetLauncher(std::move(launcher));
}

void CProjListView::SetPluginFiles(std::string deviceWizardFile, std::string tagEditorFile) {
  deviceWizardFile_ = std::move(deviceWizardFile);
  tagEditorFile_ = std::move(tagEditorFile);
}

void CProjListView::SetScratchTagRecord(TagRecord* scratch) {
  scratchTag_ = scratch != nullptr ? scratch : &ownScratchTag_;
}

void CProjListView::SendHint(std::uint32_t hint) {
  const std::uint64_t before = updatesSeen_;
  context_.UpdateAllViews(nullptr, hint);
  // The hint goes to every view, this one included; should it not come back, the rows emptied
  // for the edit are rebuilt here all the same.
  if (updatesSeen_ == before)
    OnUpdate(hint);
}

void CProjListView::ReleaseRows() {
  rememberedRow_ = -1;
  model_->ClearRows();
}

void CProjListView::ReportSaveFailure(std::string_view fileName) {
  ShowMessage(std::string(kSaveFailedText).append(fileName), {}, MessageButtons::kOk,
              MessageIcon::kWarning);
}

void CProjListView::ReportUnsaved(const DeleteOutcome& outcome) {
  if (!outcome.unsavedFile.empty())
    ReportSaveFailure(outcome.unsavedFile);
}

// --- Devices ---

void CProjListView::NewDevice() {
  const auto show = PluginEntry<DeviceWizardShowFn>(deviceWizardFile_);
  if (show == nullptr)
    return;
  ProjectState& state = State();
  PassPortSettings(deviceWizardFile_, state, Running());
  const DeviceRecord* selected = model_->DeviceAt(SelectedRow());
  DeviceRecord record = selected != nullptr ? *selected : NewDeviceRecord();
  if (show(&record, &state.devices) != 1)
    return;
  ReleaseRows();
  if (!RefreshTagsForDevice(state, record))
    ReportSaveFailure("Tag.dat");
  state.devices.Add(record);
  if (!SaveDevices(state))
    ReportSaveFailure("Device.dat");
  SendHint(kHintDevicesBase + static_cast<std::uint32_t>(model_->PortFilter()));
}

void CProjListView::EditDevice() {
  DeviceRecord* device = model_->DeviceAt(SelectedRow());
  if (device == nullptr)
    return;
  const auto show = PluginEntry<DeviceWizardShowFn>(deviceWizardFile_);
  if (show == nullptr)
    return;
  ProjectState& state = State();
  PassPortSettings(deviceWizardFile_, state, Running());
  // The wizard writes each step into the record as the user leaves it; a cancelled wizard must
  // not leave a half-edited device behind (it would be saved at program end).
  const DeviceRecord before = *device;
  if (show(device, &state.devices) != 1) {
    *device = before;
    return;
  }
  ReleaseRows();
  if (!RefreshTagsForDevice(state, *device))
    ReportSaveFailure("Tag.dat");
  // Read the file back only when it holds the edit: reloading an unwritten file would throw the
  // edit away without a word.
  if (SaveDevices(state))
    (void)LoadDevices(state);
  else
    ReportSaveFailure("Device.dat");
  SendHint(kHintDevicesBase + static_cast<std::uint32_t>(model_->PortFilter()));
}

void CProjListView::DeleteDevice() {
  const int row = SelectedRow();
  const std::int32_t index = model_->DeviceAt(row) != nullptr ? model_->RecordIndex(row) : -1;
  if (index < 0)
    return;
  const int port = model_->PortFilter();
  if (!Confirm(kAskDeleteDevice))
    return;
  // The question ran an event loop; the deletion takes the table as it is now.
  const DeleteOutcome outcome =
      talvek::DeleteDevice(State(), static_cast<std::size_t>(index), [this] { ReleaseRows(); });
  ReportUnsaved(outcome);
  SendHint(kHintDevicesBase + static_cast<std::uint32_t>(port));
}

// --- Tags ---

void CProjListView::NewTag() {
  const auto show = PluginEntry<TagEditorShowFn>(tagEditorFile_);
  if (show == nullptr)
    return;
  ProjectState& state = State();
  TagRecord& scratch = *scratchTag_;
  if (const TagRecord* selected = model_->TagAt(SelectedRow()); selected != nullptr) {
    scratch = *selected;
  } else if (!state.tags.empty()) {
    scratch = state.tags.back();
  } else {
    ApplyFirstTagDefaults(scratch);
    scratch.description[0] = '\0';  // a new project's first tag describes nothing yet
  }
  // A copy under the name it was copied from would only be refused as a duplicate at OK.
  if (!state.tags.empty()) {
    const std::string name = NextFreeTagName(platform::ArrayText(scratch.name), state.tags);
    platform::CopyToArray(scratch.name, name);
  }
  if (show(&state.devices, &scratch, &state.tags) != 1)
    return;
  ReleaseRows();
  state.tags.push_back(scratch);
  if (!SaveTags(state))
    ReportSaveFailure("Tag.dat");
  SendHint(kHintTags + 1);
}

void CProjListView::EditTag() {
  const int row = SelectedRow();
  TagRecord* tag = model_->TagAt(row);
  if (tag == nullptr)
    return;
  const auto show = PluginEntry<TagEditorShowFn>(tagEditorFile_);
  if (show == nullptr)
    return;
  ProjectState& state = State();
  if (show(&state.devices, tag, &state.tags) != 1)
    return;
  if (!SaveTags(state))
    ReportSaveFailure("Tag.dat");
  model_->NotifyRowChanged(row);
  table_->viewport()->update();
}

void CProjListView::DeleteTags() {
  std::vector<std::size_t> indexes;
  for (int row : SelectedRows()) {
    if (model_->TagAt(row) != nullptr)
      indexes.push_back(static_cast<std::size_t>(model_->RecordIndex(row)));
  }
  if (indexes.empty())
    return;
  if (!Confirm(kAskDeleteTags))
    return;
  const DeleteOutcome outcome = talvek::DeleteTags(State(), indexes, [this] { ReleaseRows(); });
  ReportUnsaved(outcome);
  SendHint(kHintTags);
}

// --- Screens ---

void CProjListView::NewScreen() {
  editorLink_.NewScreen();
}

void CProjListView::EditScreen() {
  if (const ScreenRecord* screen = model_->ScreenAt(rememberedRow_); screen != nullptr)
    editorLink_.OpenScreen(platform::ArrayText(screen->fileName));
}

void CProjListView::DeleteScreen() {
  const int row = rememberedRow_;
  if (model_->ScreenAt(row) == nullptr)
    return;
  const std::int32_t index = model_->RecordIndex(row);
  if (!Confirm(kAskDeleteScreen))
    return;
  const DeleteOutcome outcome =
      talvek::DeleteScreen(State(), static_cast<std::size_t>(index), [this] { ReleaseRows(); });
  if (!outcome.done)  // the screen's file could not be deleted (the user has been told)
    return;
  ReportUnsaved(outcome);
  SendHint(kHintScreens);
}

// --- Live values ---

void CProjListView::WriteValue() {
  if (model_->Mode() != ListMode::kLiveValues)
    return;
  if (const TagRecord* tag = model_->TagAt(SelectedRow()); tag != nullptr) {
    // The outcome of a value the user typed comes back from the polling thread; a failure is
    // then shown in a message box (the main frame takes the host's events).
    InteractiveWrites interactive(context_.Document().DriverHost());
    WriteValueOfTag(*tag, this);
  }
}

void CProjListView::AddToTrend() {
  if (model_->Mode() != ListMode::kLiveValues)
    return;
  std::vector<std::size_t> indexes;
  for (int row : SelectedRows()) {
    if (model_->TagAt(row) != nullptr)
      indexes.push_back(static_cast<std::size_t>(model_->RecordIndex(row)));
  }
  if (!indexes.empty())
    context_.AddToTrend(indexes);
}

void CProjListView::ToggleHex() {
  model_->SetHexDisplay(!model_->HexDisplay());
  (viewStyle_ == kStyleDetails ? static_cast<QAbstractItemView*>(table_) : icons_)
      ->viewport()
      ->repaint();
}

}  // namespace talvek

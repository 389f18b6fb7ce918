#include "widgets/data_grid.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionHeader>

#include <algorithm>
#include <cmath>

#include "framework/data/data_link.h"
#include "framework/data/data_source.h"
#include "framework/data/field.h"
#include "widgets/exception_display.h"
#include "widgets/text_codec.h"

namespace widgets {

namespace {

constexpr int kIndicatorDesignWidth = 11;
constexpr int kCellPadding = 2;
// Places of the three-place scroll bar of a dataset without record numbers.
constexpr int kBarFirst = 0, kBarInside = 1, kBarLast = 2;

}  // namespace

// ---------------------------------------------------------------- the link

class TDataGrid::TGridLink : public fw::TDataLink {
 public:
  explicit TGridLink(TDataGrid& grid) : grid_(grid) {}

 protected:
  void ActiveChanged() override { grid_.LinkActiveChanged(); }
  void LayoutChanged() override { grid_.LinkLayoutChanged(); }
  void DataSetChanged() override { grid_.LinkDataChanged(); }
  void DataSetScrolled(int /*distance*/) override { grid_.LinkDataChanged(); }
  void RecordChanged(fw::TField* /*field*/) override { grid_.LinkDataChanged(); }

 private:
  TDataGrid& grid_;
};

// ---------------------------------------------------------------- life

TDataGrid::TDataGrid(QWidget* parent) : QAbstractScrollArea(parent), link_(std::make_unique<TGridLink>(*this)) {
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::StyledPanel);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  viewport()->setAutoFillBackground(true);
  viewport()->setBackgroundRole(QPalette::Base);
  connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, [this](int action) { VerticalAction(action); });
  horizontalScrollBar()->setSingleStep(20);
  UpdateRowMetrics();
}

TDataGrid::~TDataGrid() { link_.reset(); }

fw::TDataSource* TDataGrid::DataSource() const { return link_->DataSource(); }

void TDataGrid::SetDataSource(fw::TDataSource* source) {
  link_->SetDataSource(source);
  BindColumns();
  UpdateRowMetrics();
  LinkDataChanged();
}

void TDataGrid::SetColumns(std::vector<TGridColumn> columns) {
  columns_ = std::move(columns);
  BindColumns();
  LinkDataChanged();
}

void TDataGrid::SetDesignScale(double scale) {
  designScale_ = scale > 0 ? scale : 1.0;
  BindColumns();
  LinkDataChanged();
}

// ---------------------------------------------------------------- layout

int TDataGrid::IndicatorWidth() const { return int(std::lround(kIndicatorDesignWidth * designScale_)); }

void TDataGrid::BindColumns() {
  fields_.clear();
  widths_.clear();
  fw::TDataSet* dataSet = link_->Active() ? link_->DataSet() : nullptr;
  std::vector<TGridColumn> shown = columns_;
  if (shown.empty() && dataSet != nullptr) {
    for (fw::TField* field : dataSet->Fields().Items())
      if (field->Visible) shown.push_back(TGridColumn{field->FieldName(), QString(), -1});
  }
  const QFontMetrics metrics(font());
  const int digit = metrics.horizontalAdvance(QLatin1Char('0'));
  for (const TGridColumn& column : shown) {
    fw::TField* field = dataSet != nullptr ? dataSet->FindField(column.FieldName) : nullptr;
    fields_.push_back(field);
    int width = 0;
    if (column.Width >= 0) {
      width = int(std::lround(column.Width * designScale_));
    } else {
      // The field's display width in digits, and room for the title.
      const int chars = field != nullptr ? field->DisplayWidth() : 10;
      const QString title = !column.Title.isEmpty() ? column.Title
                            : field != nullptr      ? FromWindows1251(field->DisplayLabel())
                                                    : FromWindows1251(column.FieldName);
      width = std::max(chars * digit, metrics.horizontalAdvance(title)) + 2 * kCellPadding;
    }
    widths_.push_back(width);
  }
  shownColumns_ = std::move(shown);
  UpdateScrollBars();
}

int TDataGrid::ColumnCount() const { return int(shownColumns_.size()); }

int TDataGrid::ColumnWidth(int column) const {
  return column >= 0 && column < int(widths_.size()) ? widths_[size_t(column)] : 0;
}

QString TDataGrid::ColumnTitle(int column) const {
  if (column < 0 || column >= ColumnCount()) return {};
  const TGridColumn& c = shownColumns_[size_t(column)];
  if (!c.Title.isEmpty()) return c.Title;
  const fw::TField* field = fields_[size_t(column)];
  return FromWindows1251(field != nullptr ? field->DisplayLabel() : c.FieldName);
}

int TDataGrid::TotalColumnsWidth() const {
  int total = IndicatorWidth();
  for (int w : widths_) total += w;
  return total;
}

void TDataGrid::UpdateRowMetrics() {
  // One fixed height for every row: the font's height and a little air.
  rowHeight_ = QFontMetrics(font()).height() + 3;
  link_->SetBufferCount(VisibleRowCount());
}

int TDataGrid::VisibleRowCount() const {
  return std::max(1, (viewport()->height() - TitleHeight()) / std::max(1, rowHeight_));
}

int TDataGrid::ShownRowCount() const { return link_->RecordCount(); }

int TDataGrid::CurrentRow() const { return link_->RecordCount() > 0 ? link_->ActiveRecord() : -1; }

QRect TDataGrid::RowRect(int row) const {
  return QRect(0, TitleHeight() + row * rowHeight_, viewport()->width(), rowHeight_);
}

QString TDataGrid::CellText(int row, int column) const {
  if (column < 0 || column >= ColumnCount() || row < 0 || row >= link_->RecordCount()) return {};
  const fw::TField* field = fields_[size_t(column)];
  if (field == nullptr) return {};
  return FromWindows1251(link_->DisplayText(row, *field));
}

QString TDataGrid::CurrentRowText() const {
  const int row = CurrentRow();
  if (row < 0) return {};
  QStringList cells;
  for (int column = 0; column < ColumnCount(); ++column) cells << CellText(row, column);
  return cells.join(QLatin1Char('\t'));
}

void TDataGrid::CopyCurrentRow() {
  const int row = CurrentRow();
  if (row >= 0) QApplication::clipboard()->setText(CurrentRowText());
}

// ---------------------------------------------------------------- link notifications

void TDataGrid::LinkActiveChanged() {
  BindColumns();
  LinkDataChanged();
}

void TDataGrid::LinkLayoutChanged() {
  BindColumns();
  LinkDataChanged();
}

void TDataGrid::LinkDataChanged() {
  UpdateScrollBars();
  viewport()->update();
}

void TDataGrid::UpdateScrollBars() {
  settingScrollBar_ = true;
  QScrollBar* bar = verticalScrollBar();
  fw::TDataSet* dataSet = link_->Active() ? link_->DataSet() : nullptr;
  const int recNo = dataSet != nullptr && !dataSet->IsEmpty() ? dataSet->RecNo() : -1;
  if (dataSet == nullptr || dataSet->IsEmpty()) {
    bar->setRange(0, 0);
    bar->setValue(0);
  } else if (recNo > 0) {
    const int count = dataSet->RecordCount();
    bar->setRange(0, std::max(0, count - 1));
    bar->setPageStep(VisibleRowCount());
    bar->setSingleStep(1);
    bar->setValue(recNo - 1);
  } else {
    bar->setRange(kBarFirst, kBarLast);
    bar->setPageStep(1);
    bar->setValue(dataSet->Bof() ? kBarFirst : dataSet->Eof() ? kBarLast : kBarInside);
  }
  QScrollBar* hbar = horizontalScrollBar();
  hbar->setRange(0, std::max(0, TotalColumnsWidth() - viewport()->width()));
  hbar->setPageStep(viewport()->width());
  settingScrollBar_ = false;
}

// ---------------------------------------------------------------- moving

template <class F>
void TDataGrid::Navigate(F&& move) {
  fw::TDataSet* dataSet = link_->Active() ? link_->DataSet() : nullptr;
  if (dataSet == nullptr) return;
  RunHandler([&] { move(*dataSet); });
}

void TDataGrid::VerticalAction(int action) {
  if (settingScrollBar_) return;
  QScrollBar* bar = verticalScrollBar();
  const int rows = VisibleRowCount();
  const bool numbered = link_->Active() && link_->DataSet() != nullptr && !link_->DataSet()->IsEmpty() &&
                        link_->DataSet()->RecNo() > 0;
  Navigate([&](fw::TDataSet& dataSet) {
    switch (action) {
      case QAbstractSlider::SliderSingleStepAdd: dataSet.MoveBy(1); break;
      case QAbstractSlider::SliderSingleStepSub: dataSet.MoveBy(-1); break;
      case QAbstractSlider::SliderPageStepAdd: dataSet.MoveBy(rows); break;
      case QAbstractSlider::SliderPageStepSub: dataSet.MoveBy(-rows); break;
      case QAbstractSlider::SliderToMinimum: dataSet.First(); break;
      case QAbstractSlider::SliderToMaximum: dataSet.Last(); break;
      case QAbstractSlider::SliderMove:
        if (numbered) {
          dataSet.SetRecNo(bar->sliderPosition() + 1);
        } else if (bar->sliderPosition() == kBarFirst) {
          dataSet.First();
        } else if (bar->sliderPosition() == kBarLast) {
          dataSet.Last();
        }
        break;
      default: break;
    }
  });
  // The bar shows where the dataset is, not where the mouse left it.
  fw::TDataSet* dataSet = link_->Active() ? link_->DataSet() : nullptr;
  if (dataSet != nullptr && !dataSet->IsEmpty() && numbered) bar->setSliderPosition(dataSet->RecNo() - 1);
}

void TDataGrid::scrollContentsBy(int /*dx*/, int /*dy*/) {
  // Rows follow the dataset, not the bar; the horizontal offset is read
  // when painting.
  viewport()->update();
}

void TDataGrid::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    CopyCurrentRow();
    return;
  }
  const bool ctrl = (event->modifiers() & Qt::ControlModifier) != 0;
  const int rows = VisibleRowCount();
  switch (event->key()) {
    case Qt::Key_Up: Navigate([](fw::TDataSet& d) { d.MoveBy(-1); }); return;
    case Qt::Key_Down: Navigate([](fw::TDataSet& d) { d.MoveBy(1); }); return;
    case Qt::Key_PageUp: Navigate([rows](fw::TDataSet& d) { d.MoveBy(-rows); }); return;
    case Qt::Key_PageDown: Navigate([rows](fw::TDataSet& d) { d.MoveBy(rows); }); return;
    case Qt::Key_Home:
      if (ctrl) {
        Navigate([](fw::TDataSet& d) { d.First(); });
      } else {
        horizontalScrollBar()->setValue(0);
      }
      return;
    case Qt::Key_End:
      if (ctrl) {
        Navigate([](fw::TDataSet& d) { d.Last(); });
      } else {
        horizontalScrollBar()->setValue(horizontalScrollBar()->maximum());
      }
      return;
    case Qt::Key_Left: horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub); return;
    case Qt::Key_Right: horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd); return;
    default: QAbstractScrollArea::keyPressEvent(event);
  }
}

void TDataGrid::wheelEvent(QWheelEvent* event) {
  if (event->angleDelta().x() != 0 && event->angleDelta().y() == 0) {
    QAbstractScrollArea::wheelEvent(event);
    return;
  }
  // Each notch (120 units) moves the current record by the desktop's
  // lines per notch; smaller deltas add up.
  wheelRemainder_ += event->angleDelta().y();
  const int notches = wheelRemainder_ / 120;
  wheelRemainder_ -= notches * 120;
  if (notches != 0) {
    const int distance = -notches * std::max(1, QApplication::wheelScrollLines());
    Navigate([distance](fw::TDataSet& d) { d.MoveBy(distance); });
  }
  event->accept();
}

void TDataGrid::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  if (event->button() != Qt::LeftButton) return;
  const int y = event->position().toPoint().y() - TitleHeight();
  if (y < 0) return;
  const int row = y / rowHeight_;
  if (row >= link_->RecordCount()) return;
  const int distance = row - link_->ActiveRecord();
  if (distance != 0) Navigate([distance](fw::TDataSet& d) { d.MoveBy(distance); });
}

void TDataGrid::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  link_->SetBufferCount(VisibleRowCount());
  UpdateScrollBars();
}

void TDataGrid::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    UpdateRowMetrics();
    BindColumns();
    viewport()->update();
  }
}

// ---------------------------------------------------------------- painting

void TDataGrid::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(viewport());
  const QPalette& pal = palette();
  const int width = viewport()->width();
  const int height = viewport()->height();
  const int xOffset = horizontalScrollBar()->value();
  const int title = TitleHeight();
  const int indicator = IndicatorWidth();
  const QColor fixedColor = pal.color(QPalette::Button);
  const QColor lineColor = pal.color(QPalette::Mid);
  const int shown = link_->RecordCount();
  const int current = CurrentRow();

  // Column edges, left to right, after the indicator.
  std::vector<int> lefts;
  int x = indicator - xOffset;
  for (int w : widths_) {
    lefts.push_back(x);
    x += w;
  }
  const int right = x;

  // Title row and indicator column.
  painter.fillRect(QRect(0, 0, width, title), fixedColor);
  painter.fillRect(QRect(0, title, indicator, height - title), fixedColor);
  painter.setPen(pal.color(QPalette::ButtonText));
  for (int column = 0; column < ColumnCount(); ++column) {
    const QRect cell(lefts[size_t(column)], 0, widths_[size_t(column)], title);
    if (cell.right() < indicator) continue;
    painter.save();
    painter.setClipRect(QRect(indicator, 0, width - indicator, title));
    painter.drawText(cell.adjusted(kCellPadding, 0, -kCellPadding, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     ColumnTitle(column));
    painter.restore();
  }

  // Rows. A field that cannot give its text is reported once the paint is
  // over (a message box does not belong inside a paint).
  const bool focused = hasFocus();
  try {
    for (int row = 0; row < shown; ++row) {
      const QRect rowRect = RowRect(row);
      if (rowRect.top() >= height) break;
      const bool isCurrent = row == current;
      if (isCurrent) {
        // The current row: the selection colour while the grid has the
        // focus, a pale shade of it otherwise.
        QColor shade = pal.color(QPalette::Highlight);
        if (!focused) shade.setAlpha(60);
        painter.fillRect(QRect(indicator, rowRect.top(), std::max(0, right - indicator), rowHeight_), shade);
        // The indicator's arrow.
        const int cx = indicator / 2, cy = rowRect.center().y();
        const int s = std::max(2, rowHeight_ / 4);
        const QPointF arrow[3] = {QPointF(cx - s / 2.0, cy - s), QPointF(cx + s / 2.0 + 1, cy), QPointF(cx - s / 2.0, cy + s)};
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(pal.color(QPalette::ButtonText));
        painter.drawPolygon(arrow, 3);
        painter.restore();
      }
      painter.setPen(pal.color(isCurrent && focused ? QPalette::HighlightedText : QPalette::Text));
      painter.save();
      painter.setClipRect(QRect(indicator, title, width - indicator, height - title));
      for (int column = 0; column < ColumnCount(); ++column) {
        const QRect cell(lefts[size_t(column)], rowRect.top(), widths_[size_t(column)], rowHeight_);
        if (cell.right() < indicator || cell.left() >= width) continue;
        painter.drawText(cell.adjusted(kCellPadding, 0, -kCellPadding, 0), Qt::AlignVCenter | Qt::AlignLeft,
                         CellText(row, column));
      }
      painter.restore();
    }
  } catch (const std::exception&) {
    QMetaObject::invokeMethod(
        this, [error = std::current_exception()] { RunHandler([&] { std::rethrow_exception(error); }); },
        Qt::QueuedConnection);
  }

  // Grid lines: under the title and each row, right of each column.
  painter.setPen(lineColor);
  const int bottom = title + shown * rowHeight_;
  painter.drawLine(0, title - 1, width, title - 1);
  for (int row = 1; row <= shown; ++row) {
    const int y = title + row * rowHeight_ - 1;
    if (y >= height) break;
    painter.drawLine(0, y, right, y);
  }
  painter.drawLine(indicator - 1, 0, indicator - 1, std::max(bottom, title));
  for (int column = 0; column < ColumnCount(); ++column) {
    const int edge = lefts[size_t(column)] + widths_[size_t(column)] - 1;
    if (edge >= indicator) painter.drawLine(edge, 0, edge, std::max(bottom, title));
  }
}

}  // namespace widgets

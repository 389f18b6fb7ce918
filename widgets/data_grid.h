#pragma once
// TDataGrid: a grid that shows the records of a dataset through a data link
// on a TDataSource. It never copies the table: its rows are the window of
// the dataset's ring of record buffers that the link holds, and the link's
// window is sized to the rows that fit the grid's height, so the dataset
// reads just as many records as are on the screen.
//
// Layout: a title row, then rows of one fixed height; on the left an
// indicator column that marks the current record; then the columns, each
// naming a field of the dataset. The grid follows the dataset's current
// record and moves it: arrow keys, Page Up/Down (a window of rows),
// Ctrl+Home/End (first and last record), the mouse wheel, a click on a row.
// The vertical scroll bar stands for the whole table: its position is the
// current record's number - 1 out of the record count, so dragging the
// thumb to a place moves the dataset to the record with that number.
// Datasets without record numbers get a three-place bar (first, inside,
// last). Ctrl+C copies the current row as tab-separated text.
//
// Text arrives from the fields in Windows-1251 and is converted for the
// screen.

#include <QAbstractScrollArea>
#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace fw {
class TDataSource;
class TField;
}  // namespace fw

namespace widgets {

struct TGridColumn {
  std::string FieldName;  // the field shown (Windows-1251)
  QString Title;          // empty: the field's display label
  int Width = -1;         // designed width in pixels; -1: from the field's display width
};

class TDataGrid : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit TDataGrid(QWidget* parent = nullptr);
  ~TDataGrid() override;
  TDataGrid(const TDataGrid&) = delete;
  TDataGrid& operator=(const TDataGrid&) = delete;

  fw::TDataSource* DataSource() const;
  void SetDataSource(fw::TDataSource* source);

  // The columns in order; none given: one per visible field of the dataset.
  const std::vector<TGridColumn>& Columns() const { return columns_; }
  void SetColumns(std::vector<TGridColumn> columns);
  // Designed widths are multiplied by this factor (a form designed at one
  // resolution and shown at another).
  double DesignScale() const { return designScale_; }
  void SetDesignScale(double scale);

  // ---- What is shown ----
  int ColumnCount() const;
  // Width in pixels of column i as laid out now.
  int ColumnWidth(int column) const;
  QString ColumnTitle(int column) const;
  int RowHeight() const { return rowHeight_; }
  int TitleHeight() const { return rowHeight_; }
  int IndicatorWidth() const;
  // Rows that fit the viewport (the link's window size), at least 1.
  int VisibleRowCount() const;
  // Rows of the window that hold records.
  int ShownRowCount() const;
  // The text of a cell in a window row, as painted.
  QString CellText(int row, int column) const;
  // The window row of the current record (-1 when nothing is shown).
  int CurrentRow() const;
  // The current record's cells separated by tabs.
  QString CurrentRowText() const;
  // Puts CurrentRowText() on the clipboard.
  void CopyCurrentRow();
  // The rectangle of a window row in viewport coordinates.
  QRect RowRect(int row) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void changeEvent(QEvent* event) override;

 private:
  class TGridLink;
  friend class TGridLink;

  // The link told us something: fields may have changed, the window moved.
  void LinkActiveChanged();
  void LinkLayoutChanged();
  void LinkDataChanged();
  void BindColumns();
  void UpdateRowMetrics();
  void UpdateScrollBars();
  void VerticalAction(int action);
  // Runs a dataset move; an error goes to the application like any other
  // error of an event handler.
  template <class F>
  void Navigate(F&& move);
  int TotalColumnsWidth() const;

  std::unique_ptr<TGridLink> link_;
  std::vector<TGridColumn> columns_;       // as given
  std::vector<TGridColumn> shownColumns_;  // as shown (from the fields when none given)
  std::vector<fw::TField*> fields_;  // by column; null when the dataset lacks it
  std::vector<int> widths_;          // by column, in pixels
  double designScale_ = 1.0;
  int rowHeight_ = 18;
  int wheelRemainder_ = 0;
  bool settingScrollBar_ = false;
};

}  // namespace widgets

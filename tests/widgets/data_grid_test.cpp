// The data grid over a real subscriber table (a demo directory of 10,000
// subscribers): its rows are the dataset's ring sized to the grid's height,
// they show the records in index order with their Windows-1251 text
// decoded, and keys, wheel, clicks and the scroll bar move the dataset to
// the record they name. The oracle is the table read straight from the
// engine in the same index order.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWheelEvent>

#include <memory>

#include "dataset/tabula_table.h"
#include "tabula/locale.h"
#include "framework/data/data_source.h"
#include "tests/support/directory/directory_rows.h"
#include "tests/support/qt_environment.h"
#include "widgets/data_grid.h"

namespace {

using testing_support::TTableRows;
using widgets::TDataGrid;

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::TQtEnvironment<>("data_grid_test"));

constexpr int64_t kSubscribers = 10000;

class DataGridTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ = new std::filesystem::path(testing_support::SharedDemoDirectory(kSubscribers));
    byNumber_ = new TTableRows(testing_support::ReadTableRows((*directory_ / "base2.DAT").string(), "Numtel"));
  }
  static void TearDownTestSuite() {
    delete byNumber_;
    delete directory_;
  }

  void SetUp() override {
    table_.SetDatabaseName(directory_->string());
    table_.SetTableName("base2.DAT");
    table_.SetReadOnly(true);
    table_.SetIndexFieldNames("Numtel");
    source_.SetDataSet(&table_);
    grid_ = std::make_unique<TDataGrid>();
    grid_->SetColumns({{"Numtel", QStringLiteral("№ тел."), -1}, {"Name", QString(), 300}, {"dom", QString(), 40}});
    grid_->resize(500, 240);
    grid_->SetDataSource(&source_);
    grid_->show();
    table_.Open();
  }

  void TearDown() override {
    grid_.reset();
    table_.Close();
  }

  // The record the oracle puts at a record number (1-based).
  std::string Numtel(int recNo) const { return byNumber_->At(size_t(recNo - 1), "Numtel"); }

  // Every shown row is the oracle's record at its place around the current
  // one, and the scroll bar stands at the current record.
  void ExpectWindowMatches() const {
    const int recNo = table_.RecNo();
    const int current = grid_->CurrentRow();
    ASSERT_GE(current, 0);
    EXPECT_EQ(grid_->verticalScrollBar()->value(), recNo - 1);
    for (int row = 0; row < grid_->ShownRowCount(); ++row) {
      const int shownRecNo = recNo - current + row;
      ASSERT_GE(shownRecNo, 1);
      EXPECT_EQ(grid_->CellText(row, 0).toStdString(), Numtel(shownRecNo)) << "row " << row;
      EXPECT_EQ(grid_->CellText(row, 1).toStdString(),
                tabula::Cp1251ToUtf8(byNumber_->At(size_t(shownRecNo - 1), "Name")))
          << "row " << row;
    }
  }

  static std::filesystem::path* directory_;
  static TTableRows* byNumber_;
  tabula::db::TTabulaTable table_;
  fw::TDataSource source_;
  std::unique_ptr<TDataGrid> grid_;
};

std::filesystem::path* DataGridTest::directory_ = nullptr;
TTableRows* DataGridTest::byNumber_ = nullptr;

TEST_F(DataGridTest, RowsAreTheRingSizedToTheVisibleHeight) {
  ASSERT_EQ(byNumber_->Rows.size(), size_t(kSubscribers));
  const int rows = grid_->VisibleRowCount();
  EXPECT_EQ(rows, (grid_->viewport()->height() - grid_->TitleHeight()) / grid_->RowHeight());
  EXPECT_EQ(table_.BufferCount(), rows);
  EXPECT_EQ(grid_->ShownRowCount(), rows);
  EXPECT_EQ(table_.RecNo(), 1);
  EXPECT_EQ(grid_->verticalScrollBar()->maximum(), kSubscribers - 1);
  ExpectWindowMatches();

  // A taller grid reads more records; a shorter one fewer.
  grid_->resize(500, 400);
  EXPECT_GT(grid_->VisibleRowCount(), rows);
  EXPECT_EQ(table_.BufferCount(), grid_->VisibleRowCount());
  EXPECT_EQ(grid_->ShownRowCount(), grid_->VisibleRowCount());
  ExpectWindowMatches();
  grid_->resize(500, 120);
  EXPECT_EQ(grid_->ShownRowCount(), grid_->VisibleRowCount());
  ExpectWindowMatches();

  // Columns from the given titles, or the field's label.
  EXPECT_EQ(grid_->ColumnTitle(0), QStringLiteral("№ тел."));
  EXPECT_EQ(grid_->ColumnTitle(1), QStringLiteral("Name"));
  EXPECT_EQ(grid_->ColumnWidth(1), 300);
}

TEST_F(DataGridTest, KeysMoveTheCurrentRecord) {
  const int rows = grid_->VisibleRowCount();
  struct TStep {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    int expectedRecNo;
  };
  const TStep steps[] = {
      {Qt::Key_Up, Qt::NoModifier, 1},                       // nothing before the first
      {Qt::Key_Down, Qt::NoModifier, 2},
      {Qt::Key_PageDown, Qt::NoModifier, 2 + rows},
      {Qt::Key_PageDown, Qt::NoModifier, 2 + 2 * rows},
      {Qt::Key_PageUp, Qt::NoModifier, 2 + rows},
      {Qt::Key_End, Qt::ControlModifier, int(kSubscribers)},
      {Qt::Key_Down, Qt::NoModifier, int(kSubscribers)},     // nothing after the last
      {Qt::Key_PageDown, Qt::NoModifier, int(kSubscribers)},
      {Qt::Key_Up, Qt::NoModifier, int(kSubscribers) - 1},
      {Qt::Key_PageUp, Qt::NoModifier, int(kSubscribers) - 1 - rows},
      {Qt::Key_Home, Qt::ControlModifier, 1},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(QKeySequence(step.key | step.modifiers).toString().toStdString());
    QTest::keyClick(grid_.get(), step.key, step.modifiers);
    EXPECT_EQ(table_.RecNo(), step.expectedRecNo);
    ExpectWindowMatches();
  }
}

TEST_F(DataGridTest, ScrollBarPositionIsTheRecordNumber) {
  QScrollBar* bar = grid_->verticalScrollBar();
  ASSERT_EQ(bar->maximum(), kSubscribers - 1);

  // Any position lands on the record of that number.
  for (int position : {int(kSubscribers) / 2, 0, int(kSubscribers) - 1, 7777, 1}) {
    bar->setSliderPosition(position);
    EXPECT_EQ(table_.RecNo(), position + 1);
    ExpectWindowMatches();
  }

  // Dragging the thumb with the mouse to the middle of the groove lands on
  // the record the bar's middle position names.
  table_.First();
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.orientation = bar->orientation();
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  option.upsideDown = bar->invertedAppearance();
  const QRect thumb = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, bar);
  const QRect groove = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarGroove, bar);
  const QPoint from = thumb.center();
  const QPoint to(from.x(), groove.top() + (groove.height() - thumb.height()) / 2 + (from.y() - thumb.top()));
  QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, from);
  QMouseEvent move(QEvent::MouseMove, QPointF(to), bar->mapToGlobal(QPointF(to)), Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(bar, &move);
  QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, to);
  const int middle = (kSubscribers - 1) / 2;
  const int pixelWorth = kSubscribers / std::max(1, groove.height() - thumb.height()) + 1;
  EXPECT_NEAR(bar->value(), middle, pixelWorth);
  EXPECT_EQ(table_.RecNo(), bar->value() + 1);
  ExpectWindowMatches();

  // The arrows of the bar step one record.
  const int before = table_.RecNo();
  bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_EQ(table_.RecNo(), before + 1);
  bar->triggerAction(QAbstractSlider::SliderPageStepSub);
  EXPECT_EQ(table_.RecNo(), before + 1 - grid_->VisibleRowCount());
  ExpectWindowMatches();
}

TEST_F(DataGridTest, WheelAndClicksMoveTheCurrentRecord) {
  const int lines = std::max(1, QApplication::wheelScrollLines());
  const QPointF at(100, 100);
  auto wheel = [&](int delta) {
    QWheelEvent event(at, grid_->viewport()->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(grid_->viewport(), &event);
  };
  wheel(-120);
  EXPECT_EQ(table_.RecNo(), 1 + lines);
  wheel(-60);  // half a notch waits for the other half
  EXPECT_EQ(table_.RecNo(), 1 + lines);
  wheel(-60);
  EXPECT_EQ(table_.RecNo(), 1 + 2 * lines);
  wheel(240);
  EXPECT_EQ(table_.RecNo(), 1);
  ExpectWindowMatches();

  // A click on a row makes its record the current one.
  table_.SetRecNo(500);
  const int current = grid_->CurrentRow();
  const int target = current > 2 ? current - 2 : current + 2;
  QTest::mouseClick(grid_->viewport(), Qt::LeftButton, Qt::NoModifier, grid_->RowRect(target).center());
  EXPECT_EQ(grid_->CurrentRow(), target);
  EXPECT_EQ(table_.RecNo(), 500 + target - current);
  ExpectWindowMatches();
  // A click below the last record moves nothing.
  grid_->resize(500, 2000);
  table_.Last();
  const int last = table_.RecNo();
  QTest::mouseClick(grid_->viewport(), Qt::LeftButton, Qt::NoModifier,
                    grid_->RowRect(grid_->VisibleRowCount() - 1).center());
  EXPECT_EQ(table_.RecNo(), last);
}

TEST_F(DataGridTest, CopyPutsTheCurrentRowOnTheClipboard) {
  table_.SetRecNo(777);
  QTest::keyClick(grid_.get(), Qt::Key_C, Qt::ControlModifier);
  const std::string expected = Numtel(777) + "\t" + tabula::Cp1251ToUtf8(byNumber_->At(776, "Name")) + "\t" +
                               byNumber_->At(776, "dom");
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), expected);
}

TEST_F(DataGridTest, ClosedDatasetShowsNothingAndOpeningShowsItAgain) {
  table_.Close();
  EXPECT_EQ(grid_->ShownRowCount(), 0);
  EXPECT_EQ(grid_->CurrentRow(), -1);
  EXPECT_EQ(grid_->verticalScrollBar()->maximum(), 0);
  EXPECT_TRUE(grid_->CellText(0, 0).isEmpty());
  QTest::keyClick(grid_.get(), Qt::Key_Down);  // nothing to move, nothing raised
  table_.Open();
  EXPECT_EQ(grid_->ShownRowCount(), grid_->VisibleRowCount());
  ExpectWindowMatches();
}

}  // namespace

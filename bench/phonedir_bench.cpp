// The directory application on a large directory (default 1,000,000
// subscribers, made once by the demo generator and kept):
//   - start to first painted grid: from the program's entry (and, again,
//     from creating the forms) to the end of the first paint of the grid
//     with its rows;
//   - keystroke to repainted grid: from a key typed into a search box to
//     the end of the grid's next paint, for the phone, name and house boxes;
//   - the scroll bar dragged to the middle: the record it lands on.
// It drives the real window on the current Qt platform (scripts/bench sets
// offscreen). Usage:
//   bench_phonedir [--subscribers N] [--directory DIR]

#include <QAbstractButton>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/find_form.h"
#include "dataset/tabula_table.h"
#include "tools/demo/demo_directory.h"
#include "widgets/data_grid.h"
#include "widgets/radio_group.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Notes when the grid's viewport is painted with rows on it.
class TPaintWatch : public QObject {
 public:
  explicit TPaintWatch(widgets::TDataGrid* grid) : grid_(grid) { grid->viewport()->installEventFilter(this); }
  int Paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && grid_->ShownRowCount() > 0) ++Paints;
    return false;
  }

 private:
  widgets::TDataGrid* grid_;
};

// Runs the event loop until the grid has been painted once more; answers
// the time at which that happened.
Clock::time_point UntilPainted(TPaintWatch& watch) {
  const int before = watch.Paints;
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(30);
  while (watch.Paints == before && Clock::now() < limit) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  return Clock::now();
}

struct TStats {
  double Min = 0, Median = 0, Max = 0;
  size_t Count = 0;
};

TStats Stats(std::vector<double> v) {
  TStats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.Min = v.front();
  s.Max = v.back();
  s.Median = v[v.size() / 2];
  s.Count = v.size();
  return s;
}

void Report(const char* what, const TStats& s) {
  std::printf("%-44s n=%-3zu min %8.2f ms  median %8.2f ms  max %8.2f ms\n", what, s.Count, s.Min, s.Median, s.Max);
}

// Types each key into the box and times it to the repainted grid.
std::vector<double> TimeKeys(QLineEdit* box, TPaintWatch& watch, const QString& keys, int backspaces) {
  std::vector<double> times;
  box->setFocus();
  auto one = [&](Qt::Key key, const QString& text) {
    const Clock::time_point start = Clock::now();
    QTest::sendKeyEvent(QTest::Press, box, key, text, Qt::NoModifier);
    QTest::sendKeyEvent(QTest::Release, box, key, text, Qt::NoModifier);
    times.push_back(Ms(UntilPainted(watch) - start));
  };
  for (const QChar ch : keys)
    one(ch.isDigit() ? Qt::Key(Qt::Key_0 + ch.digitValue()) : Qt::Key_unknown, QString(ch));
  for (int i = 0; i < backspaces; ++i) one(Qt::Key_Backspace, QString());
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  Clock::time_point programStart = Clock::now();
  int64_t subscribers = 1000000;
  std::string directory;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--subscribers") == 0) subscribers = std::stoll(argv[i + 1]);
    if (std::strcmp(argv[i], "--directory") == 0) directory = argv[i + 1];
  }
  if (directory.empty()) directory = "phonedir-bench-" + std::to_string(subscribers);
  if (!fs::exists(fs::path(directory) / "base2.DAT")) {
    std::printf("making a demo directory of %lld subscribers in %s\n", static_cast<long long>(subscribers),
                directory.c_str());
    demo::TDemoOptions options;
    options.Directory = directory;
    options.Subscribers = subscribers;
    options.Overwrite = true;
    const Clock::time_point made = Clock::now();
    demo::MakeDemoDirectory(options);
    std::printf("made in %.1f s\n", Ms(Clock::now() - made) / 1000);
    // Making the directory is not part of starting the program.
    programStart += Clock::now() - made;
  }

  app::TApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  if (!QDir::setCurrent(QString::fromStdString(directory))) return 2;
  std::printf("directory %s, platform %s\n", QDir::currentPath().toLocal8Bit().constData(),
              QGuiApplication::platformName().toLocal8Bit().constData());
  // Start: the forms are made, the tables opened, the window shown; the
  // time runs to the end of the first paint of the grid with rows.
  std::vector<double> starts;
  double fromEntry = 0;
  for (int run = 0; run < 6; ++run) {
    const Clock::time_point start = Clock::now();
    if (!app::TApplication::CreateForms()) return 1;
    TPaintWatch watch(app::FindForm->DBGrid1);
    app::FindForm->show();
    const Clock::time_point painted = UntilPainted(watch);
    if (run == 0) {
      fromEntry = Ms(painted - programStart);
    } else {
      starts.push_back(Ms(painted - start));
    }
    // Let the activation (street list, first banner) finish before closing.
    QTest::qWait(200);
    app::FindForm->close();
    app::TApplication::DestroyForms();
  }
  std::printf("subscribers %lld\n", static_cast<long long>(subscribers));
  std::printf("%-44s %8.2f ms\n", "start to first painted grid (program entry)", fromEntry);
  Report("start to first painted grid (forms made)", Stats(starts));

  if (!app::TApplication::CreateForms()) return 1;
  app::TFindForm& form = *app::FindForm;
  TPaintWatch watch(form.DBGrid1);
  form.show();
  UntilPainted(watch);
  QTest::qWait(300);

  Report("keystroke to repainted grid: phone digits", Stats(TimeKeys(form.Edit1, watch, "234567", 6)));
  QTest::mouseClick(static_cast<QWidget*>(form.RadioSort->Button(2)), Qt::LeftButton);
  UntilPainted(watch);
  Report("keystroke to repainted grid: name letters",
         Stats(TimeKeys(form.Edit6, watch, QStringLiteral("петров"), 6)));
  QTest::mouseClick(static_cast<QWidget*>(form.RadioSort->Button(1)), Qt::LeftButton);
  UntilPainted(watch);
  Report("keystroke to repainted grid: house digits", Stats(TimeKeys(form.Edit3, watch, "125", 3)));

  // The scroll bar's middle position names the middle record.
  QScrollBar* bar = form.DBGrid1->verticalScrollBar();
  const int middle = bar->maximum() / 2;
  const Clock::time_point dragStart = Clock::now();
  bar->setSliderPosition(middle);
  const double dragMs = Ms(UntilPainted(watch) - dragStart);
  const int recNo = form.TabulaTable1->RecNo();
  std::printf("scroll bar to the middle: position %d of %d -> record %d of %d (%s), %.2f ms to repainted grid\n",
              middle, bar->maximum(), recNo, form.TabulaTable1->RecordCount(),
              recNo == middle + 1 ? "exact" : "WRONG", dragMs);
  form.close();
  app::TApplication::DestroyForms();
  return recNo == middle + 1 ? 0 : 1;
}

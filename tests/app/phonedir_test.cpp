// The directory application driven as a user drives it: the real main
// window and street picker on the offscreen platform, over a small demo
// directory made by the generator, keys typed into the real widgets,
// message boxes answered as they come. What the window should show is
// worked out from the tables read straight from the engine.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/application.h"
#include "app/find_form.h"
#include "app/ul_view_form.h"
#include "dataset/tabula_table.h"
#include "tabula/locale.h"
#include "tests/app/message_box_watcher.h"
#include "tests/app/user_input.h"
#include "tests/support/directory/directory_rows.h"
#include "tests/support/qt_environment.h"
#include "tests/support/temp_dir.h"
#include "widgets/combo_box.h"
#include "widgets/data_grid.h"
#include "widgets/gif_encoder.h"
#include "widgets/gif_animator.h"
#include "widgets/message_panel.h"
#include "widgets/placement.h"
#include "widgets/radio_group.h"
#include "widgets/text_codec.h"

namespace {

namespace fs = std::filesystem;
using app::TApplication;
using app::TFindForm;
using app_test::Backspace;
using app_test::TMessageBoxWatcher;
using app_test::TypeText;
using testing_support::TTableRows;
using widgets::FromWindows1251;

// The program's own application object. Its settings and temporary
// directories are this test program's own: ctest runs several of these
// programs side by side, and one must neither read nor remove another's
// ini file or banner pictures.
[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::TQtEnvironment<TApplication>("phonedir_test", [] {
      static const testing_support::TempDir home;
      fs::create_directories(home.Path() / "config");
      fs::create_directories(home.Path() / "tmp");
      setenv("XDG_CONFIG_HOME", (home.Path() / "config").c_str(), 1);
      setenv("TMPDIR", (home.Path() / "tmp").c_str(), 1);
    }));

constexpr int64_t kSubscribers = 3000;

QString IniPath() {
  return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/zivmar.ini");
}

// Counts the paints of a widget.
class TPaintCounter : public QObject {
 public:
  explicit TPaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  int Count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++Count;
    return false;
  }
};

class PhonedirTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ = new fs::path(testing_support::SharedDemoDirectory(kSubscribers));
    const auto path = [](const char* name) { return (*directory_ / name).string(); };
    byNumber_ = new TTableRows(testing_support::ReadTableRows(path("base2.DAT"), "Numtel"));
    byAddress_ = new TTableRows(testing_support::ReadTableRows(path("base2.DAT"), "Address"));
    byName_ = new TTableRows(testing_support::ReadTableRows(path("base2.DAT"), "Name"));
    streets_ = new TTableRows(testing_support::ReadTableRows(path("street.DAT"), "primary"));
    banners_ = new TTableRows(testing_support::ReadTableRows(path("banners.DAT"), "primary"));
  }
  static void TearDownTestSuite() {
    delete byNumber_;
    delete byAddress_;
    delete byName_;
    delete streets_;
    delete banners_;
    delete directory_;
  }

  void SetUp() override {
    QApplication::setQuitOnLastWindowClosed(false);
    QFile::remove(IniPath());
    savedDirectory_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(directory_->string())));
    StartProgram();
  }

  void TearDown() override {
    TApplication::DestroyForms();
    QDir::setCurrent(savedDirectory_);
    QFile::remove(IniPath());
  }

  // Creates the forms, shows the main window and waits for its activation.
  void StartProgram() {
    ASSERT_TRUE(TApplication::CreateForms(TFindForm::kDesignPixelsPerInch));
    form_ = app::FindForm;
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_));
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->StreetList().Count() > 0; }, 10000));
    ASSERT_TRUE(watcher_.Texts().isEmpty()) << watcher_.Texts().join('\n').toStdString();
  }

  std::string Current(const char* field) const { return form_->TabulaTable1->FieldByName(field).AsString(); }

  void ChooseMode(int mode) {
    QTest::mouseClick(static_cast<QWidget*>(form_->RadioSort->Button(mode)), Qt::LeftButton);
  }

  // The street entry: leaving the box as a user does, with Tab.
  void LeaveStreetBox() { QTest::keyClick(form_->ComboBox1, Qt::Key_Tab); }

  // The code of the first street of that name in load order.
  static std::string CodeOfStreet(const std::string& name) {
    for (size_t i = 0; i < streets_->Rows.size(); ++i)
      if (streets_->At(i, "NAME") == name) return streets_->At(i, "KODUL");
    return {};
  }
  // Streets whose names contain the text, in load order.
  static std::vector<std::string> StreetsContaining(const std::string& text) {
    std::vector<std::string> names;
    for (size_t i = 0; i < streets_->Rows.size(); ++i)
      if (streets_->At(i, "NAME").find(text) != std::string::npos) names.push_back(streets_->At(i, "NAME"));
    return names;
  }

  static fs::path* directory_;
  static TTableRows* byNumber_;
  static TTableRows* byAddress_;
  static TTableRows* byName_;
  static TTableRows* streets_;
  static TTableRows* banners_;
  QString savedDirectory_;
  TMessageBoxWatcher watcher_;
  TFindForm* form_ = nullptr;
};

fs::path* PhonedirTest::directory_ = nullptr;
TTableRows* PhonedirTest::byNumber_ = nullptr;
TTableRows* PhonedirTest::byAddress_ = nullptr;
TTableRows* PhonedirTest::byName_ = nullptr;
TTableRows* PhonedirTest::streets_ = nullptr;
TTableRows* PhonedirTest::banners_ = nullptr;

// ---------------------------------------------------------------- searching

TEST_F(PhonedirTest, PhoneDigitsPutTheGridOnTheNearestNumber) {
  // The first number at or after the typed digits followed by zeros.
  auto firstAtOrAfter = [](const std::string& key) {
    for (size_t i = 0; i < byNumber_->Rows.size(); ++i)
      if (byNumber_->At(i, "Numtel") >= key) return byNumber_->At(i, "Numtel");
    return byNumber_->Rows.back().at(size_t(byNumber_->Column("Numtel")));
  };
  TPaintCounter paints(form_->DBGrid1->viewport());
  form_->Edit1->setFocus();
  struct TStep {
    std::function<void()> input;
    std::string expected;
  };
  const TStep steps[] = {
      {[&] { TypeText(form_->Edit1, "2"); }, firstAtOrAfter("200000")},
      {[&] { TypeText(form_->Edit1, "3"); }, firstAtOrAfter("230000")},
      {[&] { TypeText(form_->Edit1, "4"); }, firstAtOrAfter("234000")},
      {[&] { Backspace(form_->Edit1, 3); }, byNumber_->At(0, "Numtel")},  // an empty box searches from 0
      {[&] { TypeText(form_->Edit1, "9999999"); }, byNumber_->Rows.back().at(0)},  // past the last: the last
  };
  for (const TStep& step : steps) {
    const int before = paints.Count;
    step.input();
    SCOPED_TRACE(form_->Edit1->text().toStdString());
    EXPECT_EQ(Current("Numtel"), step.expected);
    // The grid shows it on its current row, and is painted again.
    const int row = form_->DBGrid1->CurrentRow();
    EXPECT_EQ(form_->DBGrid1->CellText(row, 0).toStdString(), step.expected);
    EXPECT_TRUE(QTest::qWaitFor([&] { return paints.Count > before; }, 2000));
  }
  EXPECT_TRUE(watcher_.Texts().isEmpty()) << watcher_.Texts().join('\n').toStdString();
}

TEST_F(PhonedirTest, ModesSelectTheirIndexPanelAndFocusAndKeepTheTypedTexts) {
  struct TMode {
    int item;
    const char* indexFields;
    QWidget* panel;
    QWidget* focus;
  };
  const TMode modes[] = {
      {1, "kodul;dom;korp", form_->PanelAddr, form_->ComboBox1},
      {2, "NAME", form_->PanelName, form_->Edit6},
      {0, "Numtel", form_->PanelTel, form_->Edit1},
      {1, "kodul;dom;korp", form_->PanelAddr, form_->ComboBox1},
      {2, "NAME", form_->PanelName, form_->Edit6},
  };
  // Something is typed in each mode's box the first time round.
  QLineEdit* const boxes[] = {form_->Edit1, form_->Edit3, form_->Edit6};
  const QString texts[] = {QStringLiteral("5"), QStringLiteral("7"), QStringLiteral("ив")};
  TypeText(form_->Edit1, texts[0]);
  for (const TMode& mode : modes) {
    SCOPED_TRACE(mode.indexFields);
    const std::string id = Current("id");
    ChooseMode(mode.item);
    EXPECT_EQ(form_->RadioSort->ItemIndex(), mode.item);
    EXPECT_EQ(form_->TabulaTable1->IndexFieldNames(), mode.indexFields);
    for (QWidget* panel : {form_->PanelTel, form_->PanelAddr, form_->PanelName})
      EXPECT_EQ(panel->isVisible(), panel == mode.panel) << panel->objectName().toStdString();
    QWidget* focused = form_->focusWidget();
    EXPECT_TRUE(focused == mode.focus || mode.focus->isAncestorOf(focused))
        << (focused != nullptr ? focused->objectName().toStdString() : "none");
    // No search runs on a switch: the grid stays on its record.
    EXPECT_EQ(Current("id"), id);
    if (boxes[mode.item]->text().isEmpty()) TypeText(boxes[mode.item], texts[mode.item]);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(boxes[i]->text(), texts[i]);
  EXPECT_TRUE(watcher_.Texts().isEmpty()) << watcher_.Texts().join('\n').toStdString();
}

TEST_F(PhonedirTest, StreetFromTheDropDownSetsTheStreetCodeWhenTheBoxIsLeft) {
  ChooseMode(1);
  // A part of the last street's name, typed in lower case.
  const std::string last = streets_->Rows.back().at(size_t(streets_->Column("NAME")));
  const QString lastName = FromWindows1251(last);
  const QString part = lastName.mid(lastName.size() / 2 - 2, 4);
  ASSERT_EQ(part.size(), 4);
  TypeText(form_->ComboBox1, part.toLower());
  const std::string id = Current("id");

  form_->ComboBox1->showPopup();
  EXPECT_EQ(form_->ComboBox1->currentText(), part.toUpper());
  const std::vector<std::string> expected = StreetsContaining(widgets::ToWindows1251(part.toUpper()));
  ASSERT_EQ(form_->ComboBox1->count(), int(expected.size()));
  for (int i = 0; i < form_->ComboBox1->count(); ++i)
    EXPECT_EQ(widgets::ToWindows1251(form_->ComboBox1->itemText(i)), expected[size_t(i)]);
  EXPECT_EQ(form_->ComboBox1->itemText(form_->ComboBox1->count() - 1), lastName);

  // The user picks the last item of the list.
  QAbstractItemView* list = form_->ComboBox1->view();
  list->setCurrentIndex(list->model()->index(form_->ComboBox1->count() - 1, 0));
  QTest::keyClick(list, Qt::Key_Return);
  EXPECT_EQ(form_->ComboBox1->currentText(), lastName);
  EXPECT_TRUE(form_->SelectedStreetCode().empty());  // nothing until the box is left

  LeaveStreetBox();
  EXPECT_EQ(form_->SelectedStreetCode(), CodeOfStreet(last));
  EXPECT_FALSE(app::UlViewForm->isVisible());
  EXPECT_EQ(Current("id"), id);  // the grid waits for a house or a building
  EXPECT_TRUE(watcher_.Texts().isEmpty()) << watcher_.Texts().join('\n').toStdString();
}

TEST_F(PhonedirTest, UnknownStreetIsReported) {
  ChooseMode(1);
  TypeText(form_->ComboBox1, QStringLiteral("щщщщ"));
  LeaveStreetBox();
  ASSERT_EQ(watcher_.Texts().size(), 1);
  EXPECT_EQ(watcher_.Texts()[0], QStringLiteral("Нет такой улицы. Повторите ввод"));
  EXPECT_EQ(watcher_.Captions()[0], QStringLiteral("Ошибка"));
  EXPECT_TRUE(form_->SelectedStreetCode().empty());
  EXPECT_FALSE(app::UlViewForm->isVisible());
}

TEST_F(PhonedirTest, SeveralStreetsOpenThePickerAndEnterChoosesOne) {
  // Three letters that several street names contain, none of them whole.
  std::string part;
  std::vector<std::string> matches;
  for (size_t i = 0; i < streets_->Rows.size() && part.empty(); ++i) {
    const QString name = FromWindows1251(streets_->At(i, "NAME"));
    for (int k = 0; k + 3 <= name.size(); ++k) {
      const QString piece = name.mid(k, 3);
      if (!piece[0].isLetter() || !piece[1].isLetter() || !piece[2].isLetter()) continue;
      matches = StreetsContaining(widgets::ToWindows1251(piece));
      if (matches.size() >= 3 && matches.size() <= 8) {
        part = widgets::ToWindows1251(piece);
        break;
      }
    }
  }
  ASSERT_FALSE(part.empty());
  ChooseMode(1);
  // The picker restarts the banners: move them on first.
  form_->Timer1Timer();
  ASSERT_EQ(form_->TabulaTable4->RecNo(), 2);

  QStringList shown;
  bool enterWithoutChoiceIgnored = false;
  bool firstSelected = false;
  QPoint pickerPlace;
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] {
    app::TUlViewForm* picker = app::UlViewForm;
    if (!picker->isVisible() || QApplication::activeModalWidget() != picker) return;
    driver.stop();
    pickerPlace = picker->pos();
    for (int i = 0; i < picker->ListBox1->count(); ++i) shown << picker->ListBox1->item(i)->text();
    firstSelected = picker->ListBox1->currentRow() == 0 && picker->ListBox1->item(0)->isSelected();
    picker->ListBox1->clearSelection();
    QTest::keyClick(picker->ListBox1, Qt::Key_Return);  // nothing selected
    enterWithoutChoiceIgnored = picker->isVisible();
    QTest::keyClick(picker->ListBox1, Qt::Key_Down);
    QTest::keyClick(picker->ListBox1, Qt::Key_Return);
  });
  driver.start(10);
  TypeText(form_->ComboBox1, FromWindows1251(part).toLower());
  LeaveStreetBox();  // returns when the picker has closed

  ASSERT_EQ(shown.size(), int(matches.size()));
  for (int i = 0; i < shown.size(); ++i) EXPECT_EQ(widgets::ToWindows1251(shown[i]), matches[size_t(i)]);
  EXPECT_TRUE(firstSelected);
  EXPECT_TRUE(enterWithoutChoiceIgnored);
  EXPECT_EQ(pickerPlace, form_->frameGeometry().topLeft() + QPoint(200, 100));
  EXPECT_FALSE(app::UlViewForm->isVisible());
  // The second street was chosen; the main window was activated again
  // (banners from the first) and then the chosen name was taken.
  EXPECT_EQ(widgets::ToWindows1251(form_->ComboBox1->currentText()), matches[1]);
  EXPECT_EQ(form_->SelectedStreetCode(), CodeOfStreet(matches[1]));
  EXPECT_EQ(form_->TabulaTable4->RecNo(), 1);
  EXPECT_EQ(form_->StreetList().Count(), int(streets_->Rows.size()));
  EXPECT_TRUE(watcher_.Texts().isEmpty()) << watcher_.Texts().join('\n').toStdString();
}

TEST_F(PhonedirTest, HouseAndBuildingMoveTheGridToTheAddress) {
  // A subscriber with a building number on a street whose name is its own.
  size_t pick = byAddress_->Rows.size();
  for (size_t i = 0; i < byAddress_->Rows.size(); ++i) {
    const std::string code = byAddress_->At(i, "kodul");
    if (byAddress_->At(i, "korp").empty() || byAddress_->At(i, "dom").empty()) continue;
    for (size_t s = 0; s < streets_->Rows.size(); ++s) {
      if (streets_->At(s, "KODUL") == code && CodeOfStreet(streets_->At(s, "NAME")) == code) {
        pick = i;
        break;
      }
    }
    if (pick != byAddress_->Rows.size()) break;
  }
  ASSERT_LT(pick, byAddress_->Rows.size());
  const std::string code = byAddress_->At(pick, "kodul");
  const std::string house = byAddress_->At(pick, "dom");
  const std::string building = byAddress_->At(pick, "korp");
  std::string streetName;
  for (size_t s = 0; s < streets_->Rows.size(); ++s)
    if (streets_->At(s, "KODUL") == code) streetName = streets_->At(s, "NAME");
  // The first subscriber of the oracle's address order with these values.
  auto firstWith = [&](bool withBuilding) {
    for (size_t i = 0; i < byAddress_->Rows.size(); ++i)
      if (byAddress_->At(i, "kodul") == code && byAddress_->At(i, "dom") == house &&
          (!withBuilding || byAddress_->At(i, "korp") == building))
        return byAddress_->At(i, "id");
    return std::string();
  };

  ChooseMode(1);
  TypeText(form_->ComboBox1, FromWindows1251(streetName).toLower());
  LeaveStreetBox();
  ASSERT_EQ(form_->SelectedStreetCode(), code);
  TypeText(form_->Edit3, QString::fromStdString(house));
  EXPECT_EQ(Current("kodul"), code);
  EXPECT_EQ(Current("dom"), house);
  EXPECT_EQ(Current("id"), firstWith(false));
  TypeText(form_->Edit4, FromWindows1251(building));
  EXPECT_EQ(Current("korp"), building);
  EXPECT_EQ(Current("id"), firstWith(true));
  // The street column of the grid names the street.
  EXPECT_EQ(form_->DBGrid1->CellText(form_->DBGrid1->CurrentRow(), 2), FromWindows1251(streetName));
  EXPECT_TRUE(watcher_.Texts().isEmpty()) << watcher_.Texts().join('\n').toStdString();
}

TEST_F(PhonedirTest, SurnameTypedInLowerCaseFindsIt) {
  // A person ("SURNAME I.O.") somewhere in the middle of the name order.
  size_t pick = byName_->Rows.size() / 2;
  while (byName_->At(pick, "Name").find(". ") == std::string::npos &&
         byName_->At(pick, "Name").find('.') == std::string::npos)
    ++pick;
  const std::string name = byName_->At(pick, "Name");
  const std::string surname = name.substr(0, name.find(' '));
  std::string expectedId;
  for (size_t i = 0; i < byName_->Rows.size() && expectedId.empty(); ++i)
    if (byName_->At(i, "Name").rfind(surname, 0) == 0) expectedId = byName_->At(i, "id");

  ChooseMode(2);
  TypeText(form_->Edit6, FromWindows1251(surname).toLower());
  EXPECT_EQ(Current("Name").substr(0, surname.size()), surname);
  EXPECT_EQ(Current("id"), expectedId);
  EXPECT_EQ(form_->DBGrid1->CellText(form_->DBGrid1->CurrentRow(), 1), FromWindows1251(Current("Name")));
  EXPECT_TRUE(watcher_.Texts().isEmpty()) << watcher_.Texts().join('\n').toStdString();
}

TEST_F(PhonedirTest, HouseNumberThatIsNoNumberIsReportedAndTheProgramGoesOn) {
  ChooseMode(1);
  TypeText(form_->Edit3, "1");
  const std::string id = Current("id");
  TypeText(form_->Edit3, QStringLiteral("а"));
  ASSERT_EQ(watcher_.Texts().size(), 1);
  EXPECT_EQ(watcher_.Texts()[0], QStringLiteral("'01а' is not a valid integer value"));
  EXPECT_EQ(Current("id"), id);  // the table stays where it was
  watcher_.Clear();
  Backspace(form_->Edit3, 1);
  TypeText(form_->Edit3, "2");
  EXPECT_TRUE(watcher_.Texts().isEmpty()) << watcher_.Texts().join('\n').toStdString();
  EXPECT_TRUE(form_->isVisible());
}

// ---------------------------------------------------------------- banners

TEST_F(PhonedirTest, BannersRotateThroughPicturesAndTexts) {
  widgets::TMessagePanel* strip = form_->MessagePanel1;
  widgets::TGIFAnimator* animator = form_->GIFAnimator1;
  const int count = int(banners_->Rows.size());
  ASSERT_GE(count, 2);
  const int pictureColumn = banners_->Column("Picture");
  // Checks the strip against banner i (0-based).
  auto expectBanner = [&](int i) {
    SCOPED_TRACE("banner " + std::to_string(i + 1));
    const bool picture = !banners_->Rows[size_t(i)][size_t(pictureColumn)].empty();
    EXPECT_EQ(strip->Active(), !picture);
    EXPECT_EQ(animator->isVisible(), picture);
    if (picture) {
      widgets::TGIFImage expected;
      expected.LoadGifData(banners_->Rows[size_t(i)][size_t(pictureColumn)]);
      EXPECT_EQ(animator->size(), QSize(expected.ScreenWidth(), expected.ScreenHeight()));
      EXPECT_EQ(animator->x(), strip->width() / 2 - animator->width() / 2);
      EXPECT_EQ(animator->y(), 0);
      EXPECT_TRUE(animator->Animate());
    } else {
      // Two empty lines, each CR LF line of the text, two empty lines.
      QStringList expected{QString(), QString()};
      const QString text = FromWindows1251(banners_->At(size_t(i), "Text"));
      for (const QString& line : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) expected << line;
      expected << QString() << QString();
      EXPECT_EQ(strip->Lines(), expected);
    }
  };
  ASSERT_EQ(form_->TabulaTable4->RecNo(), 1);
  expectBanner(0);
  EXPECT_TRUE(form_->Timer1->isActive());
  EXPECT_EQ(form_->Timer1->interval(), 30000);

  form_->Timer1->setInterval(150);
  for (int step = 1; step <= count; ++step) {
    const int expected = step % count;  // wraps to the first after the last
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->TabulaTable4->RecNo() == expected + 1; }, 5000)) << step;
    expectBanner(expected);
  }
  EXPECT_TRUE(watcher_.Texts().isEmpty()) << watcher_.Texts().join('\n').toStdString();
  // No banner picture is left in the temporary directory.
  EXPECT_TRUE(QDir::temp().entryList({QStringLiteral("phonedir-banner-*")}, QDir::Files).isEmpty());
}

TEST_F(PhonedirTest, DoubleClickHidesTheStripAndTheGridTakesItsPlace) {
  const QRect grid = form_->DBGrid1->geometry();
  ASSERT_EQ(grid.top(), 80);
  ASSERT_EQ(form_->MessagePanel1->height(), 80);
  const int rows = form_->DBGrid1->VisibleRowCount();
  // On the picture: the animator passes the double click on to the strip.
  QTest::mouseDClick(form_->GIFAnimator1, Qt::LeftButton);
  EXPECT_EQ(form_->MessagePanel1->height(), 0);
  EXPECT_EQ(form_->DBGrid1->geometry(), QRect(grid.left(), 0, grid.width(), grid.height() + 80));
  EXPECT_GT(form_->DBGrid1->VisibleRowCount(), rows);
  EXPECT_EQ(form_->DBGrid1->ShownRowCount(), form_->DBGrid1->VisibleRowCount());
  // The banners go on in the hidden strip.
  EXPECT_TRUE(form_->Timer1->isActive());
  form_->Timer1Timer();
  EXPECT_EQ(form_->MessagePanel1->height(), 0);
}

// ---------------------------------------------------------------- placement

TEST_F(PhonedirTest, WindowPlacementSurvivesARestart) {
  const QRect placed(140, 90, 720, 420);
  form_->setGeometry(placed);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->geometry() == placed; }, 2000));
  form_->close();
  TApplication::DestroyForms();
  ASSERT_TRUE(QFile::exists(IniPath()));

  StartProgram();
  EXPECT_EQ(form_->geometry(), placed);
  EXPECT_EQ(form_->DBGrid1->width(), placed.width());
}

// A picture of more than 50,000 bytes goes whole through a file of its
// own in the temporary directory, and a picture that does not load is
// reported; neither leaves its file behind.
TEST(PhonedirBannerFileTest, LargeAndBrokenPicturesLeaveNoFileBehind) {
  QTemporaryDir tables, temp;
  ASSERT_TRUE(tables.isValid() && temp.isValid());
  const fs::path from = testing_support::SharedDemoDirectory(kSubscribers);
  for (const auto& entry : fs::directory_iterator(from))
    fs::copy_file(entry.path(), fs::path(tables.path().toStdString()) / entry.path().filename());

  // Three frames of noise: no compression brings them under 50,000 bytes.
  widgets::TGIFImage big;
  QVector<QRgb> colors;
  for (int i = 0; i < 256; ++i) colors << qRgb(i, 255 - i, (i * 7) & 0xff);
  uint32_t state = 12345;
  for (int f = 0; f < 3; ++f) {
    QImage bitmap(468, 60, QImage::Format_Indexed8);
    bitmap.setColorTable(colors);
    for (int y = 0; y < bitmap.height(); ++y)
      for (int x = 0; x < bitmap.width(); ++x) bitmap.scanLine(y)[x] = uchar((state = state * 1103515245u + 12345u) >> 24);
    widgets::TGIFImage frame;
    frame.AssignFrom(bitmap);
    big.SetFrame(f, frame.Frame(0));
  }
  const std::string bigBytes = widgets::GifEncode(big);
  ASSERT_GT(bigBytes.size(), 50000u);
  {
    tabula::db::TTabulaTable banners;
    banners.SetDatabaseName(tables.path().toStdString());
    banners.SetTableName("banners.DAT");
    banners.Open();
    banners.Edit();
    banners.FieldByName("Picture").SetAsString(bigBytes);
    banners.Post();
    banners.Next();
    banners.Edit();
    banners.FieldByName("Picture").SetAsString("GIF89a\x01\x02 this is no picture");
    banners.Post();
    banners.Close();
  }

  const QString saved = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(tables.path()));
  qputenv("TMPDIR", QFile::encodeName(temp.path()));
  TMessageBoxWatcher watcher;
  auto leftInTemp = [&] { return QDir(temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries); };
  ASSERT_TRUE(TApplication::CreateForms(TFindForm::kDesignPixelsPerInch));
  TFindForm* form = app::FindForm;
  form->show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->StreetList().Count() > 0; }, 10000));
  EXPECT_TRUE(watcher.Texts().isEmpty()) << watcher.Texts().join('\n').toStdString();
  EXPECT_EQ(form->GIFAnimator1->Image().FrameCount(), 3);
  EXPECT_EQ(form->GIFAnimator1->size(), QSize(468, 60));
  EXPECT_FALSE(form->MessagePanel1->Active());
  EXPECT_TRUE(leftInTemp().isEmpty()) << leftInTemp().join(' ').toStdString();

  form->Timer1->setInterval(50);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !watcher.Texts().isEmpty(); }, 5000));
  form->Timer1->stop();
  EXPECT_EQ(form->TabulaTable4->RecNo(), 2);
  EXPECT_FALSE(form->MessagePanel1->Active());  // the strip keeps the picture
  EXPECT_TRUE(leftInTemp().isEmpty()) << leftInTemp().join(' ').toStdString();

  TApplication::DestroyForms();
  qunsetenv("TMPDIR");
  QDir::setCurrent(saved);
}

// ---------------------------------------------------------------- start-up

TEST(PhonedirStartTest, MissingStreetTableIsReportedAndTheProgramEnds) {
  QTemporaryDir temp;
  ASSERT_TRUE(temp.isValid());
  const fs::path from = testing_support::SharedDemoDirectory(kSubscribers);
  for (const char* name : {"base2.DAT", "base2.IDX", "banners.DAT", "banners.IDX", "banners.BLB"})
    fs::copy_file(from / name, fs::path(temp.path().toStdString()) / name);
  const QString saved = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(temp.path()));
  TMessageBoxWatcher watcher;
  const int status = TApplication::Run();
  QDir::setCurrent(saved);
  EXPECT_NE(status, 0);
  ASSERT_EQ(watcher.Texts().size(), 1);
  EXPECT_TRUE(watcher.Texts()[0].contains(QStringLiteral("street.DAT"))) << watcher.Texts()[0].toStdString();
  EXPECT_TRUE(watcher.Texts()[0].contains(temp.path())) << watcher.Texts()[0].toStdString();
  EXPECT_EQ(app::FindForm, nullptr);
  EXPECT_EQ(app::UlViewForm, nullptr);
}

}  // namespace

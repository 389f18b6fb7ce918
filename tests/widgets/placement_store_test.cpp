#include "widgets/placement.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "framework/core/exceptions.h"
#include "framework/core/ini_file.h"
#include "tests/support/temp_dir.h"

namespace placement_test {

// The main search form's stand-in: its class name gives the ini section.
class TFindForm : public QWidget {
  Q_OBJECT

 public:
  bool RefuseClose = false;
  int CloseQueries = 0;

 protected:
  void closeEvent(QCloseEvent* event) override {
    ++CloseQueries;
    if (RefuseClose) event->ignore();
  }
};

}  // namespace placement_test

namespace {

using placement_test::TFindForm;
using testing_support::TempDir;
using widgets::TPlacementOption;
using widgets::TPlacementStore;
using widgets::TScreenInfo;

// The user's settings directory of this run; nothing is written to the real one.
std::unique_ptr<TempDir> gConfigHome;

class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    gConfigHome = std::make_unique<TempDir>();
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(gConfigHome->Path().string()));
    static int argc = 1;
    static char name[] = "placement_store_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setOrganizationName("borvino");
    QCoreApplication::setApplicationName("phonedir");
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    app_.reset();
    gConfigHome.reset();
  }

 private:
  std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

std::string ReadAll(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << text;
}

// A form with its store, as the main window has them; the screen is whatever
// the test says.
struct TFormUnderTest {
  explicit TFormUnderTest(const std::string& iniFile, QRect designed = QRect(100, 80, 300, 200),
                          TScreenInfo screen = {1024, 768, 96}) {
    form = std::make_unique<TFindForm>();
    form->setGeometry(designed);
    store = new TPlacementStore(form.get());
    store->SetIniFileName(QString::fromStdString(iniFile));
    store->ScreenInfoSource = [this] { return screenInfo; };
    screenInfo = screen;
    store->Loaded();
  }
  void Show() {
    form->show();
    QCoreApplication::processEvents();
  }
  TScreenInfo screenInfo;  // first, so that it outlives the form's destruction
  std::unique_ptr<TFindForm> form;
  TPlacementStore* store = nullptr;
};

TEST(PlacementStore, FirstStartKeepsTheDesignAndClosingWritesEveryKey) {
  TempDir dir;
  const std::string ini = dir.File("zivmar.ini");
  TFormUnderTest t(ini);
  t.Show();
  EXPECT_TRUE(t.store->Restored());
  EXPECT_EQ(t.form->geometry(), QRect(100, 80, 300, 200));
  EXPECT_FALSE(std::filesystem::exists(ini));
  const QPoint max = t.store->MaxPosition();
  EXPECT_TRUE(t.form->close());
  EXPECT_TRUE(t.store->Saved());
  const std::string maxText = std::to_string(max.x()) + "," + std::to_string(max.y());
  EXPECT_EQ(ReadAll(ini),
            "[TFindForm]\r\n"
            "Flags=0\r\n"
            "ShowCmd=1\r\n"
            "PixelsPerInch=96\r\n"
            "MinMaxPos(1024x768)=-1,-1," + maxText + "\r\n"
            "MinMaxPos=-1,-1," + maxText + "\r\n"
            "NormPos(1024x768)=100,80,400,280\r\n"
            "NormPos=100,80,400,280\r\n"
            "Visible=0\r\n");
  // The form was saved on close, so destroying it writes nothing more.
  t.form.reset();
  EXPECT_NE(ReadAll(ini).find("Visible=0"), std::string::npos);
}

TEST(PlacementStore, NormalMaximizedAndMinimizedWindowsComeBack) {
  struct TCase {
    const char* name;
    Qt::WindowStates closedIn;
    const char* showCmd;
    const char* flags;
    Qt::WindowStates expected;
  } cases[] = {
      {"normal", Qt::WindowNoState, "ShowCmd=1", "Flags=0", Qt::WindowNoState},
      {"maximized", Qt::WindowMaximized, "ShowCmd=3", "Flags=0", Qt::WindowMaximized},
      {"minimized", Qt::WindowMinimized, "ShowCmd=2", "Flags=0", Qt::WindowMinimized},
      {"minimized from maximized", Qt::WindowMinimized | Qt::WindowMaximized, "ShowCmd=2", "Flags=2",
       Qt::WindowMinimized | Qt::WindowMaximized},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string ini = dir.File("zivmar.ini");
    {
      TFormUnderTest first(ini);
      first.Show();
      first.form->setGeometry(120, 90, 333, 222);
      first.form->setWindowState(c.closedIn);
      QCoreApplication::processEvents();
      first.form->close();
    }
    const std::string text = ReadAll(ini);
    EXPECT_NE(text.find(std::string(c.showCmd) + "\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string(c.flags) + "\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nNormPos=120,90,453,312\r\n"), std::string::npos) << text;

    TFormUnderTest second(ini, QRect(10, 10, 200, 100));
    second.Show();
    if (c.expected & Qt::WindowMinimized) {
      // A minimized form is shown normal first and minimized by a posted command.
      QTest::qWait(10);
    }
    EXPECT_EQ(second.form->windowState() & ~Qt::WindowActive, c.expected);
    const QRect normal = c.expected == Qt::WindowNoState ? second.form->geometry() : second.form->normalGeometry();
    EXPECT_EQ(normal, QRect(120, 90, 333, 222));
  }
}

TEST(PlacementStore, PositionNeedsTheSamePixelsPerInchButTheStateDoesNot) {
  TempDir dir;
  const std::string ini = dir.File("zivmar.ini");
  WriteAll(ini,
           "[TFindForm]\r\nFlags=0\r\nShowCmd=3\r\nPixelsPerInch=96\r\n"
           "MinMaxPos=-1,-1,-4,-4\r\nNormPos=50,60,450,360\r\nVisible=0\r\n");
  TFormUnderTest at120(ini, QRect(100, 80, 300, 200), {1024, 768, 120});
  at120.Show();
  EXPECT_EQ(at120.form->windowState() & Qt::WindowMaximized, Qt::WindowMaximized);
  EXPECT_EQ(at120.form->normalGeometry(), QRect(100, 80, 300, 200));
  EXPECT_EQ(at120.store->MinPosition(), QPoint(-1, -1));  // nothing of the placement taken

  TFormUnderTest at96(ini, QRect(100, 80, 300, 200), {1024, 768, 96});
  at96.Show();
  EXPECT_EQ(at96.form->normalGeometry(), QRect(50, 60, 400, 300));
  EXPECT_EQ(at96.store->MinPosition(), QPoint(-1, -1));
}

TEST(PlacementStore, PositionsForThisScreenSizeComeFirst) {
  TempDir dir;
  const std::string ini = dir.File("zivmar.ini");
  WriteAll(ini,
           "[TFindForm]\r\nShowCmd=1\r\nPixelsPerInch=96\r\n"
           "MinMaxPos(1024x768)=1,2,3,4\r\nMinMaxPos=5,6,7,8\r\n"
           "NormPos(1024x768)=10,20,310,220\r\nNormPos=30,40,330,240\r\n"
           "NormPos(640x480)=\r\n");
  struct TCase {
    TScreenInfo screen;
    QRect expected;
    QPoint minPos;
  } cases[] = {
      {{1024, 768, 96}, QRect(10, 20, 300, 200), {1, 2}},
      {{1280, 1024, 96}, QRect(30, 40, 300, 200), {5, 6}},
      {{640, 480, 96}, QRect(30, 40, 300, 200), {5, 6}},  // an empty suffixed key counts as missing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.screen.Width);
    TFormUnderTest t(ini, QRect(100, 80, 150, 150), c.screen);
    t.Show();
    EXPECT_EQ(t.form->geometry(), c.expected);
    EXPECT_EQ(t.store->MinPosition(), c.minPos);
    // Saving at this size writes both the suffixed and the plain keys.
    t.form->close();
    fw::TIniFile check(ini);
    const std::string suffix = "(" + std::to_string(c.screen.Width) + "x" + std::to_string(c.screen.Height) + ")";
    EXPECT_EQ(check.ReadString("TFindForm", "NormPos" + suffix, ""), check.ReadString("TFindForm", "NormPos", "x"));
    WriteAll(ini,
             "[TFindForm]\r\nShowCmd=1\r\nPixelsPerInch=96\r\n"
             "MinMaxPos(1024x768)=1,2,3,4\r\nMinMaxPos=5,6,7,8\r\n"
             "NormPos(1024x768)=10,20,310,220\r\nNormPos=30,40,330,240\r\n"
             "NormPos(640x480)=\r\n");
  }
}

TEST(PlacementStore, MalformedValuesFallBack) {
  struct TCase {
    const char* name;
    std::string keys;
    QRect expected;
    Qt::WindowStates state;
  } cases[] = {
      // Words that are no numbers read as 0; missing words take the form's own values.
      {"missing words", "NormPos=50,60\r\n", QRect(50, 60, 350, 220), Qt::WindowNoState},
      {"bad words", "NormPos=50,60,abc,z9\r\n", QRect(100, 80, 300, 200), Qt::WindowNoState},
      {"blanks and commas", "NormPos= 5 , 6,,206 ,106\r\n", QRect(5, 6, 201, 100), Qt::WindowNoState},
      {"inverted", "NormPos=400,80,100,280\r\n", QRect(100, 80, 300, 200), Qt::WindowNoState},
      {"no height", "NormPos=10,80,100,80\r\n", QRect(100, 80, 300, 200), Qt::WindowNoState},
      {"show command 6", "ShowCmd=6\r\n", QRect(100, 80, 300, 200), Qt::WindowMinimized},
      {"show command 9", "ShowCmd=9\r\n", QRect(100, 80, 300, 200), Qt::WindowNoState},
      {"show command 4", "ShowCmd=4\r\n", QRect(100, 80, 300, 200), Qt::WindowNoState},
      {"show command text", "ShowCmd=max\r\n", QRect(100, 80, 300, 200), Qt::WindowNoState},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string ini = dir.File("zivmar.ini");
    WriteAll(ini, "[TFindForm]\r\n" + c.keys);
    TFormUnderTest t(ini);
    t.Show();
    QTest::qWait(5);
    EXPECT_EQ(t.form->geometry(), c.expected);
    EXPECT_EQ(t.form->windowState() & ~Qt::WindowActive, c.state);
  }
}

TEST(PlacementStore, ARectangleOffEveryScreenComesBackOnTheScreen) {
  TempDir dir;
  const std::string ini = dir.File("zivmar.ini");
  WriteAll(ini, "[TFindForm]\r\nNormPos=-5000,-5000,-4700,-4800\r\n");
  TFormUnderTest t(ini);
  t.Show();
  EXPECT_EQ(t.form->size(), QSize(300, 200));
  EXPECT_TRUE(QGuiApplication::primaryScreen()->geometry().contains(t.form->geometry().topLeft()));
}

TEST(PlacementStore, RefusedCloseSavesNothingAndDestroySavesVisible) {
  TempDir dir;
  const std::string ini = dir.File("zivmar.ini");
  TFormUnderTest t(ini);
  t.Show();
  t.form->RefuseClose = true;
  EXPECT_FALSE(t.form->close());
  EXPECT_EQ(t.form->CloseQueries, 1);  // the form's own handler ran exactly once
  EXPECT_FALSE(std::filesystem::exists(ini));
  t.form->setGeometry(140, 110, 300, 200);
  t.form.reset();
  fw::TIniFile check(ini);
  EXPECT_EQ(check.ReadString("TFindForm", "Visible", ""), "1");
  EXPECT_EQ(check.ReadString("TFindForm", "NormPos", ""), "140,110,440,310");
}

TEST(PlacementStore, NothingIsSavedWithoutARestoreOrWhenInactive) {
  TempDir dir;
  const std::string ini = dir.File("zivmar.ini");
  {
    TFormUnderTest neverShown(ini);
    neverShown.store->SavePlacement();
    neverShown.form->close();
  }
  EXPECT_FALSE(std::filesystem::exists(ini));

  WriteAll(ini, "[TFindForm]\r\nNormPos=10,20,310,220\r\n");
  {
    TFormUnderTest inactive(ini);
    inactive.store->SetActive(false);
    inactive.Show();
    EXPECT_EQ(inactive.form->geometry(), QRect(100, 80, 300, 200));
    inactive.form->close();
  }
  EXPECT_EQ(ReadAll(ini), "[TFindForm]\r\nNormPos=10,20,310,220\r\n");

  // Removing the store from a living form does not save either.
  TFormUnderTest removed(ini);
  removed.Show();
  delete removed.store;
  removed.form.reset();
  EXPECT_EQ(ReadAll(ini), "[TFindForm]\r\nNormPos=10,20,310,220\r\n");
}

TEST(PlacementStore, QuotedTextKeepsItsQuotes) {
  TempDir dir;
  const std::string name = dir.File("q.ini");
  struct TCase {
    std::string value, stored;
  } cases[] = {
      {"\"abc\"", "\"\"abc\"\""}, {"'abc'", "\"'abc'\""}, {"\"", "\"\"\""}, {"\"abc", "\"abc"},
      {"abc'", "abc'"},           {"\"abc'", "\"abc'"},   {"", ""},           {"a \"b\" c", "a \"b\" c"},
  };
  fw::TIniFile ini(name);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    TPlacementStore::WriteIniText(ini, "S", "k", c.value);
    EXPECT_EQ(ReadAll(name), "[S]\r\nk=" + c.stored + "\r\n");
    EXPECT_EQ(TPlacementStore::ReadIniText(fw::TIniFile(name), "S", "k", "none"), c.value);
  }
  TPlacementStore::WriteIniNumber(ini, "S", "n", -12);
  EXPECT_EQ(TPlacementStore::ReadIniNumber(fw::TIniFile(name), "S", "n", 0), -12);
}

TEST(PlacementStore, DefaultNamesAndTheSettingsDirectory) {
  TFindForm form;
  TPlacementStore store(&form);
  EXPECT_EQ(TPlacementStore::DefaultSectionOf(&form), "TFindForm");  // without its namespace
  QWidget child(&form);
  child.setObjectName("PanelTel");
  EXPECT_EQ(TPlacementStore::DefaultSectionOf(&child), "PanelTel");
  EXPECT_EQ(TPlacementStore::DefaultIniFileName(), "placement_store_test.INI");

  const QString configDir = QString::fromStdString((gConfigHome->Path() / "borvino" / "phonedir").string());
  EXPECT_EQ(store.IniFilePath(), QDir(configDir).filePath("placement_store_test.INI"));
  store.SetIniFileName("zivmar.ini");
  EXPECT_EQ(store.IniFilePath(), QDir(configDir).filePath("zivmar.ini"));
  store.SetIniSection("Other");
  form.setGeometry(100, 80, 300, 200);
  form.show();
  form.close();
  // The settings directory is created on the first save.
  fw::TIniFile check(QFile::encodeName(QDir(configDir).filePath("zivmar.ini")).toStdString());
  EXPECT_EQ(check.ReadString("Other", "NormPos", ""), "100,80,400,280");
  EXPECT_FALSE(check.SectionExists("TFindForm"));
}

TEST(PlacementStore, ActiveControlComesBack) {
  TempDir dir;
  const std::string ini = dir.File("zivmar.ini");
  const auto build = [&](TFormUnderTest& t) {
    t.store->SetOptions(TPlacementOption::fpState | TPlacementOption::fpPosition | TPlacementOption::fpActiveControl);
    for (const char* name : {"Edit1", "Edit6"}) {
      auto* edit = new QLineEdit(t.form.get());
      edit->setObjectName(name);
    }
  };
  {
    TFormUnderTest first(ini);
    build(first);
    first.Show();
    first.form->findChild<QLineEdit*>("Edit6")->setFocus();
    first.form->close();
  }
  EXPECT_EQ(fw::TIniFile(ini).ReadString("TFindForm", "ActiveControl", ""), "Edit6");
  TFormUnderTest second(ini);
  build(second);
  second.Show();
  EXPECT_EQ(second.form->focusWidget(), second.form->findChild<QLineEdit*>("Edit6"));
}

TEST(PlacementStore, PreventResizeAndMinMaxInfoActThroughSizeConstraints) {
  TempDir dir;
  TFormUnderTest t(dir.File("zivmar.ini"));
  t.form->setMinimumSize(50, 40);
  t.store->MinMaxInfo().SetMinTrackWidth(150);
  t.store->MinMaxInfo().SetMaxTrackHeight(500);
  EXPECT_EQ(t.form->minimumSize(), QSize(150, 40));
  EXPECT_EQ(t.form->maximumHeight(), 500);
  widgets::TMinMaxInfo none;
  t.store->SetMinMaxInfo(none);
  EXPECT_EQ(t.form->minimumSize(), QSize(50, 40));  // the form's own limits come back
  EXPECT_EQ(t.form->maximumHeight(), QWIDGETSIZE_MAX);

  t.store->SetPreventResize(true);
  t.Show();
  EXPECT_EQ(t.form->minimumSize(), QSize(300, 200));
  EXPECT_EQ(t.form->maximumSize(), QSize(300, 200));
  EXPECT_FALSE(t.form->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  t.form->close();
  t.store->SetPreventResize(false);
  EXPECT_EQ(t.form->minimumSize(), QSize(50, 40));
  EXPECT_EQ(t.form->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
}

TEST(PlacementStore, ErrorsAreShownAndTheFormStillClosesAndShows) {
  TempDir dir;
  WriteAll(dir.File("plain"), "not a directory");
  std::vector<std::string> shown;
  TPlacementStore::SetExceptionDisplay([&](const std::exception& error) { shown.emplace_back(error.what()); });
  {
    TFormUnderTest t(dir.File("plain/zivmar.ini"));
    int saves = 0;
    t.store->OnSavePlacement = [&](QObject*) { ++saves; };
    t.Show();
    EXPECT_TRUE(t.form->isVisible());
    EXPECT_TRUE(t.form->close());
    EXPECT_FALSE(t.form->isVisible());
    EXPECT_EQ(saves, 0);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("Unable to write to"), std::string::npos);
    // Not saved, so destroying the form tries again.
  }
  EXPECT_EQ(shown.size(), 2u);
  TPlacementStore::SetExceptionDisplay(nullptr);
}

TEST(PlacementStore, EventsFollowSaveAndRestore) {
  TempDir dir;
  TFormUnderTest t(dir.File("zivmar.ini"));
  std::vector<std::string> calls;
  t.store->OnRestorePlacement = [&](QObject* sender) { calls.push_back(sender == t.store ? "restore" : "?"); };
  t.store->OnSavePlacement = [&](QObject* sender) { calls.push_back(sender == t.store ? "save" : "?"); };
  t.Show();
  t.form->hide();
  t.Show();  // every show restores
  t.form->close();
  EXPECT_EQ(calls, (std::vector<std::string>{"restore", "restore", "save"}));
}

}  // namespace

#include "placement_store_test.moc"

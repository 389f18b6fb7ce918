#include "app/find_form.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QTimer>

#include <cmath>
#include <vector>

#include "app/banner_picture.h"
#include "app/banner_text.h"
#include "app/message_box.h"
#include "app/ul_view_form.h"
#include "dataset/tabula_table.h"
#include "framework/data/data_errors.h"
#include "framework/data/data_source.h"
#include "framework/data/standard_fields.h"
#include "framework/data/value_text.h"
#include "widgets/combo_box.h"
#include "widgets/data_grid.h"
#include "widgets/exception_display.h"
#include "widgets/gif_animator.h"
#include "widgets/message_panel.h"
#include "widgets/placement.h"
#include "widgets/radio_group.h"
#include "widgets/text_codec.h"

namespace app {

TFindForm* FindForm = nullptr;
TUlViewForm* UlViewForm = nullptr;

namespace {

using widgets::FromWindows1251;
using widgets::ToWindows1251;

// The run time's integer parsing: blanks around, a sign, decimal digits (or
// hexadecimal after "$" or "0x"), within 32 bits.
int32_t StrToInt(const std::string& text) {
  int64_t value = 0;
  if (!fw::TryTextToInt(text, value) || value < INT32_MIN || value > INT32_MAX)
    throw fw::EConvertError(fw::FormatMessage(fw::msg::kInvalidIntegerValue, {text}));
  return int32_t(value);
}

const QStringList kDefaultBannerLines = {
    QStringLiteral("Борвинская ГТС"),
    QStringLiteral("предлагает разместить рекламу"),
    QStringLiteral("в нашем ежемесячном телефонном справочнике."),
    QStringLiteral("Вашу рекламу увидят все."),
    QStringLiteral("Звоните 555-55-55. Ночью дешевле."),
};

// Every handler Qt calls runs through here: an error it raises goes to the
// application's default handler and no further (see exception_display.h).
template <class F>
void Handle(F&& handler) {
  widgets::RunHandler(std::forward<F>(handler));
}

fw::TField* AddStringField(fw::TDataSet& table, fw::TComponent& owner, const char* name, int size) {
  auto* field = new fw::TStringField(&owner, size);
  field->SetFieldName(name);
  field->SetDataSet(&table);
  return field;
}

fw::TField* AddAutoIncField(fw::TDataSet& table, fw::TComponent& owner, const char* name) {
  auto* field = new fw::TAutoIncField(&owner);
  field->SetFieldName(name);
  field->SetDataSet(&table);
  return field;
}

}  // namespace

// ---------------------------------------------------------------- errors

ETableOpenError::ETableOpenError(std::string tableName, std::string reason)
    : fw::Exception(tableName + ": " + reason), TableName(std::move(tableName)), Reason(std::move(reason)) {}

// ---------------------------------------------------------------- creation

TFindForm::TFindForm(int pixelsPerInch) {
  if (pixelsPerInch <= 0) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    pixelsPerInch = screen != nullptr ? int(std::lround(screen->logicalDotsPerInch())) : 96;
  }
  scale_ = double(pixelsPerInch) / kDesignPixelsPerInch;
  components_.SetName("FindForm");
  setObjectName("FindForm");
  setWindowTitle(QStringLiteral("Поиск телефонов"));
  setFont(DesignFont(scale_));
  CreateComponents();
  // Designed at Left 153, Top 99, Width 668, Height 378 with the frame; the
  // client area is what the frame leaves.
  move(Scaled(153), Scaled(99));
  resize(Scaled(660), Scaled(344));
}

TFindForm::~TFindForm() {
  if (FindForm == this) FindForm = nullptr;
  Timer1->stop();
  // The grid lets go of its data source before the tables go.
  DBGrid1->SetDataSource(nullptr);
  for (tabula::db::TTabulaTable* table : {TabulaTable1, TabulaTable2, TabulaTable3, TabulaTable4}) {
    try {
      table->Close();
    } catch (const std::exception&) {
      // Closing a read-only table writes nothing; there is nothing to report.
    }
  }
}

QFont TFindForm::DesignFont(double scale) {
  static const bool substituted = [] {
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
                                QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    return true;
  }();
  (void)substituted;
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(std::max(1, int(std::lround(14 * scale))));
  return font;
}

int TFindForm::Scaled(int designPixels) const { return int(std::lround(designPixels * scale_)); }

tabula::db::TTabulaTable* TFindForm::NewTable(const char* name, const char* tableName) {
  auto* table = new tabula::db::TTabulaTable(&components_);
  table->SetName(name);
  table->SetTableName(tableName);
  table->SetReadOnly(true);
  table->SetLockRetryCount(15);
  table->SetLockWaitTime(100);
  table->SetForceBufferFlush(false);
  return table;
}

void TFindForm::CreateComponents() {
  CreateTables();
  CreateControls();
}

void TFindForm::CreateTables() {
  TabulaTable1 = NewTable("TabulaTable1", "base2.DAT");
  TabulaTable1->SetIndexFieldNames("Numtel");
  TabulaTable2 = NewTable("TabulaTable2", "street.DAT");
  TabulaTable2->SetIndexName("indkodul");
  TabulaTable3 = NewTable("TabulaTable3", "street.DAT");
  TabulaTable4 = NewTable("TabulaTable4", "banners.DAT");

  DataSource1 = new fw::TDataSource(&components_);
  DataSource1->SetName("DataSource1");
  DataSource1->SetDataSet(TabulaTable1);
  DataSource2 = new fw::TDataSource(&components_);
  DataSource2->SetName("DataSource2");
  DataSource2->SetDataSet(TabulaTable2);
  TabulaTable2->SetMasterSource(DataSource1);

  // The subscriber fields, as the form declares them.
  fw::TDataSet& subscribers = *TabulaTable1;
  AddStringField(subscribers, components_, "Numtel", 7)->SetName("TabulaTable1Numtel");
  AddStringField(subscribers, components_, "Name", 120)->SetName("TabulaTable1Name");
  AddStringField(subscribers, components_, "kodul", 6)->SetName("TabulaTable1kodul");
  AddStringField(subscribers, components_, "dom", 5)->SetName("TabulaTable1dom");
  AddStringField(subscribers, components_, "korp", 5)->SetName("TabulaTable1korp");
  AddAutoIncField(subscribers, components_, "id")->SetName("TabulaTable1id");
  auto* nameUl = new fw::TStringField(&components_, 40);
  nameUl->SetName("TabulaTable1NameUl");
  nameUl->SetFieldName("NameUl");
  nameUl->SetFieldKind(fw::TFieldKind::kLookup);
  nameUl->SetLookupDataSet(TabulaTable2);
  nameUl->KeyFields = "kodul";
  nameUl->LookupKeyFields = "KODUL";
  nameUl->LookupResultField = "NAME";
  nameUl->SetDataSet(TabulaTable1);

  // The street list's table.
  AddAutoIncField(*TabulaTable3, components_, "RecordID")->SetName("TabulaTable3RecordID");
  AddStringField(*TabulaTable3, components_, "KODUL", 5)->SetName("TabulaTable3KODUL");
  AddStringField(*TabulaTable3, components_, "NAME", 40)->SetName("TabulaTable3NAME");
}

void TFindForm::CreateControls() {
  MessagePanel1 = new widgets::TMessagePanel(this);
  MessagePanel1->setObjectName("MessagePanel1");
  MessagePanel1->SetBevelOuter(widgets::TBevelCut::bvNone);
  MessagePanel1->SetCycled(true);
  MessagePanel1->SetInterval(80);
  MessagePanel1->SetTextStyle(widgets::TBevelCut::bvRaised);
  MessagePanel1->SetLines(kDefaultBannerLines);
  MessagePanel1->OnDblClick = [this](QObject*) { Handle([this] { MessagePanel1DblClick(); }); };

  GIFAnimator1 = new widgets::TGIFAnimator(MessagePanel1);
  GIFAnimator1->setObjectName("GIFAnimator1");
  GIFAnimator1->setGeometry(Scaled(116), 0, Scaled(468), Scaled(60));
  GIFAnimator1->Image().LoadGifData(InitialBannerPicture());

  DBGrid1 = new widgets::TDataGrid(this);
  DBGrid1->setObjectName("DBGrid1");
  DBGrid1->SetDesignScale(scale_);
  DBGrid1->SetColumns({
      {"Numtel", QStringLiteral("№ тел."), -1},
      {"Name", QStringLiteral("ФИО/Организация"), 300},
      {"NameUl", QStringLiteral("Улица"), 203},
      {"dom", QStringLiteral("Дом"), 37},
      {"korp", QStringLiteral("Корп."), -1},
  });
  DBGrid1->SetDataSource(DataSource1);

  RadioSort = new widgets::TRadioGroup(this);
  RadioSort->setObjectName("RadioSort");
  RadioSort->setTitle(QStringLiteral("Сортировка"));
  RadioSort->SetItems({QStringLiteral("По № тел."), QStringLiteral("По адресу"), QStringLiteral("По ФИО")});
  RadioSort->SetItemIndex(0);
  RadioSort->setGeometry(Scaled(9), Scaled(258), Scaled(112), Scaled(82));
  RadioSort->OnClick = [this](QObject*) { Handle([this] { RadioSortClick(); }); };

  auto makePanel = [this](const char* name) {
    auto* panel = new QFrame(this);
    panel->setObjectName(name);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Raised);
    panel->setGeometry(Scaled(128), Scaled(267), Scaled(361), Scaled(73));
    return panel;
  };
  auto makeLabel = [this](QWidget* parent, const char* name, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(Scaled(left), Scaled(top));
    label->adjustSize();
    return label;
  };
  auto makeEdit = [this](QWidget* parent, const char* name, int left, int top, int width) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setGeometry(Scaled(left), Scaled(top), Scaled(width), Scaled(24));
    return edit;
  };

  PanelTel = makePanel("PanelTel");
  Label1 = makeLabel(PanelTel, "Label1", QStringLiteral("№ телефона"), 10, 28);
  Edit1 = makeEdit(PanelTel, "Edit1", 105, 24, 64);
  connect(Edit1, &QLineEdit::textChanged, this, [this] { Handle([this] { Edit1Change(); }); });

  PanelName = makePanel("PanelName");
  PanelName->hide();
  Label6 = makeLabel(PanelName, "Label6", QStringLiteral("ФИО"), 10, 28);
  Edit6 = makeEdit(PanelName, "Edit6", 57, 24, 288);
  connect(Edit6, &QLineEdit::textChanged, this, [this] { Handle([this] { Edit6Change(); }); });

  PanelAddr = makePanel("PanelAddr");
  PanelAddr->hide();
  Label2 = makeLabel(PanelAddr, "Label2", QStringLiteral("Улица"), 10, 14);
  ComboBox1 = new widgets::TComboBox(PanelAddr);
  ComboBox1->setObjectName("ComboBox1");
  ComboBox1->setGeometry(Scaled(59), Scaled(10), Scaled(297), Scaled(24));
  ComboBox1->OnDropDown = [this](QObject*) { Handle([this] { ComboBox1DropDown(); }); };
  ComboBox1->OnExit = [this](QObject*) { Handle([this] { ComboBox1Exit(); }); };
  Label3 = makeLabel(PanelAddr, "Label3", QStringLiteral("Дом"), 10, 42);
  Edit3 = makeEdit(PanelAddr, "Edit3", 58, 38, 52);
  connect(Edit3, &QLineEdit::textChanged, this, [this] { Handle([this] { Edit3Change(); }); });
  Label4 = makeLabel(PanelAddr, "Label4", QStringLiteral("Корп."), 128, 45);
  Edit4 = makeEdit(PanelAddr, "Edit4", 175, 41, 40);
  connect(Edit4, &QLineEdit::textChanged, this, [this] { Handle([this] { Edit4Change(); }); });

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(30000);
  connect(Timer1, &QTimer::timeout, this, [this] { Handle([this] { Timer1Timer(); }); });

  PlacementStore1 = new widgets::TPlacementStore(this);
  PlacementStore1->setObjectName("PlacementStore1");
  PlacementStore1->SetIniFileName(QStringLiteral("zivmar.ini"));
  PlacementStore1->Loaded();

  setTabOrder(RadioSort, Edit1);
  setTabOrder(Edit1, ComboBox1);
  setTabOrder(ComboBox1, Edit3);
  setTabOrder(Edit3, Edit4);
  setTabOrder(Edit4, Edit6);
  Edit1->setFocus();  // the phone box takes the keys when the window comes up
  LayoutTopAligned();
}

void TFindForm::OpenTables() {
  for (tabula::db::TTabulaTable* table : {TabulaTable1, TabulaTable2, TabulaTable3, TabulaTable4}) {
    try {
      table->Open();
    } catch (const fw::Exception& error) {
      throw ETableOpenError(table->TableName(), error.Message);
    }
  }
}

// ---------------------------------------------------------------- layout

void TFindForm::LayoutTopAligned() {
  // The strip and the grid are aligned to the top: they take the whole
  // width, one below the other.
  MessagePanel1->setGeometry(0, 0, width(), MessagePanel1->height() == 0 ? 0 : Scaled(80));
  DBGrid1->setGeometry(0, MessagePanel1->height(), width(), Scaled(gridDesignHeight_));
}

void TFindForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  MessagePanel1->resize(width(), MessagePanel1->height());
  DBGrid1->resize(width(), DBGrid1->height());
}

// ---------------------------------------------------------------- activation and closing

void TFindForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (activatedOnce_) return;
  activatedOnce_ = true;
  // The form becomes the active form once it is on the screen.
  QMetaObject::invokeMethod(this, [this] { Handle([this] { FormActivate(); }); }, Qt::QueuedConnection);
}

void TFindForm::FormActivate() {
  OpenTables();
  Timer1->start();
  selectedStreetCode_.clear();
  streetList_.Clear();
  GIFAnimator1->SetAnimate(true);
  TabulaTable3->First();
  ComboBox1->ClearItems();
  fw::TField& code = TabulaTable3->FieldByName("KODUL");
  fw::TField& name = TabulaTable3->FieldByName("NAME");
  while (!TabulaTable3->Eof()) {
    streetList_.Add(code.AsString(), name.AsString());
    TabulaTable3->Next();
  }
  TabulaTable4->First();
  ShowCurrentBanner();
}

void TFindForm::FormClose() {
  Timer1->stop();
  for (tabula::db::TTabulaTable* table : {TabulaTable1, TabulaTable2, TabulaTable3, TabulaTable4}) table->Close();
}

void TFindForm::closeEvent(QCloseEvent* event) {
  Handle([this] { FormClose(); });
  event->accept();
}

// ---------------------------------------------------------------- search modes

void TFindForm::RadioSortClick() {
  static const char* const kIndexFields[] = {"Numtel", "kodul;dom;korp", "NAME"};
  const int mode = RadioSort->ItemIndex();
  if (mode < 0 || mode > 2) return;
  TabulaTable1->SetIndexFieldNames(kIndexFields[mode]);
  PanelTel->setVisible(mode == 0);
  PanelAddr->setVisible(mode == 1);
  PanelName->setVisible(mode == 2);
  QWidget* first[] = {Edit1, ComboBox1, Edit6};
  first[mode]->setFocus(Qt::OtherFocusReason);
}

void TFindForm::Edit1Change() {
  // Missing trailing digits of a six-digit number are zeros.
  const std::string key = (ToWindows1251(Edit1->text()) + "000000").substr(0, 6);
  TabulaTable1->SeekNearest({fw::TVariant(StrToInt(key))});
}

void TFindForm::Edit6Change() { TabulaTable1->SeekNearest({fw::TVariant(ToWindows1251(Edit6->text()))}); }

void TFindForm::Edit3Change() { SeekAddress(); }

void TFindForm::Edit4Change() { SeekAddress(); }

void TFindForm::SeekAddress() {
  const int32_t house = StrToInt("0" + ToWindows1251(Edit3->text()));
  TabulaTable1->SeekNearest(
      {fw::TVariant(selectedStreetCode_), fw::TVariant(house), fw::TVariant(ToWindows1251(Edit4->text()))});
}

// ---------------------------------------------------------------- the street entry

void TFindForm::ComboBox1DropDown() {
  const QString upper = ComboBox1->currentText().toUpper();
  ComboBox1->setEditText(upper);
  const std::string search = ToWindows1251(upper);
  ComboBox1->ClearItems();
  QStringList names;
  for (int i : streetList_.Matches(search)) names << FromWindows1251(streetList_[i].Name);
  ComboBox1->AddItems(names);
}

bool TFindForm::TakeExactStreet(const std::string& text) {
  const std::optional<int> exact = streetList_.FindExact(text);
  if (!exact) return false;
  selectedStreetCode_ = streetList_[*exact].Code;
  return true;
}

void TFindForm::ComboBox1Exit() {
  if (ComboBox1->currentText().isEmpty()) return;
  const QString upper = ComboBox1->currentText().toUpper();
  ComboBox1->setEditText(upper);
  const std::string search = ToWindows1251(upper);
  if (TakeExactStreet(search)) return;

  ComboBox1->ClearItems();
  picker_->ListBox1->clear();
  int count = 0;
  for (int i : streetList_.Matches(search)) {
    picker_->AddStreet(FromWindows1251(streetList_[i].Name));
    ++count;
  }
  picker_->move(frameGeometry().topLeft() + QPoint(Scaled(200), Scaled(100)));
  if (count == 0) {
    ShowMessageBox(QStringLiteral("Нет такой улицы. Повторите ввод"), QStringLiteral("Ошибка"),
                   QMessageBox::Warning);
    return;
  }
  picker_->exec();
  // Back from the picker the main form is active again: its activation
  // runs (street list reloaded, street forgotten, first banner), then the
  // text the picker left is tested as it is.
  // The activation is an event of its own: an error in it is reported and
  // the exit goes on.
  activateWindow();
  Handle([this] { FormActivate(); });
  TakeExactStreet(ToWindows1251(ComboBox1->currentText()));
}

// ---------------------------------------------------------------- banners

void TFindForm::Timer1Timer() {
  TabulaTable4->Next();
  if (TabulaTable4->Eof()) TabulaTable4->First();
  ShowCurrentBanner();
}

void TFindForm::ShowCurrentBanner() {
  std::vector<uint8_t> bytes;
  const int size = TabulaTable4->ReadBlobField(1, bytes);
  if (size != 0) {
    // The picture goes through a file of its own, removed once loaded.
    TBannerPicture picture(bytes.data(), size_t(size));
    GIFAnimator1->Image().LoadGifFile(picture.FileName());
    GIFAnimator1->move(MessagePanel1->width() / 2 - GIFAnimator1->width() / 2, 0);
    picture.Remove();
    MessagePanel1->SetActive(false);
    return;
  }
  MessagePanel1->SetLines(BannerTextLines(TabulaTable4->FieldByName("Text").AsString()));
  MessagePanel1->SetActive(true);
}

void TFindForm::MessagePanel1DblClick() {
  // The grid takes the strip's place for the rest of the run.
  const int stripHeight = MessagePanel1->height();
  MessagePanel1->resize(MessagePanel1->width(), 0);
  DBGrid1->setGeometry(0, 0, DBGrid1->width(), DBGrid1->height() + stripHeight);
}

}  // namespace app

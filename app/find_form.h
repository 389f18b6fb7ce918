#pragma once
// TFindForm (unit TablUnit): the main window of the directory, "Поиск
// телефонов". From the top: the banner strip MessagePanel1 with the GIF
// animator in it, the grid DBGrid1 over the subscriber table, and below
// them the radio group RadioSort that picks the search mode and the three
// search panels that lie on top of one another (PanelTel, PanelAddr,
// PanelName), one visible at a time.
//
// The form reads four tables of the current directory, all read-only:
// TabulaTable1 base2.DAT (subscribers, shown by the grid through
// DataSource1), TabulaTable2 street.DAT in street-code order (it fills the
// grid's street column NameUl), TabulaTable3 street.DAT in load order
// (it fills the street list) and TabulaTable4 banners.DAT (the banners).
//
// The geometry is designed at 120 pixels per inch and scaled to the
// screen's resolution (or to the one the form is built for).
//
// Each keystroke in a search box moves the subscriber table to the record
// nearest to the key the box builds (SeekNearest); nothing is ever filtered
// out. The address search takes the street from the street list: the
// drop-down lists the streets whose names contain the typed text, and
// leaving the box takes the street whose name is the text, or offers the
// street picker (TUlViewForm) when several names contain it.

#include <QFont>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "app/street_list.h"
#include "framework/core/exceptions.h"
#include "framework/data/component.h"

class QCloseEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QTimer;

namespace fw {
class TDataSource;
}
namespace tabula::db {
class TTabulaTable;
}
namespace widgets {
class TComboBox;
class TDataGrid;
class TGIFAnimator;
class TMessagePanel;
class TPlacementStore;
class TRadioGroup;
}  // namespace widgets

namespace app {

class TUlViewForm;

// A table that could not be opened while the form was being created.
class ETableOpenError : public fw::Exception {
 public:
  ETableOpenError(std::string tableName, std::string reason);
  std::string TableName;  // as the form names it, e.g. "street.DAT"
  std::string Reason;     // the error's own message (Windows-1251)
};

class TFindForm : public QWidget {
  Q_OBJECT

 public:
  // Design resolution of the form.
  static constexpr int kDesignPixelsPerInch = 120;

  // Builds the form and its components; pixelsPerInch 0 means the screen's.
  // The tables are not opened yet (OpenTables).
  explicit TFindForm(int pixelsPerInch = 0);
  ~TFindForm() override;
  TFindForm(const TFindForm&) = delete;
  TFindForm& operator=(const TFindForm&) = delete;

  // Opens the four tables in their order, as a stored form does when it is
  // loaded; a table that cannot be opened raises ETableOpenError.
  void OpenTables();
  // The picker that ComboBox1Exit shows (the program's UlViewForm).
  void SetStreetPicker(TUlViewForm* picker) { picker_ = picker; }

  // ---- Event handlers ----
  void FormActivate();
  void FormClose();
  void RadioSortClick();
  void Edit1Change();
  void Edit6Change();
  void Edit3Change();
  void Edit4Change();
  void ComboBox1DropDown();
  void ComboBox1Exit();
  void Timer1Timer();
  void MessagePanel1DblClick();
  // Shows the banner of TabulaTable4's current record.
  void ShowCurrentBanner();

  // ---- Components ----
  widgets::TMessagePanel* MessagePanel1 = nullptr;
  widgets::TGIFAnimator* GIFAnimator1 = nullptr;
  widgets::TDataGrid* DBGrid1 = nullptr;
  widgets::TRadioGroup* RadioSort = nullptr;
  QFrame* PanelTel = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QFrame* PanelName = nullptr;
  QLabel* Label6 = nullptr;
  QLineEdit* Edit6 = nullptr;
  QFrame* PanelAddr = nullptr;
  QLabel* Label2 = nullptr;
  widgets::TComboBox* ComboBox1 = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* Edit3 = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* Edit4 = nullptr;
  QTimer* Timer1 = nullptr;
  widgets::TPlacementStore* PlacementStore1 = nullptr;
  tabula::db::TTabulaTable* TabulaTable1 = nullptr;
  tabula::db::TTabulaTable* TabulaTable2 = nullptr;
  tabula::db::TTabulaTable* TabulaTable3 = nullptr;
  tabula::db::TTabulaTable* TabulaTable4 = nullptr;
  fw::TDataSource* DataSource1 = nullptr;
  fw::TDataSource* DataSource2 = nullptr;

  // ---- The street list and the chosen street (Windows-1251) ----
  const TStreetList& StreetList() const { return streetList_; }
  const std::string& SelectedStreetCode() const { return selectedStreetCode_; }

  // The forms' font, "MS Sans Serif" of 14 pixels at the design resolution,
  // scaled; where that font is missing a sans serif font of like widths
  // stands in for it.
  static QFont DesignFont(double scale);

  // Scale of the design to this form's resolution.
  double Scale() const { return scale_; }
  int Scaled(int designPixels) const;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateComponents();
  void CreateTables();
  void CreateControls();
  void LayoutTopAligned();
  // Runs the exact street test on a text; sets the code when it passes.
  bool TakeExactStreet(const std::string& text);
  // The keys of the address search.
  void SeekAddress();
  tabula::db::TTabulaTable* NewTable(const char* name, const char* tableName);

  double scale_ = 1.0;
  fw::TComponent components_;  // owns the tables, their fields and the data sources
  TStreetList streetList_;
  std::string selectedStreetCode_;
  TUlViewForm* picker_ = nullptr;
  bool activatedOnce_ = false;
  int gridDesignHeight_ = 177;
};

// The program's two forms while it runs (null before and after).
extern TFindForm* FindForm;
extern TUlViewForm* UlViewForm;

}  // namespace app

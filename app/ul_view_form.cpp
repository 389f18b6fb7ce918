#include "app/ul_view_form.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QScreen>

#include <cmath>

#include "app/find_form.h"
#include "widgets/combo_box.h"

namespace app {

TUlViewForm::TUlViewForm(TFindForm* findForm, int pixelsPerInch) : findForm_(findForm) {
  if (pixelsPerInch <= 0) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    pixelsPerInch = screen != nullptr ? int(std::lround(screen->logicalDotsPerInch())) : 96;
  }
  const double scale = double(pixelsPerInch) / TFindForm::kDesignPixelsPerInch;
  auto scaled = [scale](int pixels) { return int(std::lround(pixels * scale)); };
  setObjectName("UlViewForm");
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setModal(true);
  setFont(TFindForm::DesignFont(scale));
  setFixedSize(scaled(298), scaled(155));
  itemHeight_ = std::max(1, scaled(16));

  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName("ListBox1");
  ListBox1->setGeometry(rect());
  ListBox1->setUniformItemSizes(true);
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->installEventFilter(this);
  connect(ListBox1, &QListWidget::itemDoubleClicked, this, [this] { ListBox1DblClick(); });
}

TUlViewForm::~TUlViewForm() {
  if (UlViewForm == this) UlViewForm = nullptr;
}

void TUlViewForm::AddStreet(const QString& name) {
  auto* item = new QListWidgetItem(name, ListBox1);
  item->setSizeHint(QSize(0, itemHeight_));
}

void TUlViewForm::Choose() {
  QListWidgetItem* item = ListBox1->currentItem();
  if (item == nullptr || !item->isSelected()) return;
  findForm_->ComboBox1->setEditText(item->text());
  accept();
}

void TUlViewForm::ListBox1DblClick() { Choose(); }

bool TUlViewForm::ListBox1KeyPress(int key) {
  if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
  Choose();
  return true;
}

void TUlViewForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (ListBox1->count() > 0 && ListBox1->selectedItems().isEmpty()) ListBox1->setCurrentRow(0);
  ListBox1->setFocus();
}

bool TUlViewForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ListBox1 && event->type() == QEvent::KeyPress &&
      ListBox1KeyPress(static_cast<QKeyEvent*>(event)->key()))
    return true;
  return QDialog::eventFilter(watched, event);
}

}  // namespace app

#include "widgets/radio_group.h"

#include <QRadioButton>
#include <QStyle>

namespace widgets {

TRadioGroup::TRadioGroup(QWidget* parent) : QGroupBox(parent) {
  group_.setExclusive(true);
  connect(&group_, &QButtonGroup::idClicked, this, [this](int id) {
    if (id == itemIndex_) return;
    itemIndex_ = id;
    if (OnClick) OnClick(this);
  });
}

void TRadioGroup::SetItems(const QStringList& items) {
  for (QAbstractButton* button : group_.buttons()) {
    group_.removeButton(button);
    delete button;
  }
  items_ = items;
  for (int i = 0; i < items_.size(); ++i) {
    auto* button = new QRadioButton(items_[i], this);
    group_.addButton(button, i);
    button->show();
  }
  if (itemIndex_ >= items_.size()) itemIndex_ = -1;
  if (QAbstractButton* button = Button(itemIndex_)) button->setChecked(true);
  LayoutButtons();
}

void TRadioGroup::SetItemIndex(int index) {
  if (index < -1 || index >= items_.size()) index = -1;
  itemIndex_ = index;
  if (QAbstractButton* button = Button(index)) {
    button->setChecked(true);
  } else if (QAbstractButton* checked = group_.checkedButton()) {
    group_.setExclusive(false);
    checked->setChecked(false);
    group_.setExclusive(true);
  }
}

QAbstractButton* TRadioGroup::Button(int index) const { return index >= 0 ? group_.button(index) : nullptr; }

void TRadioGroup::resizeEvent(QResizeEvent* event) {
  QGroupBox::resizeEvent(event);
  LayoutButtons();
}

void TRadioGroup::LayoutButtons() {
  // The items share the space below the caption evenly, as a column.
  const QRect area = contentsRect().adjusted(6, 0, -4, -2);
  const int count = int(items_.size());
  if (count == 0) return;
  const int step = area.height() / count;
  for (int i = 0; i < count; ++i) {
    if (QAbstractButton* button = Button(i)) button->setGeometry(area.left(), area.top() + i * step, area.width(), step);
  }
}

}  // namespace widgets

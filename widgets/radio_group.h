#pragma once
// TRadioGroup: a framed group of radio buttons, one per item, stacked in a
// column, with the index of the chosen one (ItemIndex, -1 for none) and an
// OnClick event that runs when the user chooses an item. Setting ItemIndex
// from code checks the button without running OnClick.

#include <QButtonGroup>
#include <QGroupBox>
#include <QStringList>

#include <functional>

namespace widgets {

class TRadioGroup : public QGroupBox {
  Q_OBJECT

 public:
  explicit TRadioGroup(QWidget* parent = nullptr);

  const QStringList& Items() const { return items_; }
  void SetItems(const QStringList& items);
  int ItemIndex() const { return itemIndex_; }
  void SetItemIndex(int index);
  // The radio button of item i (null outside the items).
  QAbstractButton* Button(int index) const;

  std::function<void(QObject* sender)> OnClick;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void LayoutButtons();

  QStringList items_;
  QButtonGroup group_;
  int itemIndex_ = -1;
};

}  // namespace widgets

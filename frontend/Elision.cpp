#include "Elision.h"

#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QStyledItemDelegate>
#include <QStylePainter>

namespace {

constexpr char kFullTextProperty[] = "brindleFullText";

// The text last given to SetElidedText, whole.
QString FullText(const QLabel* label) { return label->property(kFullTextProperty).toString(); }

// Re-elides a label's text when its width changes.
class LabelElider final : public QObject {
 public:
  explicit LabelElider(QLabel* label) : QObject(label) { label->installEventFilter(this); }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize) Apply(static_cast<QLabel*>(watched));
    return false;
  }
  static void Apply(QLabel* label) {
    const QString full = FullText(label);
    const int room = label->contentsRect().width() - 2 * label->margin();
    const QString shown =
        room > 0 ? label->fontMetrics().elidedText(full, Qt::ElideMiddle, room) : full;
    label->setText(shown);
    label->setToolTip(shown == full ? QString() : full);
  }
};

// QComboBox::initStyleOption is protected; a class derived from it may name it.
struct ComboAccess : QComboBox {
  using QComboBox::initStyleOption;
};
constexpr void (QComboBox::*kInitComboOption)(QStyleOptionComboBox*) const =
    &ComboAccess::initStyleOption;

// QComboBox paints its current text uncut; this paints the same with the text cut to fit.
class ComboElider final : public QObject {
 public:
  explicit ComboElider(QComboBox* combo) : QObject(combo) { combo->installEventFilter(this); }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Paint) return false;
    auto* combo = static_cast<QComboBox*>(watched);
    QStylePainter painter(combo);
    painter.setPen(combo->palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    (combo->*kInitComboOption)(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    if (combo->currentIndex() < 0 && !combo->placeholderText().isEmpty()) {
      option.palette.setBrush(QPalette::ButtonText, option.palette.placeholderText());
      option.currentText = combo->placeholderText();
    }
    const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                       QStyle::SC_ComboBoxEditField, combo);
    option.currentText =
        combo->fontMetrics().elidedText(option.currentText, Qt::ElideRight, field.width() - 2);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    return true;
  }
};

// Rows ask for no width of their own, so each is laid out as wide as the list's viewport and
// the style cuts its text there.
class RowDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setWidth(1);
    return size;
  }
};

}  // namespace

void SetElidedText(QLabel* label, const QString& text) {
  if (!label->property(kFullTextProperty).isValid()) new LabelElider(label);
  label->setProperty(kFullTextProperty, text);
  LabelElider::Apply(label);
}

void ElideComboText(QComboBox* combo) { new ComboElider(combo); }

void ElideListRows(QListWidget* list) {
  list->setItemDelegate(new RowDelegate(list));
  list->setTextElideMode(Qt::ElideRight);
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

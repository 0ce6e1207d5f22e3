// Long texts in a layout that must hold: a label or a drop-down list shows its text cut with
// an ellipsis where it would not fit, and the whole text in its tooltip; the widget never asks
// the window for more room.
#pragma once

#include <QString>

class QComboBox;
class QLabel;
class QListWidget;

// Shows `text` in the label, cut in the middle to the label's width (file names keep their
// ends), again whenever the label is resized.
void SetElidedText(QLabel* label, const QString& text);

// The closed drop-down list shows its current text (or placeholder) cut at the end to the
// room it has.
void ElideComboText(QComboBox* combo);

// Every row of the list is as wide as the list and cut at its end; rows carry their whole text
// as their tooltip (AppendOutputLine sets it).
void ElideListRows(QListWidget* list);

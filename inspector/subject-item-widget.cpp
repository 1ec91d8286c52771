#include "subject-item-widget.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>

SubjectItemWidget::SubjectItemWidget(const QString& subject, QList<QString> operations, const QString& current,
                                     QWidget* parent)
    : QWidget(parent), label(new QLabel(subject, this)), comboBox(new QComboBox(this)) {
    comboBox->addItems(operations);
    // An operation the object does not offer leaves the first one selected.
    comboBox->setCurrentText(current);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(comboBox);
    saved_value = current;
}

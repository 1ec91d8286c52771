// One row of the privacy list: a subject and the operation it may perform.
#pragma once

#include <QList>
#include <QString>
#include <QWidget>

class QComboBox;
class QLabel;

class SubjectItemWidget : public QWidget {
    Q_OBJECT
public:
    SubjectItemWidget(const QString& subject, QList<QString> operations, const QString& current,
                      QWidget* parent = nullptr);

    QLabel* label;
    QComboBox* comboBox;
    // What the row showed when it was built or last saved; "Save" sends a
    // row only when the combo box differs from it.
    QString saved_value;
};

// Looks into a running inspector window by its widgets' object names, the
// way a person reads it off the screen. Shared by the in-process tests and
// by the driver that is preloaded into the installed program.
#pragma once

#include <functional>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QMainWindow>
#include <QMessageBox>
#include <QObject>
#include <QStandardItemModel>
#include <QStringList>
#include <QTimer>
#include <QTreeView>

namespace probe {

inline constexpr int kPathRole = Qt::UserRole + 1;

inline QMainWindow* FindMainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QMainWindow*>(w); window && window->objectName() == "MainWindow")
            return window;
    return nullptr;
}

template <typename T>
T* Child(QWidget* window, const char* name) {
    return window ? window->findChild<T*>(QLatin1String(name)) : nullptr;
}

inline QStandardItemModel* TreeModel(QWidget* window) {
    auto* tree = Child<QTreeView>(window, "treeView");
    return tree ? qobject_cast<QStandardItemModel*>(tree->model()) : nullptr;
}

// A root item by its text, or any other item by the path (or new-item text)
// it carries.
inline QStandardItem* FindTreeItem(QWidget* window, const QString& key) {
    QStandardItemModel* model = TreeModel(window);
    if (!model) return nullptr;
    QList<QStandardItem*> pending;
    for (int row = 0; row < model->rowCount(); ++row) {
        QStandardItem* root = model->item(row);
        if (root->text() == key) return root;
        pending.append(root);
    }
    while (!pending.isEmpty()) {
        QStandardItem* item = pending.takeFirst();
        for (int row = 0; row < item->rowCount(); ++row) {
            QStandardItem* child = item->child(row);
            if (child->data(kPathRole).toString() == key) return child;
            pending.append(child);
        }
    }
    return nullptr;
}

inline QStringList ChildTexts(const QStandardItem* item) {
    QStringList texts;
    if (!item) return texts;
    for (int row = 0; row < item->rowCount(); ++row) texts.append(item->child(row)->text());
    return texts;
}

// Every path (role data) in the tree, depth first.
inline QStringList TreePaths(QWidget* window) {
    QStringList paths;
    QStandardItemModel* model = TreeModel(window);
    if (!model) return paths;
    std::function<void(QStandardItem*)> walk = [&](QStandardItem* item) {
        for (int row = 0; row < item->rowCount(); ++row) {
            paths.append(item->child(row)->data(kPathRole).toString());
            walk(item->child(row));
        }
    };
    walk(model->invisibleRootItem());
    return paths;
}

// What clicking an item does: the view's clicked signal for its index.
inline bool ClickTree(QWidget* window, const QString& key) {
    QStandardItem* item = FindTreeItem(window, key);
    auto* tree = Child<QTreeView>(window, "treeView");
    if (!item || !tree) return false;
    emit tree->clicked(item->index());
    return true;
}

inline QStringList ObjectNames(QWidget* window) {
    QStringList names;
    auto* list = Child<QListView>(window, "listView");
    if (!list || !list->model()) return names;
    for (int row = 0; row < list->model()->rowCount(); ++row)
        names.append(list->model()->index(row, 0).data().toString());
    return names;
}

inline bool ClickObject(QWidget* window, const QString& name) {
    auto* list = Child<QListView>(window, "listView");
    if (!list || !list->model()) return false;
    for (int row = 0; row < list->model()->rowCount(); ++row) {
        const QModelIndex index = list->model()->index(row, 0);
        if (index.data().toString() == name) {
            emit list->clicked(index);
            return true;
        }
    }
    return false;
}

// One row of the privacy list as it looks.
struct Row {
    enum Kind { Subject, Separator, Text, Other } kind = Other;
    QString subject;       // label of a subject row
    QString current;       // combo box text of a subject row
    QStringList choices;   // combo box entries
    QString text;          // text of a text row
    QComboBox* combo = nullptr;
    QWidget* widget = nullptr;
};

inline QList<Row> PrivacyRows(QWidget* window) {
    QList<Row> rows;
    auto* list = Child<QListWidget>(window, "listWidget");
    if (!list) return rows;
    for (int i = 0; i < list->count(); ++i) {
        Row row;
        row.widget = list->itemWidget(list->item(i));
        if (row.widget && QLatin1String(row.widget->metaObject()->className()) == "SubjectItemWidget") {
            row.kind = Row::Subject;
            auto* label = row.widget->findChild<QLabel*>();
            row.combo = row.widget->findChild<QComboBox*>();
            row.subject = label ? label->text() : QString();
            if (row.combo) {
                row.current = row.combo->currentText();
                for (int c = 0; c < row.combo->count(); ++c) row.choices.append(row.combo->itemText(c));
            }
        } else if (auto* label = qobject_cast<QLabel*>(row.widget)) {
            row.kind = Row::Text;
            row.text = label->text();
        } else if (qobject_cast<QFrame*>(row.widget)) {
            row.kind = Row::Separator;
        }
        rows.append(row);
    }
    return rows;
}

// Closes every warning box that comes up while it lives (a box runs its own
// event loop, in which the timer keeps firing) and keeps what it said.
class BoxCatcher : public QObject {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
    };

    BoxCatcher() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
        timer_.start();
    }
    QList<Box> boxes;

private:
    void Poll() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible()) continue;
            boxes.append({box->windowTitle(), box->text(), box->standardButtons(), box->icon()});
            box->done(QMessageBox::Ok);
        }
    }
    QTimer timer_;
};

}  // namespace probe

// The inspector window: a tree of the three configuration trees with a JSON
// view ("  configs"), and a per-object editor of who may do what ("privacy
// and security"). Every change goes to the access-control service over the
// system bus; the window never writes configuration files itself.
#pragma once

#include <QMainWindow>
#include <QModelIndex>
#include <QString>

class QStandardItem;
class Ui_MainWindow;

// Item data role of tree items: the item's full path, or for the items that
// start a new configuration their own text.
inline constexpr int kTreePathRole = Qt::UserRole + 1;

// Appends the folders and files of `path` (which ends with "/") under
// `parent`, recursively, and the new-configuration item where one belongs.
void addPath(const QString& path, QStandardItem* parent);

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // 0 on success, -1 when the service answered with an error (a warning
    // box has then been shown). The Delete methods return the parse error
    // of a text they cannot read, without calling the service.
    int SetJsonMode(const QString& json);
    int SetJsonEntity(const QString& json);
    int SetJsonPolicy(const QString& json);
    int DeleteJsonMode(const QString& json);
    int DeleteJsonEntity(const QString& json);
    int DeleteJsonPolicy(const QString& json);
    int SetMode(const QString& object, const QString& mode);
    int SetPolicy(const QString& object, const QString& subject, const QString& operation);

    void init_config_view();
    void init_privacy_view();
    void set_list_widget(const QString& object);

private slots:
    void on_treeView_clicked(const QModelIndex& index);
    void on_listView_clicked(const QModelIndex& index);
    void on_pushButton_refresh_clicked();
    void on_pushButton_save_clicked();
    void on_pushButton_delete_clicked();

private:
    int CallChange(const QString& method, const QString& argument);
    void WarnUnparsable(const QString& json);

    Ui_MainWindow* ui;
    QString selected_object;
    QString selected_path;
};

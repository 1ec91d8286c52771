#include "mainwindow.h"

#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QItemSelectionModel>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QStandardItemModel>

#include "acjson.h"
#include "configfile-helper.h"
#include "inspector-resources.h"
#include "service-client.h"
#include "subject-item-widget.h"
#include "ui_mainwindow.h"

namespace {

const QString kOthersSubject = QStringLiteral("others");
const QString kOthersText = QStringLiteral("    others表示除上面程序之外的所有其他程序");
const QString kSaveLabel = QStringLiteral("Save");
const QString kRefreshLabel = QStringLiteral("Refresh");
// Marks the last row of the privacy list, so that a subject that happens to
// be called "others" is still saved as a policy and not as the mode.
const char kOthersRowProperty[] = "sarvOthersRow";

const QString kVarLibRoot = QString::fromStdString(kVarLibFolder);

using FolderId = std::pair<dev_t, ino_t>;

// Folders reached through a symbolic link or a bind mount may lead back to
// one of their own ancestors; such a folder is shown but not entered again.
void AddFolder(const QString& path, QStandardItem* parent, std::vector<FolderId>& ancestors) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    const FolderId id{st.st_dev, st.st_ino};
    for (const FolderId& seen : ancestors)
        if (seen == id) return;
    ancestors.push_back(id);

    const InspectorIcons& icons = inspectorIcons();
    const QFileInfoList entries =
        QDir(path).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Name | QDir::DirsFirst);
    for (const QFileInfo& entry : entries) {
        const QString name = entry.fileName();
        auto* item = new QStandardItem(name);
        item->setData(path + name, kTreePathRole);
        parent->appendRow(item);
        if (entry.isDir()) {
            item->setIcon(icons.folderIcon);
            AddFolder(path + name + QLatin1Char('/'), item, ancestors);
        } else if (name.startsWith(QLatin1String("veltrin-"))) {
            item->setIcon(icons.veltrinIcon);
        } else if (name.endsWith(QString::fromStdString(kSubjectFileExtension))) {
            item->setIcon(icons.jsonSubjectFileIcon);
        } else {
            item->setIcon(icons.jsonObjectFileIcon);
        }
    }

    // Only the service's own tree is written through the service, so only
    // its record folders offer to start a new configuration.
    if (path.startsWith(kVarLibRoot)) {
        const std::pair<const std::string&, const QString&> kinds[] = {
            {kEntityFolderName, newEntityStr}, {kModeFolderName, newModeStr}, {kPolicyFolderName, newPolicyStr}};
        for (const auto& [folder, text] : kinds) {
            if (!path.endsWith(QString::fromStdString(folder) + QLatin1Char('/'))) continue;
            auto* item = new QStandardItem(icons.jsonNewIcon, text);
            item->setData(text, kTreePathRole);
            parent->appendRow(item);
            break;
        }
    }
    ancestors.pop_back();
}

// The record folder a shown file belongs to: the first folder below its
// tree root (or, outside the trees, the folder holding it).
QString RecordFolderOf(const QString& path) {
    for (const std::string& root : {kVarLibFolder, kEtcFolder, kUsrShareFolder}) {
        const QString prefix = QString::fromStdString(root);
        if (path.startsWith(prefix)) return path.mid(prefix.size()).section(QLatin1Char('/'), 0, 0);
    }
    return QFileInfo(path).dir().dirName();
}

bool IsConfigFileName(const QString& path) {
    static const QStringList extensions = {
        QStringLiteral(".json"), QString::fromStdString(kSubjectFileExtension),
        QString::fromStdString(kObjectFileExtension), QString::fromStdString(kModeFileExtension),
        QString::fromStdString(kPolicyFileExtension)};
    for (const QString& extension : extensions)
        if (path.endsWith(extension, Qt::CaseSensitive)) return true;
    return false;
}

void PaintBlue(QWidget* widget, QPalette::ColorRole role) {
    QPalette palette = widget->palette();
    palette.setBrush(role, QBrush(Qt::blue, Qt::SolidPattern));
    widget->setPalette(palette);
}

// The value the "others" row shows: what every program without a row of
// its own gets under the object's mode.
QString OthersValue(const ModeData& mode, const QStringList& operations) {
    if (!operations.isEmpty()) {
        if (mode.mode == kModeBlacklist) {
            for (const char* op : {"allow", "readwrite", "write"})
                if (operations.contains(QLatin1String(op))) return QLatin1String(op);
        }
        if (mode.mode == kModeWhitelist) {
            for (const char* op : {"deny", "read"})
                if (operations.contains(QLatin1String(op))) return QLatin1String(op);
        }
    }
    return QString::fromStdString(mode.mode);
}

template <typename View>
void ReplaceModel(View* view, QAbstractItemModel* model) {
    QAbstractItemModel* old_model = view->model();
    QItemSelectionModel* old_selection = view->selectionModel();
    view->setModel(model);
    delete old_selection;
    delete old_model;
}

}  // namespace

void addPath(const QString& path, QStandardItem* parent) {
    std::vector<FolderId> ancestors;
    AddFolder(path, parent, ancestors);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui_MainWindow) {
    ui->setupUi(this);
    selected_object.clear();
    selected_path.clear();
    init_config_view();
    init_privacy_view();
}

MainWindow::~MainWindow() {
    // The models have no parent; the views do not own them.
    ReplaceModel(ui->treeView, nullptr);
    ReplaceModel(ui->listView, nullptr);
    delete ui;
}

namespace {

// The service takes changes from this program only when it runs as root (on
// hosts without the suite's kernel module); a user who started it from a
// plain shell should learn that, not read a bare bus error.
QString RefusalText(const QDBusMessage& reply) {
    const QString bare = reply.errorName() + QLatin1Char(':') + reply.errorMessage();
    if (reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.AccessDenied") || geteuid() == 0) return bare;
    return QStringLiteral(
               "Changes to the access-control configuration need root.\n\n"
               "Start the inspector as root: from the menu entry \"sarv access-control inspector\", "
               "or with\n    pkexec /usr/bin/sarv-ac-manager-tools\n\n"
               "The service said: ") +
           reply.errorMessage();
}

}  // namespace

int MainWindow::CallChange(const QString& method, const QString& argument) {
    const QDBusMessage reply = CallAccessControl(method, {argument});
    if (reply.type() == QDBusMessage::ReplyMessage) return 0;
    qDebug().noquote() << method + QStringLiteral(" response error: ") + QString::number(reply.type());
    QMessageBox::warning(this, method, RefusalText(reply), QMessageBox::Ok, QMessageBox::NoButton);
    return -1;
}

void MainWindow::WarnUnparsable(const QString& json) {
    qDebug().noquote() << QStringLiteral("LoadFromJson failed ") + json;
    QMessageBox::warning(this, QStringLiteral("LoadFromJson Failed: "), json, QMessageBox::Ok);
}

int MainWindow::SetJsonMode(const QString& json) { return CallChange(QStringLiteral("SetMode"), json); }

int MainWindow::SetJsonEntity(const QString& json) { return CallChange(QStringLiteral("SetEntity"), json); }

int MainWindow::SetJsonPolicy(const QString& json) { return CallChange(QStringLiteral("SetPolicy"), json); }

int MainWindow::DeleteJsonMode(const QString& json) {
    ModeData mode;
    const int result = ConfigFileHelper::LoadFromJson(json.toUtf8().toStdString(), mode);
    if (result != 0) {
        WarnUnparsable(json);
        return result;
    }
    return CallChange(QStringLiteral("DeleteMode"), QString::fromStdString(mode.object));
}

int MainWindow::DeleteJsonEntity(const QString& json) {
    EntityInfoData entity;
    const int result = ConfigFileHelper::LoadFromJson(json.toUtf8().toStdString(), entity);
    if (result != 0) {
        WarnUnparsable(json);
        return result;
    }
    return CallChange(QStringLiteral("DeleteEntity"), QString::fromStdString(entity.name));
}

int MainWindow::DeleteJsonPolicy(const QString& json) {
    PolicyData policy;
    int result = ConfigFileHelper::LoadFromJson(json.toUtf8().toStdString(), policy);
    // A policy text without any policy names no subject to delete; that is
    // a refusal like any text that does not parse, not a success.
    if (result == 0 && policy.policies.empty()) result = -22;
    if (result != 0) {
        WarnUnparsable(json);
        return result;
    }
    return CallChange(QStringLiteral("DeletePolicy"), QString::fromStdString(policy.policies.front().subject));
}

int MainWindow::SetMode(const QString& object, const QString& mode) {
    ModeData record;
    record.object = object.toStdString();
    record.mode = mode.toStdString();
    record.version = "1.0";
    return CallChange(QStringLiteral("SetMode"), QString::fromStdString(ToJsonText(record)));
}

int MainWindow::SetPolicy(const QString& object, const QString& subject, const QString& operation) {
    PolicyObject target;
    target.object = object.toStdString();
    target.operations = {operation.toStdString()};
    target.valid_period = 0;
    target.timestamp = 0;
    ACPolicy rule;
    rule.subject = subject.toStdString();
    rule.objects = {target};
    PolicyData record;
    record.version = "1.0";
    record.policies = {rule};
    return CallChange(QStringLiteral("SetPolicy"), QString::fromStdString(ToJsonText(record)));
}

void MainWindow::init_config_view() {
    ui->treeView->reset();
    ui->textBrowser->clear();
    auto* model = new QStandardItemModel;
    const InspectorIcons& icons = inspectorIcons();
    for (const std::string& root : {kVarLibFolder, kEtcFolder, kUsrShareFolder}) {
        auto* item = new QStandardItem(icons.folderIcon, QString::fromStdString(root));
        model->invisibleRootItem()->appendRow(item);
        addPath(QString::fromStdString(root), item);
    }
    ReplaceModel(ui->treeView, model);
    ui->treeView->expandAll();
    ui->treeView->setHeaderHidden(true);
    ui->pushButton_delete->hide();
}

void MainWindow::init_privacy_view() {
    ui->listView->reset();
    auto* model = new QStandardItemModel;
    ui->listView->setIconSize(QSize(20, 20));
    const InspectorIcons& icons = inspectorIcons();
    const QList<EntityInfoData> objects = getObjects();
    for (const EntityInfoData& object : objects) {
        const QString name = QString::fromStdString(object.name);
        auto* item = new QStandardItem(name);
        if (icons.objectIcons.contains(name))
            item->setIcon(icons.objectIcons.value(name));
        else if (object.subtype == kEntitySubtypeFile)
            item->setIcon(icons.objectIcons.value(QString::fromStdString(kEntitySubtypeFile)));
        else if (object.subtype == kEntitySubtypeDBus)
            item->setIcon(icons.dbusObjectIcon);
        item->setTextAlignment(Qt::AlignLeft);
        model->invisibleRootItem()->appendRow(item);
    }
    ReplaceModel(ui->listView, model);
}

void MainWindow::set_list_widget(const QString& object) {
    QListWidget* list = ui->listWidget;
    list->clear();

    const QStringList operations = fromStdVector(getEntityInfo(object).available_operations);
    const PolicyData policy = getObjectPolicy(object);

    // An unshown widget's size() is an arbitrary default (and a parentless
    // one's is window-sized), so rows are sized by what their layout asks.
    auto append_row = [list](QWidget* widget, bool sized) {
        auto* item = new QListWidgetItem(list);
        list->setItemWidget(item, widget);
        if (sized) item->setSizeHint(widget->sizeHint());
    };

    for (const ACPolicy& entry : policy.policies) {
        QString current;
        if (!entry.objects.empty() && !entry.objects.front().operations.empty())
            current = QString::fromStdString(entry.objects.front().operations.front());
        append_row(new SubjectItemWidget(QString::fromStdString(entry.subject), operations, current, list), true);
    }

    // Inside the list a widget would fill itself with the list's base
    // colour; the separator is drawn with its own window colour instead.
    auto* separator = new QFrame(list);
    PaintBlue(separator, QPalette::Window);
    separator->setBackgroundRole(QPalette::Window);
    separator->setAutoFillBackground(true);
    append_row(separator, false);

    append_row(new QLabel(kOthersText, list), false);

    auto* others = new SubjectItemWidget(kOthersSubject, operations, OthersValue(getObjectMode(object), operations));
    others->setProperty(kOthersRowProperty, true);
    append_row(others, true);
    PaintBlue(others, QPalette::Button);

    setWindowTitle(object);
    selected_object = object;
}

void MainWindow::on_treeView_clicked(const QModelIndex& index) {
    ui->pushButton_delete->hide();
    qDebug() << "双击信号 index: " << index << index.data(kTreePathRole);
    selected_path = index.data(kTreePathRole).toString();

    if (selected_path == newPolicyStr || selected_path == newEntityStr || selected_path == newModeStr) {
        setWindowTitle(selected_path);
        ui->textBrowser->setReadOnly(false);
        ui->textBrowser->clear();
        ui->pushButton_refresh->setText(kSaveLabel);
        ui->textBrowser->setFocus();
        return;
    }
    ui->textBrowser->setReadOnly(true);
    ui->pushButton_refresh->setText(kRefreshLabel);

    // Only regular files: opening a FIFO or a device would block the window.
    if (!IsConfigFileName(selected_path) || !QFileInfo(selected_path).isFile()) return;
    QFile file(selected_path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return;
    if (selected_path.startsWith(kVarLibRoot)) ui->pushButton_delete->show();
    const QByteArray content = file.readAll();
    file.close();
    const QJsonDocument document = QJsonDocument::fromJson(content);
    ui->textBrowser->setPlainText(document.isNull() ? QString()
                                                    : QString::fromUtf8(document.toJson(QJsonDocument::Indented)));
    setWindowTitle(selected_path);
}

void MainWindow::on_pushButton_refresh_clicked() {
    if (ui->pushButton_refresh->text() != kSaveLabel) {
        init_config_view();
        return;
    }
    const QString text = ui->textBrowser->toPlainText();
    if (text.isEmpty()) return;
    int result;
    if (selected_path == newEntityStr)
        result = SetJsonEntity(text);
    else if (selected_path == newModeStr)
        result = SetJsonMode(text);
    else if (selected_path == newPolicyStr)
        result = SetJsonPolicy(text);
    else
        return;
    if (result != 0) return;
    init_privacy_view();
    init_config_view();
}

void MainWindow::on_pushButton_delete_clicked() {
    const QString text = ui->textBrowser->toPlainText();
    if (text.isEmpty()) return;
    const QString folder = RecordFolderOf(selected_path);
    int result;
    if (folder == QString::fromStdString(kEntityFolderName))
        result = DeleteJsonEntity(text);
    else if (folder == QString::fromStdString(kModeFolderName))
        result = DeleteJsonMode(text);
    else
        result = DeleteJsonPolicy(text);
    if (result == 0) init_config_view();
}

void MainWindow::on_listView_clicked(const QModelIndex& index) {
    const QString object = index.data(Qt::DisplayRole).toString();
    qDebug() << "双击信号 index: " << index << object;
    set_list_widget(object);
}

void MainWindow::on_pushButton_save_clicked() {
    // Nothing is listed before an object has been chosen.
    if (selected_object.isEmpty()) return;
    QListWidget* list = ui->listWidget;
    for (int row = 0; row < list->count(); ++row) {
        auto* widget = qobject_cast<SubjectItemWidget*>(list->itemWidget(list->item(row)));
        if (widget == nullptr) continue;
        // An object without operations offers nothing to choose, so its
        // empty combo box is no change to send.
        if (widget->comboBox->currentIndex() < 0) continue;
        const QString current = widget->comboBox->currentText();
        if (current == widget->saved_value) continue;
        qDebug() << "value changed";
        const int result = widget->property(kOthersRowProperty).toBool()
                               ? SetMode(selected_object, current)
                               : SetPolicy(selected_object, widget->label->text(), current);
        if (result == 0) widget->saved_value = current;
    }
    set_list_widget(selected_object);
}

// The inspector window built in this process, against the real service
// (sarvd with the manager plug-in) on a private bus inside the sandbox. The
// test program installs itself at the inspector's trusted path and runs from
// there, so the service takes its changes as it takes the real program's.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QTabWidget>
#include <QTextBrowser>

#include "acjson.h"
#include "bus-test-support.h"
#include "inspector-resources.h"
#include "inspector-test-env.h"
#include "mainwindow.h"
#include "service-client.h"
#include "subject-item-widget.h"
#include "window-probe.h"

// Readable failure messages for Qt's strings.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
void PrintTo(const QStringList& list, std::ostream* out) {
    *out << '{';
    for (const QString& text : list) *out << " \"" << text.toStdString() << '"';
    *out << " }";
}

namespace fs = std::filesystem;
using namespace insptest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

ServiceProcess* g_service = nullptr;
CallRecorder* g_recorder = nullptr;

const char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

// Paths of the configuration every test starts from.
const std::string kVarMode = kVarLibFolder + "mode.d/documents.mode";
const std::string kVarOddMode = kVarLibFolder + "mode.d/odd.mode";
const std::string kVarEntity = kVarLibFolder + "entity.d/scanner.object";
const std::string kVarPolicy = kVarLibFolder + "policy.d/%2Fusr%2Fbin%2Fmode.data.policy";
const std::string kEtcPolicy = kEtcFolder + "policy.d/%2Fusr%2Fbin%2Fobs.policy";
const std::string kEtcBroken = kEtcFolder + "mode.d/broken.mode";
const std::string kEtcVeltrin = kEtcFolder + "entity.d/veltrin-notes.subject";
const std::string kEtcReadme = kEtcFolder + "README.txt";

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

// Objects: camera and microphone (allow/deny), documents and scanner (file
// objects of no icon of their own), a bus object, and clipboard without
// operations. Subjects: cheese, arecord, obs and a veltrin package.
void SeedConfiguration() {
    ClearConfigTrees();
    const std::string usr = kUsrShareFolder, etc = kEtcFolder, var = kVarLibFolder;
    WriteRecord(usr, ObjectRecord("camera", "file", {"allow", "deny"}));
    WriteRecord(usr, ObjectRecord("microphone", "file", {"allow", "deny"}));
    WriteRecord(usr, ObjectRecord("documents", "file", {"read", "write"}));
    WriteRecord(usr, ObjectRecord("org.example.Settings", "dbus", {"read", "write"}));
    WriteRecord(usr, ObjectRecord("clipboard", "screen", {}));
    // The others row picks by preference, not by the order on offer.
    WriteRecord(usr, ObjectRecord("projector", "file", {"write", "readwrite"}));
    WriteRecord(usr, ObjectRecord("screen", "file", {"read", "deny"}));
    WriteRecord(usr, ModeRecord("screen", "whitelist"));
    for (const char* exe : {"/usr/bin/cheese", "/usr/bin/arecord", "/usr/bin/obs", "/usr/bin/mode.data"})
        WriteRecord(usr, SubjectRecord(exe));
    WriteRecord(usr, ModeRecord("camera", "whitelist"));
    WriteRecord(usr, ModeRecord("microphone", "blacklist"));
    WriteRecord(usr, ModeRecord("org.example.Settings", "whitelist"));
    WriteRecord(usr, PolicyRecord("/usr/bin/cheese", {{"camera", "allow"}, {"microphone", "allow"}}));
    WriteRecord(usr, PolicyRecord("/usr/bin/arecord", {{"microphone", "deny"}}));
    // A program that happens to be called like the last row.
    WriteRecord(usr, SubjectRecord("others"));
    WriteRecord(usr, PolicyRecord("others", {{"documents", "read"}}));

    // "readwrite" is no operation of the camera.
    WriteRecord(etc, PolicyRecord("/usr/bin/obs", {{"camera", "readwrite"}}));
    EntityInfoData notes = SubjectRecord("veltrin-notes");
    notes.subtype = kEntitySubtypeVeltrin;
    notes.attrs.veltrin_applicationid = "notes";
    WriteRecord(etc, notes);
    WriteFile(kEtcBroken, "this is not json");
    WriteFile(etc + "mode.d/.pending.mode", "{}");
    WriteFile(kEtcReadme, "{\"note\": true}");

    WriteRecord(var, ModeRecord("documents", "blacklist"));
    WriteRecord(var, ObjectRecord("scanner", "file", {"allow", "deny"}));
    // Two subjects in one file; the file is named by the first. Its name
    // contains "mode.d", its folder is policy.d.
    PolicyData two = PolicyRecord("/usr/bin/mode.data", {{"microphone", "allow"}});
    two.policies.push_back(PolicyRecord("/usr/bin/cheese", {{"scanner", "allow"}}).policies.front());
    WriteRecord(var, two);
    WriteFile(kVarOddMode, R"(["not", "a", "mode"])");
}

// Writes one plain-coloured SVG per icon file, so that the icons the window
// loads can be told apart by colour.
void WriteIconFiles() {
    const std::pair<QString, const char*> files[] = {
        {kFolderIconFile, "#ff0000"},          {kJsonObjectIconFile, "#00ff00"},
        {kJsonSubjectIconFile, "#0000ff"},     {kJsonNewIconFile, "#ffff00"},
        {kDbusObjectIconFile, "#808080"},      {kObjectIconMap.value("camera"), "#00ffff"},
        {kObjectIconMap.value("microphone"), "#ff00ff"},
    };
    for (const auto& [file, colour] : files)
        WriteFile(file.toStdString(), std::string("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"16\" height=\"16\">"
                                                  "<rect width=\"16\" height=\"16\" fill=\"") +
                                          colour + "\"/></svg>");
}

QColor CentreColour(const QIcon& icon) {
    const QImage image = icon.pixmap(16, 16).toImage();
    return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

std::vector<CallRecorder::Call> Mutations(const std::vector<CallRecorder::Call>& calls) {
    std::vector<CallRecorder::Call> out;
    for (const auto& c : calls)
        if (c.member.rfind("Set", 0) == 0 || c.member.rfind("Delete", 0) == 0) out.push_back(c);
    return out;
}

std::vector<std::string> Members(const std::vector<CallRecorder::Call>& calls) {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.member);
    return out;
}

MATCHER_P2(IsCall, member, argument, "") { return arg.member == member && arg.args == std::vector<std::string>{argument}; }

class InspectorWindow : public ::testing::Test {
protected:
    void SetUp() override {
        SeedConfiguration();
        if (start_service_) {
            ASSERT_TRUE(g_service->Start()) << "the service did not come up";
        }
        window_ = std::make_unique<MainWindow>();
        window_->show();
        g_recorder->Take();
    }
    void TearDown() override {
        window_.reset();
        g_service->Stop();
    }

    QWidget* w() const { return window_.get(); }
    template <typename T>
    T* child(const char* name) const {
        return probe::Child<T>(window_.get(), name);
    }
    QTextBrowser* text() const { return child<QTextBrowser>("textBrowser"); }
    QPushButton* refresh() const { return child<QPushButton>("pushButton_refresh"); }
    QPushButton* remove() const { return child<QPushButton>("pushButton_delete"); }
    QPushButton* save() const { return child<QPushButton>("pushButton_save"); }
    bool click(const std::string& key) const { return probe::ClickTree(w(), QString::fromStdString(key)); }
    QStringList paths() const { return probe::TreePaths(w()); }

    SubjectItemWidget* row_widget(const QString& subject) const {
        for (const probe::Row& row : probe::PrivacyRows(w()))
            if (row.kind == probe::Row::Subject && row.subject == subject)
                return qobject_cast<SubjectItemWidget*>(row.widget);
        return nullptr;
    }

    bool start_service_ = true;
    std::unique_ptr<MainWindow> window_;
};

// ---- The configuration tree ----------------------------------------------------------

TEST_F(InspectorWindow, TreeShowsTheThreeRootsWithNewItemsOnlyInTheServiceTree) {
    QStandardItemModel* model = probe::TreeModel(w());
    ASSERT_NE(model, nullptr);
    ASSERT_EQ(model->rowCount(), 3);
    EXPECT_EQ(model->item(0)->text(), "/var/lib/olm/sarv/");
    EXPECT_EQ(model->item(1)->text(), "/etc/olm/sarv/");
    EXPECT_EQ(model->item(2)->text(), "/usr/share/olm/sarv/");
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(model->item(i)->data(probe::kPathRole).isValid());

    // Folders first, then files; hidden files are left out; no name filter.
    auto* etc = probe::FindTreeItem(w(), "/etc/olm/sarv/");
    EXPECT_EQ(probe::ChildTexts(etc), QStringList({"entity.d", "mode.d", "policy.d", "README.txt"}));
    EXPECT_EQ(probe::ChildTexts(probe::FindTreeItem(w(), "/etc/olm/sarv/mode.d")), QStringList({"broken.mode"}));

    // Each record folder of the service's tree ends with its new item.
    EXPECT_EQ(probe::ChildTexts(probe::FindTreeItem(w(), "/var/lib/olm/sarv/mode.d")),
              QStringList({"documents.mode", "odd.mode", "New Mode"}));
    EXPECT_EQ(probe::ChildTexts(probe::FindTreeItem(w(), "/var/lib/olm/sarv/entity.d")),
              QStringList({"scanner.object", "New Entity"}));
    EXPECT_EQ(probe::ChildTexts(probe::FindTreeItem(w(), "/var/lib/olm/sarv/policy.d")),
              QStringList({"%2Fusr%2Fbin%2Fmode.data.policy", "New Policy"}));
    EXPECT_EQ(paths().count("New Mode"), 1);
    EXPECT_EQ(paths().count("New Entity"), 1);
    EXPECT_EQ(paths().count("New Policy"), 1);

    // Folder paths carry no trailing slash; files their full path.
    EXPECT_TRUE(paths().contains("/usr/share/olm/sarv/entity.d"));
    EXPECT_TRUE(paths().contains(QString::fromStdString(kEtcPolicy)));
    EXPECT_NE(probe::FindTreeItem(w(), "New Mode")->data(probe::kPathRole).toString(), QString());

    auto* tree = child<QTreeView>("treeView");
    EXPECT_TRUE(tree->isHeaderHidden());
    EXPECT_TRUE(tree->isExpanded(probe::FindTreeItem(w(), "/usr/share/olm/sarv/policy.d")->index()));
    EXPECT_FALSE(remove()->isVisible());
}

TEST_F(InspectorWindow, RefreshRereadsTheTreesAndSurvivesAFolderLoop) {
    fs::create_directory_symlink(kEtcFolder, kEtcFolder + "policy.d/loop");
    WriteFile(kEtcFolder + "policy.d/sub/deeper/x.policy", "{}");
    EXPECT_FALSE(paths().contains(QString::fromStdString(kEtcFolder + "policy.d/loop")));

    refresh()->click();

    const QStringList all = paths();
    EXPECT_TRUE(all.contains(QString::fromStdString(kEtcFolder + "policy.d/sub/deeper/x.policy")));
    // The link is listed, but not entered again: it leads back to its own
    // ancestor.
    auto* loop = probe::FindTreeItem(w(), QString::fromStdString(kEtcFolder + "policy.d/loop"));
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->rowCount(), 0);
}

TEST_F(InspectorWindow, ItemsCarryTheIconOfTheirKind) {
    const InspectorIcons& icons = inspectorIcons();
    auto icon_of = [&](const std::string& key) {
        QStandardItem* item = probe::FindTreeItem(w(), QString::fromStdString(key));
        return item ? item->icon().cacheKey() : 0;
    };
    EXPECT_EQ(icon_of("/etc/olm/sarv/"), icons.folderIcon.cacheKey());
    EXPECT_EQ(icon_of(kEtcFolder + "entity.d"), icons.folderIcon.cacheKey());
    EXPECT_EQ(icon_of(kEtcVeltrin), icons.veltrinIcon.cacheKey());
    EXPECT_EQ(icon_of(kUsrShareFolder + "entity.d/%2Fusr%2Fbin%2Fcheese.subject"), icons.jsonSubjectFileIcon.cacheKey());
    for (const std::string& other : {kVarEntity, kVarMode, kEtcPolicy, kEtcReadme, kEtcBroken})
        EXPECT_EQ(icon_of(other), icons.jsonObjectFileIcon.cacheKey()) << other;
    EXPECT_EQ(icon_of("New Policy"), icons.jsonNewIcon.cacheKey());

    // The icon files are the ones of the table.
    EXPECT_EQ(CentreColour(icons.folderIcon), QColor("#ff0000"));
    EXPECT_EQ(CentreColour(icons.jsonObjectFileIcon), QColor("#00ff00"));
    EXPECT_EQ(CentreColour(icons.jsonSubjectFileIcon), QColor("#0000ff"));
    EXPECT_EQ(CentreColour(icons.jsonNewIcon), QColor("#ffff00"));

    // The veltrin logo is drawn from its SVG text at 16 x 16 on transparency.
    QImage expected(16, 16, QImage::Format_ARGB32_Premultiplied);
    expected.fill(Qt::transparent);
    QSvgRenderer renderer{QByteArray(veltrinLogoSvgText)};
    ASSERT_TRUE(renderer.isValid());
    QPainter painter(&expected);
    renderer.render(&painter);
    painter.end();
    const QImage drawn = icons.veltrinIcon.pixmap(16, 16).toImage().convertToFormat(expected.format());
    EXPECT_EQ(drawn, expected);
    EXPECT_EQ(drawn.pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(drawn.pixelColor(8, 8).alpha(), 255);
}

TEST_F(InspectorWindow, ClickingAFileShowsItAsIndentedJson) {
    ASSERT_TRUE(click(kEtcPolicy));
    QFile file(QString::fromStdString(kEtcPolicy));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString expected = QString::fromUtf8(QJsonDocument::fromJson(file.readAll()).toJson(QJsonDocument::Indented));
    EXPECT_EQ(text()->toPlainText(), expected);
    EXPECT_THAT(text()->toPlainText().toStdString(), StartsWith("{\n    \"policies\": [\n"));
    EXPECT_TRUE(text()->isReadOnly());
    EXPECT_EQ(w()->windowTitle().toStdString(), kEtcPolicy);
    EXPECT_FALSE(remove()->isVisible()) << "only files of the service's tree can be deleted";
    EXPECT_EQ(refresh()->text(), "Refresh");

    // A folder, or a file of another kind, leaves the view as it was.
    ASSERT_TRUE(click(kEtcFolder + "mode.d"));
    ASSERT_TRUE(click(kEtcReadme));
    EXPECT_EQ(text()->toPlainText(), expected);

    // Only files of the service's tree offer Delete.
    ASSERT_TRUE(click(kVarMode));
    EXPECT_TRUE(remove()->isVisible());
    EXPECT_THAT(text()->toPlainText().toStdString(), ::testing::HasSubstr("\"object\": \"documents\""));
    ASSERT_TRUE(click(kVarLibFolder + "mode.d"));
    EXPECT_FALSE(remove()->isVisible());

    // A file that is no JSON shows as empty text.
    ASSERT_TRUE(click(kEtcBroken));
    EXPECT_EQ(text()->toPlainText(), "");
    EXPECT_EQ(w()->windowTitle().toStdString(), kEtcBroken);
}

TEST_F(InspectorWindow, NewItemsTurnTheViewIntoAnEditorUntilAnotherItemIsClicked) {
    ASSERT_TRUE(click(kEtcPolicy));
    ASSERT_TRUE(click("New Entity"));
    EXPECT_EQ(w()->windowTitle(), "New Entity");
    EXPECT_FALSE(text()->isReadOnly());
    EXPECT_EQ(text()->toPlainText(), "");
    EXPECT_EQ(refresh()->text(), "Save");
    EXPECT_FALSE(remove()->isVisible());

    ASSERT_TRUE(click(kEtcFolder + "mode.d"));
    EXPECT_EQ(refresh()->text(), "Refresh");
    EXPECT_TRUE(text()->isReadOnly());
}

// ---- Changes made on the configuration tab ---------------------------------------------

TEST_F(InspectorWindow, SavingANewConfigurationSendsTheTypedTextAndRebuilds) {
    struct Case {
        const char* item;
        const char* member;
        QString json;
        std::string file;
    };
    const Case cases[] = {
        {"New Mode", "SetMode", "{\n  \"object\": \"camera\",\n  \"mode\": \"blacklist\",\n  \"version\": \"1.0\"\n}",
         kVarLibFolder + "mode.d/camera.mode"},
        {"New Entity", "SetEntity",
         QString::fromStdString(ToJsonText(ObjectRecord("webcam2", "file", {"allow", "deny"}), 2)),
         kVarLibFolder + "entity.d/webcam2.object"},
        {"New Policy", "SetPolicy",
         QString::fromStdString(ToJsonText(PolicyRecord("/usr/bin/obs", {{"microphone", "allow"}}), 4)),
         kVarLibFolder + "policy.d/%2Fusr%2Fbin%2Fobs.policy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        probe::BoxCatcher boxes;
        ASSERT_TRUE(click(c.item));
        text()->setPlainText(c.json);
        refresh()->click();

        const auto calls = g_recorder->Take();
        EXPECT_THAT(Mutations(calls), ElementsAre(IsCall(c.member, c.json.toStdString())));
        // The privacy list is rebuilt, then the tree.
        EXPECT_THAT(Members(calls), ::testing::Contains("ListEntity"));
        EXPECT_THAT(boxes.boxes, IsEmpty());
        EXPECT_TRUE(fs::exists(c.file));
        EXPECT_TRUE(paths().contains(QString::fromStdString(c.file)));
        EXPECT_EQ(text()->toPlainText(), "");
        // The button stays "Save": another text can follow at once.
        EXPECT_EQ(refresh()->text(), "Save");
    }
    EXPECT_TRUE(probe::ObjectNames(w()).contains("webcam2"));

    // An empty text sends nothing.
    ASSERT_TRUE(click("New Mode"));
    refresh()->click();
    EXPECT_THAT(g_recorder->Take(), IsEmpty());
}

TEST_F(InspectorWindow, AServiceErrorShowsAWarningAndKeepsTheText) {
    const QString json = R"({"mode":"sideways","object":"camera","version":"1.0"})";
    BusClient direct;
    const BusClient::Reply expected = direct.CallString("SetMode", json.toStdString());
    ASSERT_FALSE(expected.ok);
    ASSERT_EQ(expected.error_name, kInvalidArgs);
    g_recorder->Take();

    probe::BoxCatcher boxes;
    ASSERT_TRUE(click("New Mode"));
    text()->setPlainText(json);
    refresh()->click();

    ASSERT_EQ(boxes.boxes.size(), 1);
    const auto& box = boxes.boxes.front();
    EXPECT_EQ(box.title, "SetMode");
    EXPECT_EQ(box.text.toStdString(), expected.error_name + ":" + expected.error_message);
    EXPECT_EQ(box.buttons, QMessageBox::Ok);
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_EQ(text()->toPlainText(), json);
    EXPECT_EQ(Members(g_recorder->Take()), std::vector<std::string>{"SetMode"}) << "nothing is rebuilt";
    EXPECT_FALSE(fs::exists(kVarLibFolder + "mode.d/camera.mode"));
}

TEST_F(InspectorWindow, DeleteSendsTheNameOfTheShownRecord) {
    struct Case {
        std::string file;
        const char* member;
        const char* name;
    };
    // The policy file holds two subjects and is deleted by the first; its
    // name contains "mode.d" but its folder is policy.d.
    const Case cases[] = {{kVarMode, "DeleteMode", "documents"},
                          {kVarEntity, "DeleteEntity", "scanner"},
                          {kVarPolicy, "DeletePolicy", "/usr/bin/mode.data"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        probe::BoxCatcher boxes;
        ASSERT_TRUE(click(c.file));
        ASSERT_TRUE(remove()->isVisible());
        remove()->click();
        EXPECT_THAT(g_recorder->Take(), ElementsAre(IsCall(c.member, c.name)));
        EXPECT_THAT(boxes.boxes, IsEmpty());
        EXPECT_FALSE(fs::exists(c.file));
        EXPECT_FALSE(paths().contains(QString::fromStdString(c.file))) << "the tree is rebuilt";
        EXPECT_FALSE(remove()->isVisible());
    }
}

TEST_F(InspectorWindow, DeleteTextsThatDoNotParseAreRefusedWithoutACall) {
    // Through the window: a file of the service's tree that is JSON but no
    // mode.
    probe::BoxCatcher boxes;
    ASSERT_TRUE(click(kVarOddMode));
    const QString shown = text()->toPlainText();
    ASSERT_FALSE(shown.isEmpty());
    remove()->click();
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].title, "LoadFromJson Failed: ");
    EXPECT_EQ(boxes.boxes[0].text, shown);
    EXPECT_EQ(boxes.boxes[0].buttons, QMessageBox::Ok);
    EXPECT_TRUE(fs::exists(kVarOddMode));

    // And directly: text that is no JSON, and a policy without policies.
    EXPECT_NE(window_->DeleteJsonMode("not json"), 0);
    EXPECT_NE(window_->DeleteJsonEntity("{\"name\": 7}"), 0);
    EXPECT_NE(window_->DeleteJsonPolicy(R"({"policies":[],"version":"1.0"})"), 0);
    ASSERT_EQ(boxes.boxes.size(), 4);
    EXPECT_EQ(boxes.boxes[1].text, "not json");
    EXPECT_EQ(boxes.boxes[3].title, "LoadFromJson Failed: ");
    EXPECT_THAT(g_recorder->Take(), IsEmpty());
}

TEST_F(InspectorWindow, ModeAndPolicyChangesAreSentAsCompactDocuments) {
    probe::BoxCatcher boxes;
    EXPECT_EQ(window_->SetMode("camera", "deny"), 0);
    EXPECT_EQ(window_->SetPolicy("camera", "/usr/bin/obs", "allow"), 0);
    EXPECT_THAT(g_recorder->Take(),
                ElementsAre(IsCall("SetMode", R"({"mode":"deny","object":"camera","version":"1.0"})"),
                            IsCall("SetPolicy", R"({"policies":[{"objects":[{"object":"camera","operations":["allow"],)"
                                                R"("timestamp":0,"valid_period":0}],"subject":{"name":"/usr/bin/obs"}}],)"
                                                R"("version":"1.0"})")));
    EXPECT_THAT(boxes.boxes, IsEmpty());
    EXPECT_EQ(getObjectMode("camera").mode, "deny");
}

// ---- The privacy list ------------------------------------------------------------------

TEST_F(InspectorWindow, PrivacyListShowsTheObjectsWithTheirIcons) {
    EXPECT_EQ(probe::ObjectNames(w()),
              QStringList({"camera", "clipboard", "documents", "microphone", "org.example.Settings", "projector",
                           "scanner", "screen"}));
    auto* list = child<QListView>("listView");
    EXPECT_EQ(list->iconSize(), QSize(20, 20));
    const InspectorIcons& icons = inspectorIcons();
    auto icon_of = [&](int row) { return list->model()->index(row, 0).data(Qt::DecorationRole).value<QIcon>(); };
    EXPECT_EQ(icon_of(0).cacheKey(), icons.objectIcons.value("camera").cacheKey());
    EXPECT_EQ(CentreColour(icon_of(0)), QColor("#00ffff"));
    EXPECT_TRUE(icon_of(1).isNull()) << "neither named, nor a file, nor a bus object";
    EXPECT_EQ(icon_of(2).cacheKey(), icons.objectIcons.value("file").cacheKey());
    EXPECT_EQ(CentreColour(icon_of(3)), QColor("#ff00ff"));
    EXPECT_EQ(icon_of(4).cacheKey(), icons.dbusObjectIcon.cacheKey());
    EXPECT_EQ(CentreColour(icon_of(4)), QColor("#808080"));
    EXPECT_EQ(CentreColour(icon_of(6)), QColor("#ff0000"));
}

TEST_F(InspectorWindow, AnObjectListsItsSubjectsThenTheOthersRow) {
    child<QTabWidget>("tabWidget")->setCurrentIndex(1);
    ASSERT_TRUE(probe::ClickObject(w(), "camera"));
    // Let the list lay out and paint what it was given.
    QCoreApplication::processEvents();
    const QList<probe::Row> rows = probe::PrivacyRows(w());
    ASSERT_EQ(rows.size(), 5);
    EXPECT_EQ(rows[0].subject, "/usr/bin/cheese");
    EXPECT_EQ(rows[0].current, "allow");
    EXPECT_EQ(rows[0].choices, QStringList({"allow", "deny"}));
    // "readwrite" is not offered: the first operation is selected instead.
    EXPECT_EQ(rows[1].subject, "/usr/bin/obs");
    EXPECT_EQ(rows[1].current, "allow");
    EXPECT_EQ(row_widget("/usr/bin/obs")->saved_value, "readwrite");
    EXPECT_EQ(rows[2].kind, probe::Row::Separator);
    EXPECT_EQ(rows[2].widget->palette().color(QPalette::Window), QColor(Qt::blue));
    const QImage separator = rows[2].widget->grab().toImage();
    ASSERT_FALSE(separator.isNull());
    EXPECT_EQ(separator.pixelColor(separator.width() / 2, separator.height() / 2), QColor(Qt::blue)) << "as drawn";
    EXPECT_EQ(rows[3].kind, probe::Row::Text);
    EXPECT_EQ(rows[3].text, "    others表示除上面程序之外的所有其他程序");
    EXPECT_EQ(rows[4].subject, "others");
    EXPECT_EQ(rows[4].current, "deny") << "whitelist: everyone else is denied";
    EXPECT_EQ(rows[4].widget->palette().color(QPalette::Inactive, QPalette::Button), QColor(Qt::blue));
    EXPECT_EQ(w()->windowTitle(), "camera");

    // The others row follows the mode and the operations on offer.
    struct Case {
        const char* object;
        const char* others;
        int choices;
    };
    for (const Case& c : {Case{"microphone", "allow", 2}, Case{"documents", "write", 2},
                          Case{"org.example.Settings", "read", 2}, Case{"projector", "readwrite", 2},
                          Case{"screen", "deny", 2}, Case{"clipboard", "", 0}}) {
        SCOPED_TRACE(c.object);
        ASSERT_TRUE(probe::ClickObject(w(), c.object));
        const probe::Row others = probe::PrivacyRows(w()).last();
        EXPECT_EQ(others.subject, "others");
        EXPECT_EQ(others.current, c.others);
        EXPECT_EQ(others.choices.size(), c.choices);
    }
    // Without operations the row keeps the mode text.
    EXPECT_EQ(row_widget("others")->saved_value, "blacklist");
}

TEST_F(InspectorWindow, SaveSendsOnlyTheRowsThatChanged) {
    probe::BoxCatcher boxes;
    save()->click();
    EXPECT_THAT(g_recorder->Take(), IsEmpty()) << "no object chosen yet";

    ASSERT_TRUE(probe::ClickObject(w(), "microphone"));
    g_recorder->Take();

    save()->click();
    EXPECT_THAT(Mutations(g_recorder->Take()), IsEmpty()) << "nothing changed";

    row_widget("/usr/bin/arecord")->comboBox->setCurrentText("allow");
    row_widget("others")->comboBox->setCurrentText("deny");
    save()->click();
    EXPECT_THAT(Mutations(g_recorder->Take()),
                ElementsAre(IsCall("SetPolicy", ToJsonText(PolicyRecord("/usr/bin/arecord", {{"microphone", "allow"}}))),
                            IsCall("SetMode", R"({"mode":"deny","object":"microphone","version":"1.0"})")));
    EXPECT_THAT(boxes.boxes, IsEmpty());

    // The list is read again from the service.
    EXPECT_EQ(row_widget("/usr/bin/arecord")->comboBox->currentText(), "allow");
    EXPECT_EQ(row_widget("others")->comboBox->currentText(), "deny");
    save()->click();
    EXPECT_THAT(Mutations(g_recorder->Take()), IsEmpty());

    // A stored operation that is not on offer is sent as the one shown.
    ASSERT_TRUE(probe::ClickObject(w(), "camera"));
    save()->click();
    EXPECT_THAT(Mutations(g_recorder->Take()),
                ElementsAre(IsCall("SetPolicy", ToJsonText(PolicyRecord("/usr/bin/obs", {{"camera", "allow"}})))));
    // A subject named "others" is still a subject.
    ASSERT_TRUE(probe::ClickObject(w(), "documents"));
    const QList<probe::Row> rows = probe::PrivacyRows(w());
    ASSERT_EQ(rows.size(), 4);
    ASSERT_EQ(rows[0].subject, "others");
    rows[0].combo->setCurrentText("write");
    save()->click();
    EXPECT_THAT(Mutations(g_recorder->Take()),
                ElementsAre(IsCall("SetPolicy", ToJsonText(PolicyRecord("others", {{"documents", "write"}})))));

    // An others row without operations has nothing to send.
    ASSERT_TRUE(probe::ClickObject(w(), "clipboard"));
    save()->click();
    EXPECT_THAT(Mutations(g_recorder->Take()), IsEmpty());
    EXPECT_THAT(boxes.boxes, IsEmpty());
}

TEST_F(InspectorWindow, SaveGoesOnWithTheNextRowAfterAnError) {
    ASSERT_TRUE(probe::ClickObject(w(), "microphone"));
    row_widget("/usr/bin/cheese")->comboBox->setCurrentText("deny");
    row_widget("others")->comboBox->setCurrentText("deny");
    g_service->Stop();

    probe::BoxCatcher boxes;
    save()->click();
    ASSERT_EQ(boxes.boxes.size(), 2);
    EXPECT_EQ(boxes.boxes[0].title, "SetPolicy");
    EXPECT_EQ(boxes.boxes[1].title, "SetMode");
    EXPECT_THAT(boxes.boxes[0].text.toStdString(), StartsWith("org.freedesktop.DBus.Error."));
}

class InspectorWithoutService : public InspectorWindow {
protected:
    InspectorWithoutService() { start_service_ = false; }
};

TEST_F(InspectorWithoutService, WindowOpensWithTheTreeAndAnEmptyPrivacyList) {
    EXPECT_THAT(probe::ObjectNames(w()), IsEmpty());
    EXPECT_EQ(probe::ChildTexts(probe::FindTreeItem(w(), "/usr/share/olm/sarv/")),
              QStringList({"acadapter.d", "entity.d", "mode.d", "policy.d"}));
    EXPECT_TRUE(paths().contains("New Mode"));

    // The queries give the starting records.
    EXPECT_EQ(getObjectMode("camera").mode, "blacklist");
    EXPECT_EQ(getObjectMode("camera").object, "");
    EXPECT_TRUE(getObjectPolicy("camera").policies.empty());
    EXPECT_TRUE(getEntityInfo("camera").name.empty());

    // A change shows the bus's own error.
    probe::BoxCatcher boxes;
    EXPECT_EQ(window_->SetMode("camera", "deny"), -1);
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].title, "SetMode");
    EXPECT_THAT(boxes.boxes[0].text.toStdString(), StartsWith("org.freedesktop.DBus.Error.ServiceUnknown:"));
}

}  // namespace

int main(int argc, char** argv) {
    RunFromTrustedPath(argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);

    FakeCommands fakes({"systemctl", "killall"});
    PrivateBus bus;
    if (!bus.ok()) {
        fprintf(stderr, "no private dbus-daemon\n");
        return 1;
    }
    InstallExampleAdapter();
    WriteIconFiles();
    ServiceProcess service;
    CallRecorder recorder;
    if (!recorder.ok()) {
        fprintf(stderr, "cannot monitor the private bus\n");
        return 1;
    }
    g_service = &service;
    g_recorder = &recorder;

    QApplication app(argc, argv);
    const int result = RUN_ALL_TESTS();
    service.Stop();
    return result;
}

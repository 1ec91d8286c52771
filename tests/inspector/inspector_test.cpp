// The inspector against the service as it runs (sarvd with the plug-in): the window built in this process
// (labelled, so the service takes its changes) used as tests/data/cases/inspector-*.tsv say, and the program.
#include <signal.h>
#include <unistd.h>

#include <QtWidgets>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"
#include "mainwindow.h"
#include "subject-item-widget.h"

using namespace sarvtest;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const char* text) { return text ? text : ""; }

// What the service is sent, as a monitor on the bus sees it.
struct BusMonitor {
    BusMonitor() {
        sd_bus_new(&bus_), sd_bus_set_address(bus_, getenv("DBUS_SYSTEM_BUS_ADDRESS")), sd_bus_set_monitor(bus_, 1);
        sd_bus_set_bus_client(bus_, 1), sd_bus_start(bus_);
        EXPECT_GE(sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus.Monitoring", "BecomeMonitor", nullptr, nullptr, "asu", 1,
                                     "destination='org.nimbra.sarv1'", 0u), 0);
    }
    ~BusMonitor() { sd_bus_flush_close_unref(bus_); }
    std::string Changes() {  // "MEMBER ARGUMENT / ..." of those sent before a marker sent now
        Client().Call("GetMode", {"inspector-marker"});
        std::vector<std::string> changes;
        for (sd_bus_message* m = nullptr; sd_bus_process(bus_, &m) > 0 || sd_bus_wait(bus_, 10000000) > 0;
             m = sd_bus_message_unref(m)) {
            if (!m) continue;
            const char* arg = nullptr;
            sd_bus_message_read_basic(m, 's', &arg);  // ListEntity has none
            const std::string member = S(sd_bus_message_get_member(m)), call = member + " " + S(arg);
            lister = member == "ListEntity" ? S(sd_bus_message_get_sender(m)) : lister;
            if (call == "GetMode inspector-marker") return sd_bus_message_unref(m), Join(changes, " / ");
            if (member.rfind("Set", 0) == 0 || member.rfind("Delete", 0) == 0) changes.push_back(call);
        }
        ADD_FAILURE() << "the bus monitor missed its marker";
        return Join(changes, " / ");
    }
    std::string lister;  // the connection that last asked for ListEntity
    sd_bus* bus_ = nullptr;
};

// Closes each warning box as it shows (the timer fires in the box's own event loop), keeping "TITLE: TEXT".
struct Boxes : QTimer {
    std::vector<std::string> seen;
    Boxes() {
        connect(this, &QTimer::timeout, [this] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                    seen.push_back((box->windowTitle() + ": " + box->text()).toStdString()), box->done(0);
        });
        start(5);
    }
};

std::string Key(const QModelIndex& item) {  // a tree item's path; a root's text
    return (item.data(kTreePathRole).isValid() ? item.data(kTreePathRole) : item.data()).toString().toStdString();
}

class Inspector : public ::testing::Test {
protected:
    void SetUp() override {
        trees::Clear();
        trees::Seed("inspector");
        ASSERT_TRUE(service_.Start());
        (window_ = std::make_unique<MainWindow>())->show();
    }
    template <typename T> T* Find(const std::string& name) const { return window_->findChild<T*>(Q(name)); }
    QModelIndexList Tree() const {  // every item, depth first
        QAbstractItemModel* model = Find<QTreeView>("treeView")->model();
        return model->match(model->index(0, 0), Qt::DisplayRole, QString(), -1, Qt::MatchContains | Qt::MatchRecursive);
    }
    void ClickTree(const std::string& key) const {
        for (const QModelIndex& item : Tree())
            if (Key(item) == key) return emit Find<QTreeView>("treeView")->clicked(item);
        ADD_FAILURE() << "no tree item " << key;
    }
    void ClickObject(const std::string& name) const {
        const auto found = static_cast<QStandardItemModel*>(Find<QListView>("listView")->model())->findItems(Q(name));
        ASSERT_FALSE(found.isEmpty()) << name;
        emit Find<QListView>("listView")->clicked(found.first()->index());
    }
    std::vector<SubjectItemWidget*> Rows() const {  // the privacy list; null: no subject row
        std::vector<SubjectItemWidget*> rows;
        for (auto* list = Find<QListWidget>("listWidget"); rows.size() < static_cast<size_t>(list->count());)
            rows.push_back(qobject_cast<SubjectItemWidget*>(list->itemWidget(list->item(static_cast<int>(rows.size())))));
        return rows;
    }
    QComboBox* Choice(const std::string& subject) const {  // of the first row of `subject`
        for (SubjectItemWidget* row : Rows())
            if (row && row->label->text() == Q(subject)) return row->comboBox;
        return nullptr;
    }
    QTextBrowser* View() const { return Find<QTextBrowser>("textBrowser"); }
    QPushButton* Button(const std::string& name) const { return Find<QPushButton>("pushButton_" + name); }
    // "TITLE | BUTTON[ editable][ delete][ | ROWS]": the left button's text, whether the view
    // is editable and Delete shows; ROWS the privacy list, "SUBJECT=CHOSEN" or "-" per row.
    std::string Shows() const {
        std::vector<std::string> rows;
        for (SubjectItemWidget* r : Rows())
            rows.push_back(r ? (r->label->text() + "=" + r->comboBox->currentText()).toStdString() : "-");
        return window_->windowTitle().toStdString() + " | " + Button("refresh")->text().toStdString() +
               (View()->isReadOnly() ? "" : " editable") + (Button("delete")->isVisible() ? " delete" : "") +
               (rows.empty() ? "" : " | " + Join(rows, " / "));
    }
    void Run(const std::string& table) {  // tests/data/cases/TABLE explains its columns
        for (const Row& row : Table(table)) {
            SCOPED_TRACE(row.where);
            Boxes boxes;
            if (!row["click"].empty()) ClickTree(row["click"]);
            if (!row["object"].empty()) ClickObject(row["object"]);
            const std::map<std::string, std::string> vars{{"shown", View()->toPlainText().toStdString()},
                                                          {"typed", row["type"]}, {"exe", SelfExe()}, {"pid", std::to_string(getpid())}};
            if (!row["type"].empty()) View()->setPlainText(Q(row["type"]));
            for (const std::string& change : Split(row["set"], ' '))
                Choice(change.substr(0, change.find('=')))->setCurrentText(Q(change.substr(change.find('=') + 1)));
            const bool nobody = row["as"] == "nobody";  // not root, and refused: the label taken away
            labels::Set(getpid(), nobody ? std::nullopt : std::optional<std::string>("nimbra_app"));
            ASSERT_EQ(seteuid(nobody ? 65534 : 0), 0);
            if (!row["press"].empty()) Button(row["press"])->click();
            ASSERT_EQ(seteuid(0), 0);
            EXPECT_EQ(monitor_.Changes(), Fill(row["calls"], vars));
            EXPECT_EQ(Join(boxes.seen, " / "), Fill(row["box"], vars));
            EXPECT_EQ(Shows(), row["shows"]);
            EXPECT_EQ(View()->toPlainText().toStdString(), Fill(row["text"], vars));
            int count = 0;  // tree items "PARENT: TEXT -> PATH" holding `tree`
            for (const QModelIndex& item : Tree())
                count += (Key(item.parent()) + ": " + item.data().toString().toStdString() + " -> " + Key(item)).find(row["tree"]) != std::string::npos;
            EXPECT_EQ(row["tree"].empty() ? 0 : count, std::atoi(row["count"].c_str()));
        }
    }

    Service service_{Service::kHost};
    BusMonitor monitor_;
    std::unique_ptr<MainWindow> window_;
};

TEST_F(Inspector, ConfigsTab) {
    ASSERT_EQ(symlink("/etc/olm/sarv", "/etc/olm/sarv/policy.d/loop"), 0);  // found by a refresh
    WriteFile("/etc/olm/sarv/policy.d/sub/deeper/x.policy", "{}");
    Run("inspector-configs.tsv");
}

TEST_F(Inspector, PrivacyTab) { Run("inspector-privacy.tsv"); }

TEST_F(Inspector, WithoutTheServiceSaveGoesOnAfterAnErrorAndTheWindowOpens) {
    ClickObject("microphone");
    for (const char* subject : {"/usr/bin/cheese", "others"}) Choice(subject)->setCurrentText("deny");
    ASSERT_EQ(service_.Stop(), 0);
    ASSERT_TRUE(Eventually([] { return Client().Owner() == 0; }));
    Boxes boxes;
    Button("save")->click();
    EXPECT_THAT(boxes.seen, testing::ElementsAre(testing::StartsWith("SetPolicy: org.freedesktop.DBus.Error.ServiceUnknown:"),
                                                 testing::StartsWith("SetMode: org.freedesktop.DBus.Error.ServiceUnknown:")));
    window_ = std::make_unique<MainWindow>();
    EXPECT_EQ(Find<QListView>("listView")->model()->rowCount(), 0);
    ClickTree("New Mode");
}

TEST_F(Inspector, TheInstalledProgramStartsOffscreenAnswersAndEndsOnSigterm) {
    monitor_.Changes(), monitor_.lister.clear();
    WriteFile("/usr/bin/sarv-ac-manager-tools", ReadFile(SARV_INSPECTOR_BIN), 0755);
    Child program({"/usr/bin/sarv-ac-manager-tools"});
    ASSERT_TRUE(Eventually([&] { return monitor_.Changes(), !monitor_.lister.empty(); }));  // its window asked
    EXPECT_GE(sd_bus_call_method(Client().bus(), monitor_.lister.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, ""), 0);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(10), 128 + SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    World world;
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

// The inspector against the service as it runs (sarvd with the manager plug-in) on a
// private bus: the window built in this process (labelled, so the service takes its
// changes) and used as the rows of tests/data/cases/inspector-*.tsv say, and the
// installed program started once.
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
std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : " / ") + part;
    return out;
}

// What the service is sent, as a monitor on the bus sees it.
class BusMonitor {
public:
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
        for (int waits = 0; waits < 100;) {
            sd_bus_message* m = nullptr;
            if (sd_bus_process(bus_, &m) <= 0 && !m) waits += sd_bus_wait(bus_, 100000) <= 0;
            if (!m) continue;
            const char* arg = nullptr;
            sd_bus_message_read_basic(m, 's', &arg);
            const std::string member = S(sd_bus_message_get_member(m)), call = member + " " + S(arg);
            lister = member == "ListEntity" ? S(sd_bus_message_get_sender(m)) : lister;
            sd_bus_message_unref(m);
            if (call == "GetMode inspector-marker") return Join(changes);
            if (member.rfind("Set", 0) == 0 || member.rfind("Delete", 0) == 0) changes.push_back(call);
        }
        ADD_FAILURE() << "the bus monitor missed its marker";
        return Join(changes);
    }
    std::string lister;  // the connection that last asked for ListEntity

private:
    sd_bus* bus_ = nullptr;
};

// Closes each warning box as it comes up (a box runs an event loop of its own, in which
// the timer still fires) and keeps "TITLE: TEXT".
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
    const QVariant path = item.data(kTreePathRole);
    return (path.isValid() ? path : item.data()).toString().toStdString();
}

class Inspector : public ::testing::Test {
protected:
    void SetUp() override {
        trees::Clear();
        trees::Seed("inspector");
        ASSERT_TRUE(service_.Start());
        window_ = std::make_unique<MainWindow>();
        window_->show();
    }
    template <typename T>
    T* Find(const std::string& name) const { return window_->findChild<T*>(Q(name)); }
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
        auto* list = Find<QListWidget>("listWidget");
        for (int i = 0; i < list->count(); ++i)
            rows.push_back(qobject_cast<SubjectItemWidget*>(list->itemWidget(list->item(i))));
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
               (rows.empty() ? "" : " | " + Join(rows));
    }
    void Run(const std::string& table) {  // tests/data/cases/TABLE explains its columns
        for (const Row& row : Table(table)) {
            SCOPED_TRACE(row.where);
            Boxes boxes;
            if (!row["click"].empty()) ClickTree(row["click"]);
            if (!row["object"].empty()) ClickObject(row["object"]);
            const std::map<std::string, std::string> vars{{"shown", View()->toPlainText().toStdString()},
                                                          {"typed", row["type"]}};
            if (!row["type"].empty()) View()->setPlainText(Q(row["type"]));
            for (const std::string& change : Split(row["set"], ' '))
                Choice(change.substr(0, change.find('=')))->setCurrentText(Q(change.substr(change.find('=') + 1)));
            if (!row["press"].empty()) Button(row["press"])->click();
            EXPECT_EQ(monitor_.Changes(), Fill(row["calls"], vars));
            EXPECT_EQ(Join(boxes.seen), Fill(row["box"], vars));
            EXPECT_EQ(Shows(), row["shows"]);
            EXPECT_EQ(View()->toPlainText().toStdString(), Fill(row["text"], vars));
            int count = 0;  // tree items "PARENT: TEXT -> PATH" holding `tree`
            for (const QModelIndex& item : Tree()) {
                const std::string text = item.data().toString().toStdString();
                count += (Key(item.parent()) + ": " + text + " -> " + Key(item)).find(row["tree"]) != std::string::npos;
            }
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
    Choice("/usr/bin/cheese")->setCurrentText("deny");
    Choice("others")->setCurrentText("deny");
    ASSERT_EQ(service_.Stop(), 0);
    ASSERT_TRUE(Eventually([] { return Client().Owner() == 0; }));
    Boxes boxes;
    Button("save")->click();
    using testing::StartsWith;
    EXPECT_THAT(boxes.seen, testing::ElementsAre(StartsWith("SetPolicy: org.freedesktop.DBus.Error.ServiceUnknown:"),
                                                 StartsWith("SetMode: org.freedesktop.DBus.Error.ServiceUnknown:")));
    window_ = std::make_unique<MainWindow>();
    EXPECT_EQ(Find<QListView>("listView")->model()->rowCount(), 0);
    ClickTree("New Mode");
}

TEST_F(Inspector, TheInstalledProgramStartsOffscreenAnswersAndEndsOnSigterm) {
    monitor_.Changes(), monitor_.lister.clear();
    WriteFile("/usr/bin/sarv-ac-manager-tools", ReadFile(SARV_INSPECTOR_BIN), 0755);
    Child program({"/usr/bin/sarv-ac-manager-tools"});
    ASSERT_TRUE(Eventually([&] { return monitor_.Changes(), !monitor_.lister.empty(); }));  // its window asked
    EXPECT_GE(sd_bus_call_method(Client().bus(), monitor_.lister.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping",
                                 nullptr, nullptr, ""), 0);
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

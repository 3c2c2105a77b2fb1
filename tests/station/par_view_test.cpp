// The parameter view offscreen over its document: off line with blocks stored in an SQLite
// database (newest shown, another chosen by date, fields that follow the form's rules, the
// printout read back from its PDF), and connected to vm418-sim, where an edited field is
// written to the unit, read back and shown, and "Default" restores the unit's block.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QPdfWriter>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdlib>

#include "par_view.h"
#include "pdf_pages.h"
#include "qt_wait.h"
#include "simulator_process.h"
#include "station_db.h"
#include "station_dialogs.h"
#include "station_print.h"
#include "vm418_doc.h"

using namespace station;
using namespace vm418;

void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

// The window program's part for one document with one parameter view: hints go to the view,
// posted commands come back to the document through the event loop.
class ViewUi : public StationUi {
  public:
    void MessageBox(const QString& text) override { messages << text; }
    void SetStatusText(const QString&) override {}
    void PostCommand(int id) override {
        posted.push_back(id);
        if (runPostedAtOnce) return (void)doc->OnCommand(id);
        QTimer::singleShot(0, doc, [this, id] { doc->OnCommand(id); });
    }
    void UpdateAllViews(int hint, int key, const QByteArray&) override {
        if (hint == HINT_PARAMETERS) ++parameterHints;
        if (view) view->OnUpdate(hint, key);
    }
    void ChooseSystem(const QString&,
                      std::function<void(std::optional<CSystemRset>)> chosen) override {
        chosen(row);
    }

    CVM418Doc* doc = nullptr;
    CParView* view = nullptr;
    CSystemRset row;
    QStringList messages;
    std::vector<int> posted;
    int parameterHints = 0;
    bool runPostedAtOnce = false;
};

PARA_418 StoredBlock(int contrast) {
    PARA_418 p = initialParameters();
    std::memcpy(p.SoftwareVersion, "41S", 4);  // with its NUL
    std::memcpy(p.Password, "1418", 4);
    p.SerialNumber = 4711;
    p.AlarmTimeout = 10;
    p.VehicleParameter = 20;
    p.NumberParameter = 20;
    p.AnalogScale = 20000;
    p.LowAlarmL1AB = 30;
    p.LowAlarmL2 = 10;
    p.HighAlarmH3 = 4;
    p.NumberOfDetectors = 5;
    p.PrintAlarms = 2;
    p.Contrast = static_cast<int16_t>(contrast);
    p.SpeedLimit = 5;
    p.SegmentParam = 3;
    p.TLCOutput = 1;
    return p;
}

class ParView : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        db = "DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db;JournalMode=WAL";
        ASSERT_EQ(createSchema(db), kDbOk);
        ui.row.SysID = 3;
        ui.row.Serial = "S-3";
        ui.row.SystemDescription = "Gate 3";
        ui.row.Modem = "555";
        ui.row.Password = "pw";
        ui.row.COMportSettings = "COM7 9600 0 0 8 3";
        ASSERT_EQ(saveSystem(db, ui.row), 0);
        doc = std::make_unique<CVM418Doc>(ui, dir.path() + "/");
        doc->records.connectionText = db;
        ui.doc = doc.get();
        view = std::make_unique<CParView>(*doc, [this](int id) { ui.PostCommand(id); });
        ui.view = view.get();
    }
    void TearDown() override {
        ui.view = nullptr;
        view.reset();
        doc.reset();
        sim.reset();
        unsetenv("VM418_COM7");
    }
    void Store(const PARA_418& p, const QDateTime& at) {
        DbConnection conn(db);
        ASSERT_TRUE(conn.open());
        QSqlQuery q(conn.db());
        q.prepare("INSERT INTO Parameters (SysID, DateTime, ParamBuf) VALUES (?, ?, ?)");
        q.addBindValue(3);
        q.addBindValue(at);
        q.addBindValue(QByteArray(reinterpret_cast<const char*>(&p), kParaSize));
        ASSERT_TRUE(q.exec());
    }
    double Number(int id) { return view->Field(id)->Number(); }

    QTemporaryDir dir;
    QString db;
    ViewUi ui;
    std::unique_ptr<CVM418Doc> doc;
    std::unique_ptr<CParView> view;
    std::unique_ptr<SimulatorProcess> sim;
};

}  // namespace

TEST_F(ParView, OffLineShowsStoredBlocksFollowsTheFormRulesAndPrintsOnePage) {
    Store(StoredBlock(40), QDateTime(QDate(2026, 3, 1), QTime(10, 0, 0)));
    Store(StoredBlock(77), QDateTime(QDate(2026, 3, 5), QTime(9, 30, 0)));
    Store(StoredBlock(45), QDateTime(QDate(2026, 3, 1), QTime(10, 0, 0)));  // the same second
    doc->SelectSystem();
    view->OnInitialUpdate();
    EXPECT_EQ(view->windowTitle(), "Gate 3,  Serial# S-3  - PARAMETERS [Off Line]");
    for (QPushButton* b : {view->ReadButton(), view->WriteButton(), view->DefaultButton()})
        EXPECT_FALSE(b->isEnabled()) << b->text().toStdString();
    EXPECT_TRUE(view->WaitLamp());
    // The newest stored block.
    EXPECT_EQ(Number(IDC_CONTRAST), 77);
    EXPECT_EQ(view->Text(IDC_SERIAL)->text(), "4711");
    EXPECT_EQ(view->Text(IDC_SOFTWARE_VERSION)->text(), "2.41S");
    EXPECT_EQ(view->List(IDC_ANALOG_SCALE)->currentText(), "20000");
    EXPECT_EQ(view->List(IDC_PRINT_ALARMS)->currentText(), "YES-EXT");

    // The fields follow what the user enters in the steering controls.
    EXPECT_FALSE(view->Field(IDC_L1_CD)->isEnabled());
    view->Field(IDC_DETECTORS)->setValue(13);
    EXPECT_TRUE(view->Field(IDC_L1_CD)->isEnabled());
    EXPECT_EQ(view->Label(IDC_L1_CD), "Low Alarm  L1 CD");
    EXPECT_EQ(view->Label(IDC_L1_EF), "Low Alarm  L1 EF");
    EXPECT_EQ(view->Label(IDC_VEHICLE_OR_TIMEOUT), "Alarm Timeout");
    EXPECT_EQ(Number(IDC_VEHICLE_OR_TIMEOUT), 10);
    view->Field(IDC_OPT_SENS)->setValue(1);
    EXPECT_EQ(view->Label(IDC_VEHICLE_OR_TIMEOUT), "Vehicle Parameter");
    EXPECT_EQ(Number(IDC_VEHICLE_OR_TIMEOUT), 20);
    EXPECT_EQ(view->Field(IDC_VEHICLE_OR_TIMEOUT)->minimum(), 8);
    EXPECT_EQ(view->Field(IDC_VEHICLE_OR_TIMEOUT)->maximum(), 53);
    EXPECT_EQ(view->Field(IDC_SPEED_LIMIT)->maximum(), 10);
    view->List(IDC_SPEED_IN)->setCurrentText("Mph");
    EXPECT_EQ(view->Field(IDC_SPEED_LIMIT)->maximum(), 6);
    EXPECT_EQ(doc->records.parameters.SpeedInMph, 1);

    // Another stored block, chosen by its row: of two stored in the same second, the one
    // stored first (listed below the other).
    QTimer::singleShot(0, [] {
        waitUntil([] { return QApplication::activeModalWidget() != nullptr; });
        auto* pick = dynamic_cast<CDatePickDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(pick, nullptr);
        ASSERT_EQ(pick->list->count(), 3);
        EXPECT_EQ(pick->list->item(1)->text(), "03-01-26 10:00:00");
        EXPECT_EQ(pick->list->item(2)->text(), "03-01-26 10:00:00");
        pick->list->setCurrentRow(2);
        auto* buttons = pick->findChild<QDialogButtonBox*>();
        for (QAbstractButton* b : buttons->buttons())
            if (buttons->buttonRole(b) == QDialogButtonBox::AcceptRole) b->click();
    });
    view->OnChangePeriod();
    EXPECT_EQ(Number(IDC_CONTRAST), 40);
    EXPECT_EQ(Number(IDC_DETECTORS), 5);
    // OK with no line selected loads nothing, even with a current line (the one the focus
    // rests on, not chosen).
    QTimer::singleShot(0, [] {
        waitUntil([] { return QApplication::activeModalWidget() != nullptr; });
        auto* pick = dynamic_cast<CDatePickDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(pick, nullptr);
        pick->list->setCurrentRow(0, QItemSelectionModel::NoUpdate);
        auto* buttons = pick->findChild<QDialogButtonBox*>();
        for (QAbstractButton* b : buttons->buttons())
            if (buttons->buttonRole(b) == QDialogButtonBox::AcceptRole) b->click();
    });
    view->OnChangePeriod();
    EXPECT_EQ(Number(IDC_CONTRAST), 40);
    // A stored value outside its field's range is shown and kept as it is, never clamped.
    doc->records.parameters.AlarmTimeout = 25;
    view->FillControls();
    EXPECT_EQ(Number(IDC_VEHICLE_OR_TIMEOUT), 25);
    view->TakeControls();
    EXPECT_EQ(doc->records.parameters.AlarmTimeout, 25);

    // The printout: one page, the header, every label and the values the form shows.
    view->Field(IDC_CONTRAST)->setValue(45);  // taken into the block before printing
    const QString pdf = dir.path() + "/params.pdf";
    {
        auto writer = NewA4Pdf(pdf, doc->title);
        EXPECT_EQ(view->Print(*writer, QDateTime(QDate(2026, 3, 5), QTime(10, 20, 30))), 1);
    }
    const QStringList pages = PdfPages(pdf);
    ASSERT_EQ(pages.size(), 1);
    const QString& page = pages[0];
    // (pdftotext makes one blank of two)
    EXPECT_TRUE(page.simplified().contains("Gate 3, Serial# S-3 - PARAMETERS"))
        << page.toStdString();
    EXPECT_TRUE(page.simplified().contains("Printed 10:20:30, Mar 05,2026 page 1"))
        << page.toStdString();
    const QStringList lines = page.split('\n');
    auto row = [&lines](const QString& label) {
        for (const QString& l : lines)
            if (l.trimmed().startsWith(label)) return l.simplified();
        return QString();
    };
    EXPECT_EQ(row("Parameter"), "Parameter Value");
    EXPECT_EQ(row("Serial Number"), "Serial Number 4711");
    EXPECT_EQ(row("Software version"), "Software version 2.41S");
    EXPECT_EQ(row("Contrast"), "Contrast 45");
    EXPECT_EQ(row("PrintAlarms"), "PrintAlarms YES-EXT");
    EXPECT_EQ(row("TLC Output"), "TLC Output SP1");
    EXPECT_EQ(row("Analog Scale"), "Analog Scale 20000");
    EXPECT_EQ(row("Vehicle parameter"), "Vehicle parameter 25");  // the alarm timeout
    EXPECT_EQ(row("High Alarm H3"), "High Alarm H3 4");
}

// Connected to the unit: the buttons come on; an edited field is written, the unit takes it,
// the block is read back (hint 101) and shown; "Default" brings the unit's own block back; a
// block that fails its checks is not sent.
TEST_F(ParView, WriteReachesTheUnitAndTheReadBackBlockIsShown) {
    view->OnInitialUpdate();
    EXPECT_FALSE(view->WriteButton()->isEnabled());
    sim = std::make_unique<SimulatorProcess>();
    ASSERT_TRUE(sim->Start(VM418_SIM_PATH, {"--password", "pw"}));
    setenv("VM418_COM7", sim->path().c_str(), 1);
    doc->SelectSystem();
    QTimer poll;
    poll.callOnTimeout(doc.get(), [this] { doc->PollIfReady(); });
    poll.start(50);
    doc->OnCommand(ID_CALL);
    ASSERT_TRUE(waitUntil([&] { return doc->linkState == LINK_MONITORING; }, 20000))
        << ui.messages.join("\n").toStdString();
    EXPECT_EQ(view->windowTitle(), "Gate 3,  Serial# S-3  - PARAMETERS [Connected]");
    for (QPushButton* b : {view->ReadButton(), view->WriteButton(), view->DefaultButton()})
        EXPECT_TRUE(b->isEnabled()) << b->text().toStdString();
    EXPECT_FALSE(view->WaitLamp());
    ASSERT_EQ(ui.parameterHints, 1);
    EXPECT_EQ(Number(IDC_CONTRAST), 50);  // the unit's block, as downloaded on connecting
    EXPECT_EQ(view->Text(IDC_SERIAL)->text(), "418");

    view->Field(IDC_CONTRAST)->setValue(63);
    view->Field(IDC_VEHICLE_OR_TIMEOUT)->setValue(33);
    view->WriteButton()->click();
    EXPECT_FALSE(view->WriteButton()->isEnabled());
    EXPECT_TRUE(view->WaitLamp());
    ASSERT_TRUE(waitUntil([&] { return ui.parameterHints == 2 && !view->WaitLamp(); }, 20000))
        << ui.messages.join("\n").toStdString();
    EXPECT_TRUE(ui.messages.isEmpty()) << ui.messages.join("\n").toStdString();
    EXPECT_EQ(doc->records.parameters.Contrast, 63);  // read back from the unit
    EXPECT_EQ(doc->records.parameters.VehicleParameter, 33);
    EXPECT_EQ(Number(IDC_CONTRAST), 63);
    EXPECT_EQ(Number(IDC_VEHICLE_OR_TIMEOUT), 33);
    EXPECT_TRUE(view->WriteButton()->isEnabled());
    EXPECT_TRUE(view->StopMoniLamp());

    view->DefaultButton()->click();
    ASSERT_TRUE(waitUntil([&] { return ui.parameterHints == 3 && !view->WaitLamp(); }, 20000));
    EXPECT_EQ(Number(IDC_CONTRAST), 50);
    EXPECT_EQ(Number(IDC_VEHICLE_OR_TIMEOUT), 20);

    // A block the unit would refuse is not sent, and the buttons do not wait for an answer.
    view->Field(IDC_PASSWORD)->setValue(9999);
    view->WriteButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !ui.messages.isEmpty(); }, 20000));
    EXPECT_EQ(ui.messages, QStringList{"Parameters validation failed"});
    EXPECT_TRUE(view->WriteButton()->isEnabled());
    EXPECT_FALSE(view->WaitLamp());
    EXPECT_EQ(ui.parameterHints, 3);

    // A read refused while another file comes in, and an answer that times out: the buttons
    // come back with the document's update instead of waiting until the view is activated.
    int history = 0;
    doc->Download(DOWNLOAD_HISTORY, 0, [&](int r) { history = r; });
    // Taken at once: through the event loop, the fast line may have ended the file first.
    ui.runPostedAtOnce = true;
    view->ReadButton()->click();
    ui.runPostedAtOnce = false;
    EXPECT_EQ(ui.posted.back(), ID_DOWNLOAD_PARAMETERS);
    EXPECT_FALSE(view->WaitLamp());  // refused, and the buttons are back
    ASSERT_TRUE(waitUntil([&] { return history != 0; }, 20000));
    EXPECT_EQ(history, IDOK);
    EXPECT_EQ(ui.parameterHints, 3);
    view->DefaultButton()->click();
    ProtocolEvent timeout;
    timeout.command = 0xC010;  // load the defaults
    timeout.status = XLNK_ERR_TIMEOUT;
    timeout.data.resize(1);
    doc->OnProtocolEvent(timeout);
    EXPECT_FALSE(view->WaitLamp());
    EXPECT_TRUE(view->ErrorLamp());
    ASSERT_TRUE(waitUntil([&] { return ui.parameterHints == 4; }, 20000));  // the unit answers late

    doc->OnCommand(ID_HANG_UP);
    EXPECT_FALSE(view->ReadButton()->isEnabled());
    EXPECT_EQ(view->windowTitle(), "Gate 3,  Serial# S-3  - PARAMETERS [Off Line]");
}

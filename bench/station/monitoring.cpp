// Monitoring answers per second through the station document against vm418-sim paced at
// 9600 bit/s, against the ideal set by the wire time of one poll and its answer plus the
// wait for the monitoring view's 50 ms poll timer, which runs on its own: an answer waits
// for its next tick half a period on average.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "console_ui.h"
#include "simulator_process.h"
#include "station_db.h"
#include "vm418_doc.h"

using namespace station;

namespace {

constexpr int kBaud = 9600;
constexpr double kBitsPerByte = 10.0;
constexpr int kPollTimerMs = 50;
constexpr size_t kPollBytes = 6;         // 0xC0A1 without data
constexpr size_t kAnswerBytes = 6 + 84;  // 0x40A1 with its record
constexpr int kMeasureMs = 15000;

class CountingUi : public StationUi {
  public:
    void MessageBox(const QString& text) override {
        std::printf("message: %s\n", qPrintable(text));
    }
    void SetStatusText(const QString&) override {}
    void PostCommand(int id) override {
        QTimer::singleShot(0, doc, [this, id] { doc->OnCommand(id); });
    }
    void UpdateAllViews(int hint, int, const QByteArray&) override {
        if (hint == HINT_MONITORING) ++answers;
    }
    void ChooseSystem(const QString&,
                      std::function<void(std::optional<vm418::CSystemRset>)> chosen) override {
        vm418::CSystemRset row;
        row.SysID = 1;
        row.SystemDescription = "Bench";
        row.Modem = "555";
        row.Password = "pw";
        row.COMportSettings = "COM1 9600 0 0 8 3";
        chosen(row);
    }
    CVM418Doc* doc = nullptr;
    int answers = 0;
};

int Cannot(const QString& why) {
    std::printf("monitoring not measured: %s\n", qPrintable(why));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) return Cannot("no temporary folder: " + dir.errorString());
    const QString db = "DRIVER=SQLite3;Database=" + dir.path() + "/bench.db;JournalMode=WAL";
    if (vm418::createSchema(db) != vm418::kDbOk)
        return Cannot("the database cannot be created in " + dir.path());
    SimulatorProcess sim;
    if (!sim.Start(VM418_SIM_PATH, {"--baud", std::to_string(kBaud), "--password", "pw"}))
        return Cannot(QString("the simulator %1 did not start").arg(VM418_SIM_PATH));
    CountingUi ui;
    CVM418Doc doc(ui, dir.path() + "/");
    ui.doc = &doc;
    doc.records.connectionText = db;
    doc.SelectSystem();
    doc.serial.port = sim.path();
    QTimer poll;
    poll.callOnTimeout(&doc, [&] { doc.PollIfReady(); });
    poll.start(kPollTimerMs);
    doc.OnCommand(ID_CALL);
    if (!cli::RunEventsUntil([&] { return doc.linkState == LINK_MONITORING && ui.answers > 0; },
                             120000))
        return Cannot(QString("monitoring did not start within 120 s (link state %1, last event "
                              "\"%2\")")
                          .arg(doc.linkState)
                          .arg(doc.eventText.trimmed()));
    const int before = ui.answers;
    QElapsedTimer t;
    t.start();
    cli::RunEventsUntil([] { return false; }, kMeasureMs);
    const double seconds = t.elapsed() / 1000.0;
    const double rate = (ui.answers - before) / seconds;
    const double wire = (kPollBytes + kAnswerBytes) * kBitsPerByte / kBaud;
    const double ideal = 1.0 / (wire + kPollTimerMs / 2000.0);
    std::printf(
        "monitoring at %d bit/s: %.2f answers/s over %.1f s; ideal %.2f/s (wire %.0f ms + "
        "half the poll timer's %d ms); ratio %.2f\n",
        kBaud, rate, seconds, ideal, wire * 1000, kPollTimerMs, rate / ideal);
    doc.HangUp();
    return 0;
}

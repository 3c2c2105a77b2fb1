// The monitoring view's latency: from the moment the read thread has the last byte of a
// monitoring answer from vm418-sim (paced at 9600 bit/s) to the view's value painted,
// through the document and the window, under the offscreen platform.
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>

#include "console_ui.h"
#include "main_frame.h"
#include "monitoring_view.h"
#include "simulator_process.h"
#include "station_db.h"
#include "station_dialogs.h"
#include "systems.h"
#include "vm418_doc.h"

using namespace station;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSamples = 300;

int Cannot(const QString& why) {
    std::printf("monitoring latency not measured: %s\n", qPrintable(why));
    return 1;
}

// Stamps each monitoring answer as the read thread completes it, then hands it to the
// document's own sink, which posts it marked with the document's connection.
class StampingSink : public ProtocolEventSink {
  public:
    explicit StampingSink(ProtocolEventSink* inner) : inner_(inner) {}
    void OnProtocolEvent(std::unique_ptr<ProtocolEvent> e) override {
        if (e->status == 0 && e->command == 0x40A1) {
            std::lock_guard lock(m);
            stamps.push_back(Clock::now());
            ++answers;
        }
        inner_->OnProtocolEvent(std::move(e));
    }
    std::mutex m;
    std::deque<Clock::time_point> stamps;
    int answers = 0;

  private:
    ProtocolEventSink* inner_;
};

// Takes the latency of each painted value.
class PaintWatch : public QObject {
  public:
    PaintWatch(StampingSink& sink, QLabel* label) : sink_(sink), label_(label) {}
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        if (e->type() != QEvent::Paint || label_->text() == painted_) return false;
        painted_ = label_->text();
        std::lock_guard lock(sink_.m);
        if (!sink_.stamps.empty()) {
            us.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - sink_.stamps.back())
                    .count());
            sink_.stamps.clear();
        }
        return false;
    }
    std::vector<double> us;
    int paints = 0;

  private:
    StampingSink& sink_;
    QLabel* label_;
    QString painted_;
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) return Cannot("no temporary folder: " + dir.errorString());
    const QString db = "DRIVER=SQLite3;Database=" + dir.path() + "/bench.db;JournalMode=WAL";
    if (vm418::createSchema(db) != vm418::kDbOk)
        return Cannot("the database cannot be created in " + dir.path());
    vm418::CSystemRset row;
    row.SysID = 1;
    row.SystemDescription = "Bench";
    row.Modem = "555";
    row.Password = "pw";
    row.COMportSettings = "COM1 9600 0 0 8 3";
    if (vm418::saveSystem(db, row) != 0) return Cannot("the system cannot be stored");
    SimulatorProcess sim;
    if (!sim.Start(VM418_SIM_PATH, {"--baud", "9600", "--password", "pw"}))
        return Cannot("the simulator did not start");
    setenv("VM418_COM1", sim.path().c_str(), 1);

    CMainFrame frame(db, dir.path() + "/");
    QTimer chooser;
    chooser.callOnTimeout([] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = dynamic_cast<CSystemsDlg*>(w); d && d->isVisible()) d->Select();
    });
    chooser.start(20);
    frame.show();
    frame.NewDocument();
    if (!cli::RunEventsUntil([&] { return frame.Document()->systemId == 1; }, 5000))
        return Cannot("the systems dialog did not choose the system");
    chooser.stop();
    frame.Document()->OnCommand(ID_CALL);
    if (!cli::RunEventsUntil([&] { return frame.Document()->linkState == LINK_MONITORING; },
                             120000)) {
        return Cannot("monitoring did not start");
    }
    ProtocolEventSink* documentSink = frame.Document()->protocol.Window();
    StampingSink sink(documentSink);
    frame.Document()->protocol.SetWindow(&sink);
    auto* label = frame.MonitoringView()->findChild<QLabel*>("value");
    if (!label) return Cannot("the monitoring view has no value label");
    // The on-connect downloads opened the parameter, history and alarm views over the
    // monitoring view, and a widget that is covered is not painted: the operator who watches
    // the values brings its window to the front, and so does this benchmark.
    auto* monitoringWindow = qobject_cast<QMdiSubWindow*>(frame.MonitoringView()->parentWidget());
    if (!monitoringWindow || !monitoringWindow->mdiArea())
        return Cannot("the monitoring view is not in a window of the main frame");
    monitoringWindow->mdiArea()->setActiveSubWindow(monitoringWindow);
    if (!cli::RunEventsUntil([&] { return !label->visibleRegion().isEmpty(); }, 5000))
        return Cannot("the monitoring view's value stays covered by other windows");
    PaintWatch watch(sink, label);
    label->installEventFilter(&watch);
    cli::RunEventsUntil([&] { return watch.us.size() >= kSamples; }, 120000);
    frame.Document()->protocol.SetWindow(documentSink);
    auto& us = watch.us;
    std::sort(us.begin(), us.end());
    if (us.empty())
        return Cannot(QString("no painted value in 120 s (%1 monitoring answers came; the "
                              "value reads \"%2\", %3 paints, the label is %4%5)")
                          .arg(sink.answers)
                          .arg(label->text())
                          .arg(watch.paints)
                          .arg(label->isVisible() ? "shown" : "hidden")
                          .arg(label->visibleRegion().isEmpty() ? ", covered" : ""));
    std::printf(
        "monitoring answer to painted value over %zu answers at 9600 bit/s: median %.1f ms, "
        "p99 %.1f ms, max %.1f ms\n",
        us.size(), us[us.size() / 2] / 1000, us[us.size() * 99 / 100] / 1000, us.back() / 1000);
    frame.Document()->HangUp();
    return 0;
}

// vm418ctl autocall over 8 simulated units on 4 ports, each line paced at 9600 bit/s in both
// directions: the total time against the wire time of the busiest port, and where the rest
// went. The wire time counts every byte the protocol puts on the line, the unit's and the
// station's (each exchange waits for the other side's bytes: a block is acknowledged before
// the next one comes). The breakdown comes from the simulators' timelines: each silence on
// the line is put down to what ended it.
//
// Usage: bench_station_autocall [RUNS]   (default 1; with more, the spread of the ratio)
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <vector>

#include "simulator_process.h"

namespace {

constexpr int kBaud = 9600;
constexpr double kBitsPerByte = 10.0;
constexpr int kPorts = 4;
constexpr int kUnitsPerPort = 2;

struct Wire {
    qint64 unit = 0;     // the unit's and its modem's bytes
    qint64 station = 0;  // the station's
    Wire& operator+=(const Wire& o) {
        unit += o.unit;
        station += o.station;
        return *this;
    }
    double Seconds() const { return (unit + station) * kBitsPerByte / kBaud; }
};

// One download of a file of `size` bytes in 1024-byte blocks: the station's request (6 + 4)
// is accepted (6) and the file announced (6 + 4) and taken (6); each block (6 + 1034) is
// acknowledged (6), also the short last one; the end (6) is answered (6).
Wire Download(qint64 size) {
    const qint64 blocks = size / 1024 + 1;
    return {blocks * (6 + 1034) + 6 + 10 + 6, 10 + 6 + blocks * 6 + 6};
}

// The modem's dialogue: "AT" and the dial line, each echoed and answered, and the empty
// password line; monitoring started, polled once and stopped.
constexpr Wire kDialling{3 + 6 + 7 + 20, 3 + 7 + 2};
constexpr Wire kMonitoring{6 + 90 + 6, 6 + 6 + 6};

int Cannot(const QString& why) {
    std::printf("autocall not measured: %s\n", qPrintable(why));
    return 1;
}

struct Run {
    QString output;
    int exitCode = -1;
    QString error;
};

Run Ctl(const QString& home, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home + "/config");
    for (const char* name : {"ODBCINI", "ODBCSYSINI", "VM418_DB"})
        env.remove(name);
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(home);
    p.start(VM418CTL_PATH, args);
    Run r;
    if (!p.waitForStarted(-1) || !p.waitForFinished(-1)) {
        r.error = "vm418ctl " + args.join(' ') + " did not run: " + p.errorString();
        return r;
    }
    r.output = QString::fromUtf8(p.readAllStandardOutput());
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    if (r.exitCode != 0)
        r.error =
            QString("vm418ctl %1 ended with %2: %3")
                .arg(args.join(' '))
                .arg(p.exitStatus() == QProcess::NormalExit ? QString("exit %1").arg(r.exitCode)
                                                            : QString("a crash"))
                .arg(QString::fromUtf8(p.readAllStandardError()).trimmed());
    return r;
}

// ---- the timeline of one port ----

struct Item {
    QString kind;  // in (the station's), out (the unit's), up, down
    qint64 startUs = 0, endUs = 0;
    QString text;
};

// Where the time of a port went, in the order printed.
const char* const kCategories[] = {
    "start: vm418ctl, its database, the simulators",
    "the unit's and modem's bytes",
    "the station's bytes",
    "the unit's and modem's answer times",
    "the station dialling",
    "the pause after connecting (the unit takes the password line)",
    "between downloads (store, pause)",
    "the station's answers within a download",
    "before monitoring starts",
    "monitoring polls and stop",
    "other requests",
    "end of a call until its hang-up",
    "between calls (records, the line kept down for the modem)",
    "after the last hang-up until vm418ctl ended",
};
using Breakdown = std::map<QString, double>;

// The silence before the station's item `next`, put down to what it is.
QString StationCategory(const Item& next, const Item* previousIn) {
    if (next.text.startsWith("modem line")) return "the station dialling";
    if (next.text.startsWith("password line")) return "the station dialling";
    if (next.text.startsWith("0xC004"))
        return previousIn && (previousIn->text.startsWith("modem line") ||
                              previousIn->text.startsWith("password line"))
                   ? "the pause after connecting (the unit takes the password line)"
                   : "between downloads (store, pause)";
    if (next.text == "0x400A" || next.text == "0x400B" || next.text == "0x400C")
        return "the station's answers within a download";
    if (next.text == "0xC0A0") return "before monitoring starts";
    if (next.text == "0xC0A1" || next.text == "0xC0B0") return "monitoring polls and stop";
    return "other requests";
}

Breakdown Analyse(std::vector<Item> items, qint64 t0Us, qint64 t1Us, Wire* measured) {
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return a.startUs < b.startUs; });
    Breakdown b;
    qint64 cursor = t0Us;
    bool started = false;
    const Item* previousIn = nullptr;
    for (const Item& item : items) {
        const double gapS = std::max<qint64>(0, item.startUs - cursor) / 1e6;
        if (item.kind == "up") {
            b[started ? "between calls (records, the line kept down for the modem)"
                      : "start: vm418ctl, its database, the simulators"] += gapS;
            started = true;
        } else if (item.kind == "down") {
            b["end of a call until its hang-up"] += gapS;
        } else if (item.kind == "in") {
            b[StationCategory(item, previousIn)] += gapS;
            previousIn = &item;
        } else {
            b["the unit's and modem's answer times"] += gapS;
        }
        cursor = std::max(cursor, item.startUs);
        const double busyS = std::max<qint64>(0, item.endUs - cursor) / 1e6;
        if (item.kind == "in") b["the station's bytes"] += busyS;
        if (item.kind == "out") b["the unit's and modem's bytes"] += busyS;
        cursor = std::max(cursor, item.endUs);
        if (item.kind == "in") measured->station += item.endUs - item.startUs;
        if (item.kind == "out") measured->unit += item.endUs - item.startUs;
    }
    b["after the last hang-up until vm418ctl ended"] += std::max<qint64>(0, t1Us - cursor) / 1e6;
    return b;
}

// One autocall round over fresh systems: its ratio, or nothing (said why).
std::optional<double> MeasureOnce(int run) {
    QTemporaryDir home;
    if (!home.isValid()) {
        Cannot("no temporary folder: " + home.errorString());
        return std::nullopt;
    }
    // The unit's files, for the wire estimate.
    QDir(home.path()).mkpath("unit");
    {
        station::SimulatorProcess sim;
        if (!sim.Start(VM418_SIM_PATH, {"--dump-dir", (home.path() + "/unit").toStdString()})) {
            Cannot(QString("the simulator %1 did not start").arg(VM418_SIM_PATH));
            return std::nullopt;
        }
        QElapsedTimer t;
        t.start();
        while (!QFileInfo::exists(home.path() + "/unit/ANXT") && t.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const auto size = [&](const char* code) -> qint64 {
        const QFileInfo f(home.path() + "/unit/" + code);
        return f.exists() ? f.size() : -1;
    };
    for (const char* code : {"PARA", "HIST", "ACRR", "ALAR"})
        if (size(code) < 0) {
            Cannot(QString("the simulator wrote no file %1 into %2/unit").arg(code, home.path()));
            return std::nullopt;
        }
    // The on-connect sequence (parameters, history, last alarm, monitoring started and
    // polled), then all files, monitoring stopped first.
    Wire perUnit = kDialling;
    for (const char* code : {"PARA", "HIST", "ACRR", "PARA", "HIST", "ALAR"})
        perUnit += Download(size(code));
    perUnit += kMonitoring;
    Wire busiest;
    for (int i = 0; i < kUnitsPerPort; ++i)
        busiest += perUnit;

    for (const Run& r : {Ctl(home.path(), {"db", "init", "--sqlite", home.path() + "/vm418.db"})})
        if (r.exitCode != 0) {
            Cannot(r.error);
            return std::nullopt;
        }
    for (int unit = 1; unit <= kPorts * kUnitsPerPort; ++unit) {
        const int port = (unit - 1) / kUnitsPerPort + 1;
        const Run r =
            Ctl(home.path(), {"systems", "add", "--system", QString::number(unit), "--name",
                              QString("Gate %1").arg(unit), "--modem", "555", "--port-settings",
                              QString("COM%1 9600 0 0 8 3").arg(port), "--autocall-period", "60"});
        if (r.exitCode != 0) {
            Cannot(r.error);
            return std::nullopt;
        }
    }
    const QString timeline = home.path() + "/timeline";
    QElapsedTimer t;
    const qint64 t0Us = QDateTime::currentMSecsSinceEpoch() * 1000;
    t.start();
    const Run r = Ctl(home.path(),
                      {"autocall", "--once", "--simulate", "--sim-arg", "--baud", "--sim-arg",
                       QString::number(kBaud), "--sim-arg", "--timeline", "--sim-arg", timeline});
    const double totalS = t.elapsed() / 1000.0;
    const qint64 t1Us = QDateTime::currentMSecsSinceEpoch() * 1000;
    if (run == 1) std::printf("%s", qPrintable(r.output));
    if (r.exitCode != 0) {
        Cannot(r.error.isEmpty() ? QString("autocall failed") : r.error);
        return std::nullopt;
    }
    const double ratio = totalS / busiest.Seconds();
    std::printf(
        "run %d: autocall of %d units on %d ports at %d bit/s: %.1f s; busiest port's wire time "
        "%.1f s (per unit %lld bytes of the unit and %lld of the station, both directions); "
        "ratio %.3f\n",
        run, kPorts * kUnitsPerPort, kPorts, kBaud, totalS, busiest.Seconds(),
        static_cast<long long>(perUnit.unit), static_cast<long long>(perUnit.station), ratio);

    // Where the time went, port by port.
    QFile f(timeline);
    if (!f.open(QIODevice::ReadOnly)) {
        std::printf("  no breakdown: the simulators left no timeline (%s)\n",
                    qPrintable(f.errorString()));
        return ratio;
    }
    std::map<qint64, std::vector<Item>> ports;
    while (!f.atEnd()) {
        const QStringList w = QString::fromUtf8(f.readLine()).trimmed().split(' ');
        if (w.size() < 4) continue;
        ports[w[0].toLongLong()].push_back(
            {w[1], w[2].toLongLong(), w[3].toLongLong(), w.mid(4).join(' ')});
    }
    if (ports.size() != kPorts) {
        std::printf("  no breakdown: the timeline holds %zu ports, not %d\n", ports.size(), kPorts);
        return ratio;
    }
    std::vector<Breakdown> each;
    std::vector<qint64> ends;
    Wire measured;
    for (auto& [pid, items] : ports) {
        each.push_back(Analyse(items, t0Us, t1Us, &measured));
        qint64 end = 0;
        for (const Item& i : items)
            end = std::max(end, i.endUs);
        ends.push_back(end);
    }
    const size_t last = size_t(std::max_element(ends.begin(), ends.end()) - ends.begin());
    std::printf(
        "  on the line, measured: %.1f s of the unit's bytes and %.2f s of the station's per "
        "port (estimated %.1f s and %.2f s)\n",
        measured.unit / 1e6 / kPorts, measured.station / 1e6 / kPorts,
        busiest.unit * kBitsPerByte / kBaud, busiest.station * kBitsPerByte / kBaud);
    std::printf(
        "  where the time went (s)                                    port ended last  "
        "mean of %d\n",
        kPorts);
    for (const char* c : kCategories) {
        double sum = 0;
        for (const Breakdown& b : each)
            sum += b.count(c) ? b.at(c) : 0;
        const double mine = each[last].count(c) ? each[last].at(c) : 0;
        std::printf("    %-62s %6.2f  %6.2f\n", c, mine, sum / kPorts);
    }
    return ratio;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? QString(argv[1]).toInt() : 1;
    if (runs < 1) return Cannot(QString("RUNS is a count from 1, not \"%1\"").arg(argv[1]));
    std::vector<double> ratios;
    for (int run = 1; run <= runs; ++run)
        if (const auto ratio = MeasureOnce(run)) ratios.push_back(*ratio);
    if (ratios.empty()) return 1;
    std::sort(ratios.begin(), ratios.end());
    if (runs > 1)
        std::printf("ratio over %zu runs: min %.3f, median %.3f, max %.3f\n", ratios.size(),
                    ratios.front(), ratios[ratios.size() / 2], ratios.back());
    return ratios.size() == size_t(runs) ? 0 : 1;
}

// The simulated unit's files are ones a station accepts: its parameter block passes every
// check and every alarm and history record reads, so the demonstration and the tests on it
// import without a failure text or a skipped record.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>

#include "para_418.h"
#include "station_files.h"

namespace vm418 {
namespace {

QByteArray dumped(const QTemporaryDir& dir, const char* code) {
    QFile file(dir.filePath(code));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::span<const uint8_t> bytesOf(const QByteArray& a) {
    return {reinterpret_cast<const uint8_t*>(a.constData()), static_cast<std::size_t>(a.size())};
}

TEST(SimulatedUnit, FilesPassEveryCheckAndEveryRecordReads) {
    QTemporaryDir dir;
    QProcess sim;
    sim.start(VM418_SIM_PATH, {"--dump-dir", dir.path()});
    ASSERT_TRUE(sim.waitForStarted(5000));
    // The files are dumped before the simulator prints its device; the parameter block last.
    for (int i = 0;
         i < 100 && dumped(dir, "PARA").size() < static_cast<qsizetype>(sizeof(PARA_418)); ++i) {
        sim.waitForFinished(50);
    }
    sim.kill();
    sim.waitForFinished(5000);
    const QByteArray bytes = dumped(dir, "PARA");
    ASSERT_EQ(bytes.size(), static_cast<qsizetype>(sizeof(PARA_418)));
    PARA_418 p;
    std::memcpy(&p, bytes.constData(), sizeof p);
    EXPECT_EQ(validateParameters(p), 0u)
        << describeFailedParameters(validateParameters(p)).toStdString();

    int unreadable = -1;
    const std::vector<uint8_t> ring = ringImage(bytesOf(dumped(dir, "ALAR")));
    const AlarmMap alarmsOfRing =
        parseAlarmRing(std::span<const uint8_t, kAlarmRingSize>(ring.data(), kAlarmRingSize),
                       p.AlarmRingStart, p.AlarmRingEnd, &unreadable);
    EXPECT_EQ(alarmsOfRing.size(), 48u);
    EXPECT_EQ(unreadable, 0);
    // Alarms as a portal sees them: a background of 100 to a few hundred a second, a graph
    // that rises above the threshold and falls back, Max and Min those of the graph, all
    // within the station's 16 bits after the factor 10 (the graph is kept as counted).
    for (const auto& [key, a] : alarmsOfRing) {
        ASSERT_GE(a.Len, 8) << key;
        const auto [low, high] = std::minmax_element(a.Graph.begin(), a.Graph.end());
        EXPECT_EQ(a.Max, *high * 10) << key;
        EXPECT_EQ(a.Min, *low * 10) << key;
        EXPECT_GE(a.OutBG, 1000) << key;
        EXPECT_LT(a.OutBG, a.Threshold) << key;
        EXPECT_GT(a.Max, a.Threshold) << key;
        EXPECT_LT(a.Graph.front() * 10, a.Threshold) << key;
        EXPECT_LT(a.Graph.back() * 10, a.Threshold) << key;
        EXPECT_NEAR(a.InBG, a.OutBG, 100) << key;  // inside and outside alike, tenfold
    }

    const QByteArray history = dumped(dir, "HIST");
    ASSERT_EQ(history.size(), kHistoryFileSize);
    const HistoryMap events =
        parseHistory(std::span<const uint8_t, kHistoryFileSize>(
                         reinterpret_cast<const uint8_t*>(history.constData()), kHistoryFileSize),
                     &unreadable);
    EXPECT_EQ(events.size(), 60u);
    EXPECT_EQ(unreadable, 0);

    for (const char* single : {"ACRR", "APRV", "ANXT"}) {
        const std::vector<uint8_t> one = ringImage(bytesOf(dumped(dir, single)));
        alarms a;
        EXPECT_GT(parseOneAlarm(
                      0, a, std::span<const uint8_t, kAlarmRingSize>(one.data(), kAlarmRingSize)),
                  0)
            << single;
    }
}

}  // namespace
}  // namespace vm418

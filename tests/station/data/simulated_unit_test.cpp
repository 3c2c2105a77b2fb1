// The simulated unit's files are ones a station accepts: its parameter block passes every
// check, so the demonstration and the tests on it import without a failure text.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstring>

#include "para_418.h"

namespace vm418 {
namespace {

TEST(SimulatedUnit, ParameterBlockPassesEveryCheck) {
    QTemporaryDir dir;
    QProcess sim;
    sim.start(VM418_SIM_PATH, {"--dump-dir", dir.path()});
    ASSERT_TRUE(sim.waitForStarted(5000));
    const QString para = dir.filePath("PARA");
    for (int i = 0; i < 100 && QFile(para).size() < static_cast<qint64>(sizeof(PARA_418)); ++i) {
        sim.waitForFinished(50);
    }
    sim.kill();
    sim.waitForFinished(5000);
    QFile file(para);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_EQ(bytes.size(), static_cast<qsizetype>(sizeof(PARA_418)));
    PARA_418 p;
    std::memcpy(&p, bytes.constData(), sizeof p);
    EXPECT_EQ(validateParameters(p), 0u)
        << describeFailedParameters(validateParameters(p)).toStdString();
}

}  // namespace
}  // namespace vm418

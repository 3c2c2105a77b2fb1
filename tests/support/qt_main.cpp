// Runs the GoogleTest cases inside a QApplication, so that timers, queued calls, serial
// ports and (under the offscreen platform) widgets work in them.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // The HM-210 tool's port locks go to a folder of this run (prmctl started by a test
    // inherits it): pseudo-terminal numbers come back at once, and another test process
    // that still holds the lock of a number it has just given up would refuse a free port.
    QTemporaryDir lockDir;
    if (qEnvironmentVariableIsEmpty("PRMTOOL_LOCK_DIR"))
        qputenv("PRMTOOL_LOCK_DIR", lockDir.path().toLocal8Bit());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

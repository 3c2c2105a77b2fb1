// The parameter form without widgets: fields that follow the detectors, optical sensors and
// speed unit; lists whose texts the form lacks; the controls taken back into a block byte for
// byte; the printout's rows; and `vm418ctl params diff` over two stored blocks.

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include "db_fixture.h"
#include "param_form.h"
#include "station_golden.h"
#include "systems.h"

namespace vm418 {
namespace {

using golden::validBlock;

ParamForm filled(const PARA_418& p) {
    ParamForm form;
    form.fill(p);
    return form;
}

// What the view does when a value that steers the form changes: controls into the block,
// then the form filled again from it.
void refill(ParamForm& form, PARA_418& p) {
    form.takeInto(p);
    form.fill(p);
}

TEST(ParamForm, DetectorCountSetsCaptionsAndEnabledLowAlarmFields) {
    // CD takes part above 5 detectors; EF from 8 but not with exactly 9; from 13 the captions
    // name both groups of the pair.
    struct Case {
        int detectors;
        bool cdEnabled;
        const char* cdCaption;
        bool efEnabled;
        const char* efCaption;
    };
    const Case cases[] = {
        {5, false, "Low Alarm  L1 C", false, "Low Alarm  L1 D "},
        {6, true, "Low Alarm  L1 C", false, "Low Alarm  L1 D "},
        {8, true, "Low Alarm  L1 C", true, "Low Alarm  L1 D "},
        {9, true, "Low Alarm  L1 C", false, "Low Alarm  L1 D "},
        {10, true, "Low Alarm  L1 C", true, "Low Alarm  L1 D "},
        {13, true, "Low Alarm  L1 CD", true, "Low Alarm  L1 EF"},
    };
    PARA_418 p = validBlock();
    ParamForm form = filled(p);
    for (const Case& c : cases) {
        // The user types the count into "Number of detectors".
        form.setNumber(IDC_DETECTORS, c.detectors);
        refill(form, p);
        EXPECT_EQ(p.NumberOfDetectors, c.detectors);
        const ControlState& cd = form.control(IDC_L1_CD);
        const ControlState& ef = form.control(IDC_L1_EF);
        EXPECT_EQ(cd.enabled, c.cdEnabled) << c.detectors;
        EXPECT_EQ(cd.caption, c.cdCaption) << c.detectors;
        EXPECT_EQ(ef.enabled, c.efEnabled) << c.detectors;
        EXPECT_EQ(ef.caption, c.efCaption) << c.detectors;
    }
}

TEST(ParamForm, OpticalSensorsMoveField1011AndSpeedUnitNarrowsSpeedLimit) {
    PARA_418 p = validBlock();  // no optical sensor: alarm timeout 10, vehicle parameter 20
    ParamForm form = filled(p);
    const ControlState& field = form.control(IDC_VEHICLE_OR_TIMEOUT);
    EXPECT_EQ(field.caption, "Alarm Timeout");
    EXPECT_EQ(field.number, 10);
    EXPECT_EQ(field.minimum, 2);
    EXPECT_EQ(field.maximum, 19);
    EXPECT_EQ(form.control(IDC_L2).maximum, 30);

    form.setNumber(IDC_OPT_SENS, 1);
    refill(form, p);
    EXPECT_EQ(field.caption, "Vehicle Parameter");
    EXPECT_EQ(field.number, 20);
    EXPECT_EQ(field.minimum, 8);
    EXPECT_EQ(field.maximum, 53);
    // An edit now lands on the vehicle parameter; the alarm timeout keeps its value.
    form.setNumber(IDC_VEHICLE_OR_TIMEOUT, 44);
    form.takeInto(p);
    EXPECT_EQ(p.VehicleParameter, 44);
    EXPECT_EQ(p.AlarmTimeout, 10);

    form.setNumber(IDC_OPT_SENS, 4);  // four sensors widen "Low Alarm  L2"
    refill(form, p);
    EXPECT_EQ(form.control(IDC_L2).minimum, 3);
    EXPECT_EQ(form.control(IDC_L2).maximum, 99);

    EXPECT_EQ(form.control(IDC_SPEED_IN).text, "Kph");
    EXPECT_EQ(form.control(IDC_SPEED_LIMIT).maximum, 10);
    form.select(IDC_SPEED_IN, "Mph");
    refill(form, p);
    EXPECT_EQ(p.SpeedInMph, 1);
    EXPECT_EQ(form.control(IDC_SPEED_LIMIT).minimum, 1);
    EXPECT_EQ(form.control(IDC_SPEED_LIMIT).maximum, 6);
}

// Collects the lines of the "station.params" category while it lives.
class ParamsLog {
  public:
    ParamsLog() {
        lines_ = &captured_;
        previous_ = qInstallMessageHandler(&ParamsLog::handler);
    }
    ~ParamsLog() {
        qInstallMessageHandler(previous_);
        lines_ = nullptr;
    }
    const QStringList& lines() const { return captured_; }

  private:
    static void handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
        if (lines_ && type == QtDebugMsg && ctx.category &&
            QByteArray(ctx.category) == "station.params")
            lines_->append(msg);
    }
    static inline QStringList* lines_ = nullptr;
    QStringList captured_;
    QtMessageHandler previous_ = nullptr;
};

TEST(ParamForm, OptionMissingFromListIsLoggedAndTheOthersStillWork) {
    // Each list the program looks its options up in, with the text of its debugger line.
    struct Case {
        int id;
        const char* dropped;
        const char* line;
    };
    const Case cases[] = {
        {IDC_ANALOG_SCALE, "5000", "5000 - Not found scale parameter \r\n"},
        {IDC_PRINT_ALARMS, "YES-EXT", "YES-EXT - Not found fPRal parameter \r\n"},
        {IDC_SPEED_ALERT, "MIN", "MIN - Not found fHORN parameter \r\n"},
        {IDC_ALARMS_ONLY_BY_OS, "X", "X - Not found falOS parameter \r\n"},
        {IDC_OS_DISTANCE, "41", "41 - Not found osDist parameter \r\n"},
        {IDC_TLC_OUTPUT, "SP2", "SP2 - Not found TLC parameter \r\n"},
    };
    QLoggingCategory::setFilterRules("station.params.debug=true");
    for (const Case& c : cases) {
        ParamForm form;
        QStringList items = form.control(c.id).items;
        items.removeAll(c.dropped);
        form.setListItems(c.id, items);
        PARA_418 p = validBlock();
        ParamsLog log;
        form.fill(p);
        EXPECT_EQ(log.lines(), QStringList{c.line}) << c.dropped;
        // The last option still works both ways.
        const ControlState& list = form.control(c.id);
        form.select(c.id, list.items.last());
        form.takeInto(p);
        form.fill(p);
        EXPECT_EQ(list.text, list.items.last()) << c.dropped;
    }
    // A block holding the missing option's value: nothing selected, and nothing stored back.
    ParamForm form;
    QStringList items = form.control(IDC_ANALOG_SCALE).items;
    items.removeAll("5000");
    form.setListItems(IDC_ANALOG_SCALE, items);
    PARA_418 p = validBlock();
    p.AnalogScale = 5000;
    form.fill(p);
    EXPECT_EQ(form.control(IDC_ANALOG_SCALE).selected, -1);
    EXPECT_EQ(form.control(IDC_ANALOG_SCALE).text, "");
    form.takeInto(p);
    EXPECT_EQ(p.AnalogScale, 5000);
}

// The golden block with every byte the form does not show set to a pattern, and a value in
// each list.
PARA_418 patternedBlock() {
    PARA_418 p = validBlock();
    auto* b = reinterpret_cast<uint8_t*>(&p);
    for (int offset : {10,  30,  53,  56,  71,  76,  79,  80,  81,  82, 90,
                       102, 103, 120, 136, 139, 148, 160, 176, 200, 211})
        b[offset] = static_cast<uint8_t>(0x5A ^ offset);
    p.OSDistance = 2;
    p.AlarmsOnlyByOS = 3;
    p.SpeedAlert = 6;
    p.TLCOutput = 3;
    p.USFormat = 1;
    p.DustParam = 1;
    p.PrintAlarms = 2;
    p.AnalogScale = 100000;
    p.NumberOfDetectors = 17;  // every low alarm field takes part
    p.LowAlarmL1ab = -7;
    p.Contrast = 300;
    return p;
}

TEST(ParamForm, ControlsTakenBackReproduceTheBlockByteForByte) {
    const PARA_418 golden = patternedBlock();
    ParamForm form = filled(golden);
    PARA_418 back = golden;
    form.takeInto(back);
    EXPECT_EQ(std::memcmp(&back, &golden, kParaSize), 0);

    // Into a block of other bytes: exactly the form's fields change (the alarm timeout, since
    // no optical sensor is fitted), everything else, serial number and version included, stays.
    PARA_418 other;
    std::memset(&other, 0xA5, sizeof other);
    other.NumberOptSens = 0;
    form.takeInto(other);
    const auto* g = reinterpret_cast<const uint8_t*>(&golden);
    const auto* o = reinterpret_cast<const uint8_t*>(&other);
    std::vector<bool> stored(kParaSize, false);
    for (const ParamControl& c : paramControls()) {
        if (c.kind == ParamKind::ReadOnly) continue;
        const int offset = c.id == IDC_VEHICLE_OR_TIMEOUT ? 57 : c.offset;
        for (int k = 0; k < c.width; ++k)
            stored[offset + k] = true;
    }
    for (std::size_t i = 0; i < kParaSize; ++i)
        EXPECT_EQ(o[i], stored[i] ? g[i] : 0xA5) << "offset " << i;
}

TEST(ParamForm, ValuesAreCutToTheirFieldsAndFlagsStoreOne) {
    PARA_418 p = validBlock();
    p.Modem = 5;  // any non-zero byte reads "CEL"
    ParamForm form = filled(p);
    EXPECT_EQ(form.control(IDC_MODEM).text, "CEL");
    form.setNumber(IDC_DETECTORS, 200.9);   // one signed byte: 200 wraps to -56
    form.setNumber(IDC_CONTRAST, -1234.7);  // 16 bits, truncated toward zero
    form.setNumber(IDC_PASSWORD, 1234567);  // the first 5 characters of the text
    form.takeInto(p);
    EXPECT_EQ(p.NumberOfDetectors, -56);
    EXPECT_EQ(p.Contrast, -1234);
    EXPECT_EQ(std::string(p.Password, 5), "12345");
    EXPECT_EQ(p.Modem, 1);
    form.setNumber(IDC_PASSWORD, 77);
    form.select(IDC_MODEM, "TEL");
    form.takeInto(p);
    EXPECT_EQ(std::string(p.Password, 5), std::string("77\0\0\0", 5));
    EXPECT_EQ(p.Modem, 0);
}

TEST(ParamForm, PrintoutRowsAndDifferencesByLabel) {
    const QStringList& labels = printLabels();
    ASSERT_EQ(labels.size(), 32);
    EXPECT_EQ(labels.first(), " Parameter ");
    EXPECT_EQ(labels[22], " Vehicle parameter ");
    EXPECT_EQ(labels.last(), " ");

    const PARA_418 before = validBlock();
    const QStringList values = printValues(before);
    ASSERT_EQ(values.size(), 30);
    EXPECT_EQ(values.mid(0, 6), (QStringList{"4711", "2.1.23", "1418", "4", "0", "59"}));
    EXPECT_EQ(values[labels.indexOf(" PrintAlarms ") - 1], "YES-INT");
    EXPECT_EQ(values[labels.indexOf(" Analog Scale ") - 1], "10000");
    EXPECT_EQ(values[labels.indexOf(" Vehicle parameter ") - 1], "10");  // the alarm timeout

    EXPECT_TRUE(diff(before, before).empty());
    PARA_418 after = before;
    after.Contrast = 60;
    after.SpeedAlert = 4;
    after.PrintAlarms = 3;  // no option of the list: shown as its number
    after.VehicleParameter = 30;
    after.Modem = 9;  // still "CEL": no difference
    const std::vector<ParamDifference> d = diff(before, after);
    ASSERT_EQ(d.size(), 4u);
    auto line = [](const ParamDifference& x) {
        return (x.label + "|" + x.oldText + "|" + x.newText).toStdString();
    };
    EXPECT_EQ(line(d[0]), "Speed Alert|NO|MIN");
    EXPECT_EQ(line(d[1]), "PrintAlarms|YES-INT|3");
    EXPECT_EQ(line(d[2]), "Contrast|50|60");
    EXPECT_EQ(line(d[3]), "Vehicle parameter|20|30");
}

// vm418ctl params diff over blocks stored in an SQLite database.
TEST(ParamsDiffCommand, ListsChangedFieldsOfTwoStoredBlocks) {
    QTemporaryDir dir;
    const QString db = "DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db;JournalMode=WAL";
    ASSERT_EQ(createSchema(db), kDbOk);
    CSystemRset system;
    system.SysID = 3;
    system.SystemDescription = "Gate 3";
    ASSERT_EQ(saveSystem(db, system), kDbOk);
    PARA_418 second = validBlock();
    second.Contrast = 75;
    second.NumberOfDetectors = 6;
    const auto store = [&db](const PARA_418& p, const QDateTime& at) {
        return testing::execSql(
            db, "INSERT INTO Parameters (SysID, DateTime, ParamBuf) VALUES (?, ?, ?)",
            {3, at, QByteArray(reinterpret_cast<const char*>(&p), kParaSize)});
    };
    const PARA_418 first = validBlock();
    ASSERT_TRUE(store(first, QDateTime(QDate(2026, 3, 1), QTime(10, 0, 0))));
    ASSERT_TRUE(store(second, QDateTime(QDate(2026, 3, 5), QTime(9, 30, 0))));

    struct Result {
        int exitCode;
        QStringList out, err;
    };
    auto run = [&](const QStringList& args) {
        QProcess p;
        p.start(VM418CTL_PATH, QStringList{"--db", db, "params", "diff"} + args);
        EXPECT_TRUE(p.waitForFinished(60000));
        return Result{p.exitCode(),
                      QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
                      QString::fromUtf8(p.readAllStandardError()).split('\n', Qt::SkipEmptyParts)};
    };
    // Each --at takes the newest block stored at or before it; a bare date ends with its day.
    Result r = run({"--system", "3", "--at", "2026-03-01", "--at", "2026-03-06 08:00:00"});
    ASSERT_EQ(r.exitCode, 0) << r.err.join('\n').toStdString();
    EXPECT_EQ(r.out, (QStringList{"Parameters stored 03-01-26 10:00:00 and 03-05-26 09:30:00",
                                  "Number of Detectors  4  6", "Contrast  50  75"}));
    r = run({"--system", "3", "--at", "2026-03-05 09:30:00", "--at", "2026-03-09"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.last(), "no differences");

    r = run({"--system", "3", "--at", "2026-02-28", "--at", "2026-03-05"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, QStringList{"vm418ctl params diff: no parameters of system 3 stored at or "
                                 "before 2026-02-28"});
    r = run({"--system", "4", "--at", "2026-03-01", "--at", "2026-03-05"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, QStringList{"vm418ctl params diff: no system 4"});
    r = run({"--system", "3", "--at", "March 1st", "--at", "2026-03-05"});
    EXPECT_EQ(r.exitCode, 2);
    r = run({"--system", "3", "--at", "2026-03-05"});
    EXPECT_EQ(r.exitCode, 2);
}

}  // namespace
}  // namespace vm418

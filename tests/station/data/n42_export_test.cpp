// The N42.42 export of alarms: the document is valid by the published schema (xmllint), its
// references all resolve, and its count series say what the unit's graphs say; and
// `vm418ctl export alarms --n42` over an SQLite database with the hand-made download.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <cstring>
#include <map>
#include <set>

#include "n42_export.h"

namespace {

using vm418::AlarmMap;
using vm418::alarms;

// Runs xmllint (installed with the build's packages) against the project's copy of the schema.
#define EXPECT_VALID_N42(document)                                                     \
    do {                                                                               \
        ASSERT_TRUE(QFileInfo::exists(N42_SCHEMA_PATH)) << N42_SCHEMA_PATH;            \
        ASSERT_FALSE(QStandardPaths::findExecutable("xmllint").isEmpty())              \
            << "xmllint is not installed (Debian package libxml2-utils)";              \
        const auto [valid, report] = validate(document);                               \
        EXPECT_TRUE(valid) << report.toStdString();                                    \
    } while (0)

std::pair<bool, QString> validate(const QByteArray& document) {
    QTemporaryDir dir;
    QFile f(dir.path() + "/alarms.n42");
    if (!f.open(QIODevice::WriteOnly) || f.write(document) != document.size())
        return {false, "cannot write"};
    f.close();
    QProcess p;
    p.start("xmllint", {"--noout", "--schema", N42_SCHEMA_PATH, f.fileName()});
    if (!p.waitForFinished(60000)) return {false, "xmllint did not finish"};
    return {p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
            QString::fromUtf8(p.readAllStandardError())};
}

// What a reader of the file finds, gathered with a plain XML reader as a reader that knows
// gamma counts only as spectra does: per RadMeasurement its start and real time, and per
// Spectrum in it the detector, live time, calibration and channel counts.
struct Measurement {
    QString id, group, start, realTime, detector, liveTime, calibration;
    std::vector<double> channels;
    int spectra = 0, grossCounts = 0;
};
struct N42Document {
    QStringList ids;
    QStringList references;  // every name in an attribute ...Reference(s)
    QStringList dateTimes;   // StartDateTime and RadAlarmDateTime texts
    QStringList detectorIds, groupIds, alarmDescriptions, analysisGroups, analysisMeasurements,
        calibrationIds;
    std::map<QString, QString> detectorCategory;  // id -> RadDetectorCategoryCode
    QString instrumentIdentifier, version;
    std::vector<Measurement> measurements;
    bool wellFormed = false;
};

N42Document read(const QByteArray& document) {
    N42Document d;
    QXmlStreamReader xml(document);
    Measurement m;
    QString detector;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement()) {
            if (xml.isEndElement() && xml.name() == u"RadMeasurement") d.measurements.push_back(m);
            continue;
        }
        const QXmlStreamAttributes attributes = xml.attributes();
        for (const QXmlStreamAttribute& a : attributes) {
            if (a.name() == u"id") d.ids << a.value().toString();
            if (a.name().endsWith(u"Reference") || a.name().endsWith(u"References"))
                d.references << a.value().toString().split(' ', Qt::SkipEmptyParts);
        }
        const QString id = attributes.value("id").toString();
        const auto name = xml.name();
        if (name == u"RadDetectorInformation") d.detectorIds << (detector = id);
        if (name == u"RadMeasurementGroup") d.groupIds << id;
        if (name == u"EnergyCalibration") d.calibrationIds << id;
        if (name == u"AnalysisResults") {
            d.analysisGroups << attributes.value("radMeasurementGroupReferences").toString();
            d.analysisMeasurements << attributes.value("radMeasurementReferences").toString();
        }
        if (name == u"RadMeasurement") {
            m = Measurement{};
            m.id = id;
            m.group = attributes.value("radMeasurementGroupReferences").toString();
        }
        if (name == u"GrossCounts") ++m.grossCounts;
        if (name == u"Spectrum") {
            ++m.spectra;
            m.detector = attributes.value("radDetectorInformationReference").toString();
            m.calibration = attributes.value("energyCalibrationReference").toString();
        }
        if (name == u"StartDateTime")
            d.dateTimes << (m.start = xml.readElementText());
        else if (name == u"RealTimeDuration")
            m.realTime = xml.readElementText();
        else if (name == u"LiveTimeDuration")
            m.liveTime = xml.readElementText();
        else if (name == u"ChannelData")
            for (const QString& c : xml.readElementText().split(' ', Qt::SkipEmptyParts))
                m.channels.push_back(c.toDouble());
        else if (name == u"RadDetectorCategoryCode")
            d.detectorCategory[detector] = xml.readElementText();
        else if (name == u"RadAlarmDateTime")
            d.dateTimes << xml.readElementText();
        else if (name == u"RadAlarmDescription")
            d.alarmDescriptions << xml.readElementText();
        else if (name == u"RadInstrumentIdentifier")
            d.instrumentIdentifier = xml.readElementText();
        else if (name == u"RadInstrumentComponentVersion")
            d.version = xml.readElementText();
    }
    d.wellFormed = !xml.hasError();
    return d;
}

// Every measurement as a spectrum-only reader takes it: one gamma spectrum of one channel
// on a gamma detector, its live and real time one graph point each, and no gross counts
// (which such a reader would take for neutron counts).
void expectGammaSpectra(const N42Document& d) {
    for (const Measurement& m : d.measurements) {
        SCOPED_TRACE(m.id.toStdString());
        EXPECT_EQ(m.spectra, 1);
        EXPECT_EQ(m.grossCounts, 0);
        EXPECT_EQ(m.channels.size(), 1u);
        EXPECT_EQ(d.detectorCategory.count(m.detector) ? d.detectorCategory.at(m.detector) : "",
                  "Gamma");
        EXPECT_TRUE(d.calibrationIds.contains(m.calibration));
        EXPECT_EQ(m.liveTime, "PT0.200S");
        EXPECT_EQ(m.realTime, "PT0.200S");
    }
}

// The checks xmllint does not make: ids unique and valid XML names, every reference names
// an id, every date and time carries its offset from UTC.
void expectConsistent(const N42Document& d) {
    ASSERT_TRUE(d.wellFormed);
    const QRegularExpression xmlName("^[A-Za-z_][A-Za-z0-9._-]*$");
    const std::set<QString> ids(d.ids.begin(), d.ids.end());
    EXPECT_EQ(ids.size(), static_cast<size_t>(d.ids.size())) << "an id is used twice";
    for (const QString& id : d.ids)
        EXPECT_TRUE(xmlName.match(id).hasMatch()) << id.toStdString();
    for (const QString& r : d.references)
        EXPECT_TRUE(ids.count(r)) << "reference to a missing id " << r.toStdString();
    const QRegularExpression zoned(
        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(\\.\\d+)?(Z|[+-]\\d\\d:\\d\\d)$");
    for (const QString& t : d.dateTimes)
        EXPECT_TRUE(zoned.match(t).hasMatch()) << t.toStdString();
}

alarms makeAlarm(int number, char detector, int level, const std::string& when,
                 std::vector<int32_t> graph) {
    alarms a;
    a.AlarmNumber = static_cast<int16_t>(number);
    a.Direction = 'I';
    a.Detector = detector;
    a.AlarmLevel = static_cast<int16_t>(level);
    a.DateTime = QDateTime::fromString(QString::fromStdString(when), "yyyy-MM-dd HH:mm:ss")
                     .toSecsSinceEpoch();
    a.Len = static_cast<int16_t>(graph.size());
    a.Graph = std::move(graph);
    a.Threshold = 2500;
    std::memcpy(a.StatusWord, "OK  ALARM\x01GAMMA  AB   U",
                24);  // a control byte, as a unit may send
    std::memcpy(a.BGtime, "00:01:30", 8);
    return a;
}

// Alarms of two detectors, one without a graph, one whose graph holds a value no count can
// have: the file validates, each measurement starts one sample period after the one before
// it from the alarm's time, its count is the graph value x10 (a negative one 0), and the
// alarm without graph keeps its group and its alarm result.
TEST(N42Export, AlarmsOfTwoDetectorsGiveValidSeriesOfTheirGraphs) {
    AlarmMap map;
    map[1] = makeAlarm(50, 'C', 2, "2026-03-03 10:20:30", {100, 200, -1});
    map[2] = makeAlarm(51, 'A', 5, "2026-03-03 23:59:59", {});
    map[3] = makeAlarm(52, 'C', 6, "2026-07-01 00:00:00", {7, 8});
    const vm418::N42Source source{"Gate <3> & Co,  Serial# S-3", " S-3 ", "2.14"};
    const QDateTime created(QDate(2026, 7, 2), QTime(8, 0));
    const QByteArray doc = vm418::alarmsN42(map, source, created);

    EXPECT_VALID_N42(doc);
    const N42Document d = read(doc);
    expectConsistent(d);
    EXPECT_EQ(d.instrumentIdentifier, "S-3");
    EXPECT_EQ(d.version, "2.14");
    EXPECT_EQ(d.detectorIds, QStringList({"Det_A", "Det_C"}));
    EXPECT_EQ(d.groupIds, QStringList({"Alarm1_Graph", "Alarm2_Graph", "Alarm3_Graph"}));
    EXPECT_EQ(d.analysisGroups, d.groupIds);
    EXPECT_EQ(d.alarmDescriptions, QStringList({"ALARM #50  -   LOW 2C", "ALARM #51  -   DANGER 5A",
                                                "ALARM #52  -    6C"}));

    ASSERT_EQ(d.measurements.size(), 5u);  // 3 + 0 + 2
    expectGammaSpectra(d);
    EXPECT_EQ(d.calibrationIds, QStringList{"GrossCountCalibration"});
    // Each alarm result names its own alarm's measurements, and only those.
    EXPECT_EQ(d.analysisMeasurements,
              QStringList({"Alarm1_S0 Alarm1_S1 Alarm1_S2", "", "Alarm3_S0 Alarm3_S1"}));
    size_t next = 0;
    for (const auto& [key, a] : map) {
        for (size_t i = 0; i < a.Graph.size(); ++i, ++next) {
            const Measurement& m = d.measurements[next];
            SCOPED_TRACE(m.id.toStdString());
            EXPECT_EQ(m.id, QString("Alarm%1_S%2").arg(key).arg(i));
            EXPECT_EQ(m.group, QString("Alarm%1_Graph").arg(key));
            EXPECT_EQ(m.detector, QString("Det_%1").arg(a.Detector));
            const QDateTime start = QDateTime::fromString(m.start, Qt::ISODateWithMs);
            ASSERT_TRUE(start.isValid());
            EXPECT_EQ(start.toMSecsSinceEpoch(),
                      a.DateTime * 1000 + static_cast<qint64>(i) * vm418::kGraphSamplePeriodMs);
            ASSERT_EQ(m.channels.size(), 1u);
            EXPECT_EQ(m.channels[0], std::max(0, a.Graph[i]) * vm418::kGraphCountScale);
        }
    }
    EXPECT_TRUE(doc.contains("The unit recorded -1 for this point"));
    EXPECT_TRUE(doc.contains("<RealTimeDuration>PT0.200S</RealTimeDuration>"));
}

// No alarm in the period still gives a valid file: the portal's detectors as one (and a
// caller without a creation time gets no empty date).
TEST(N42Export, NoAlarmsGiveAValidDocument) {
    const QByteArray doc = vm418::alarmsN42({}, {}, QDateTime());
    EXPECT_VALID_N42(doc);
    const N42Document d = read(doc);
    expectConsistent(d);
    EXPECT_EQ(d.detectorIds, QStringList{"Det_Portal"});
    EXPECT_TRUE(d.measurements.empty());
    EXPECT_TRUE(d.calibrationIds.empty());  // no spectrum refers to one
    EXPECT_EQ(d.version, "unknown");
}

struct CtlRun {
    int exitCode;
    QString out, err;
};

CtlRun vm418ctl(const QTemporaryDir& dir, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"ODBCINI", "ODBCSYSINI", "VM418_DB", "VM418_PASSWORDS"})
        env.remove(name);
    env.insert("XDG_CONFIG_HOME", dir.path() + "/config");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir.path());
    p.start(VM418CTL_PATH, args);
    EXPECT_TRUE(p.waitForFinished(60000));
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// The stored alarms of a system, its serial and the software version of its newest
// parameter block in a valid file; a period narrows them; an unknown system, a bad date and
// a file that cannot be written fail with their reason and leave no file.
TEST(N42ExportCommand, ExportsTheStoredAlarmsOfASystem) {
    QTemporaryDir dir;
    ASSERT_EQ(vm418ctl(dir, {"db", "init", "--sqlite", dir.path() + "/vm418.db"}).exitCode, 0);
    ASSERT_EQ(vm418ctl(dir, {"db", "systems", "add", "--system", "3", "--serial", "S-3", "--name",
                             "Gate 3"})
                  .exitCode,
              0);
    ASSERT_EQ(
        vm418ctl(dir, {"db", "import", "--system", "3", STATION_TEST_DATA "/download"}).exitCode,
        0);

    const QString file = dir.path() + "/alarms.n42";
    CtlRun r = vm418ctl(dir, {"export", "alarms", "--system", "3", "--n42", file});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "3 alarms written to " + file + "\n");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray doc = f.readAll();
    f.close();
    { EXPECT_VALID_N42(doc); }
    N42Document d = read(doc);
    expectConsistent(d);
    EXPECT_EQ(d.instrumentIdentifier, "S-3");
    EXPECT_EQ(d.version, "2.1.23");
    EXPECT_EQ(d.detectorIds, QStringList({"Det_A", "Det_C", "Det_G"}));
    EXPECT_EQ(d.measurements.size(), 5u);  // graphs of 3, 2 and no points
    expectGammaSpectra(d);
    EXPECT_TRUE(doc.contains("<RadInstrumentDescription>Gate 3,  Serial# S-3<"));

    // 12 August 2026 holds the third alarm only (no graph); the database goes by --db, and
    // the command may begin with "db" as the other records commands.
    r = vm418ctl(dir, {"db", "--db", "DSN=VM418", "export", "alarms", "--system", "3", "--n42",
                       file, "--from", "2026-08-12", "--to", "2026-08-12"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "1 alarms written to " + file + "\n");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    d = read(f.readAll());
    f.close();
    EXPECT_EQ(d.alarmDescriptions, QStringList{"ALARM #200  -   HIGH 4A"});

    const QString other = dir.path() + "/other.n42";
    r = vm418ctl(dir, {"export", "alarms", "--system", "4", "--n42", other});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("no system 4")) << r.err.toStdString();
    r = vm418ctl(dir, {"export", "alarms", "--system", "3", "--n42", other, "--from", "12.8.2026"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("12.8.2026")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(other));
    r = vm418ctl(dir,
                 {"export", "alarms", "--system", "3", "--n42", dir.path() + "/no/such/dir/a.n42"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("cannot write")) << r.err.toStdString();
}

}  // namespace

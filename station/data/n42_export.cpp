#include "n42_export.h"

#include "record_text.h"

#include <QBuffer>
#include <QXmlStreamWriter>
#include <algorithm>
#include <cstdlib>
#include <map>

namespace vm418 {

namespace {

constexpr char kN42Namespace[] = "http://physics.nist.gov/N42/2011/N42";
constexpr char kCreatorName[] = "vm418station";
constexpr char kInstrumentId[] = "Instrument";
// The unit's records do not name their maker; the file needs a name there.
constexpr char kManufacturerName[] = "Unknown";
constexpr char kModelName[] = "VM418";
constexpr char kPortalDetectorId[] = "Det_Portal";
// Every count is written as a spectrum of one channel: readers that take gamma counts only
// from spectra (and gross counts only as neutron counts) then read each graph point as the
// gamma count of its detector. A spectrum needs an energy calibration; the one channel spans
// the detectors' whole range, given nominally as 0 to 3000 keV.
constexpr char kGrossCountCalibrationId[] = "GrossCountCalibration";
constexpr char kGrossCountCalibration[] = "0 3000 0";  // offset, gain, quadratic term (keV)

// Characters an XML 1.0 document cannot hold (control characters other than tab and line
// ends, U+FFFE, U+FFFF, halves of surrogate pairs) are left out: database texts and the
// unit's status characters may hold any byte.
QString xmlText(const QString& s) {
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (c.isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
            out += c;
            out += s[++i];
            continue;
        }
        const char16_t u = c.unicode();
        const bool control = u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r';
        if (control || c.isSurrogate() || u == 0xFFFE || u == 0xFFFF) continue;
        out += c;
    }
    return out;
}

// One line without leading, trailing or doubled blanks; `fallback` when nothing is left
// (several fields must not be blank).
QString oneLine(const QString& s, const QString& fallback = {}) {
    const QString t = xmlText(s).simplified();
    return t.isEmpty() ? fallback : t;
}

// xsd:dateTime of local time with its offset from UTC ("2026-03-03T10:20:30.2+01:00"), so
// that a reader elsewhere places the samples at the right moment.
QString xmlDateTime(const QDateTime& t) {
    QString text = t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    if (const int ms = t.time().msec()) text += QString::asprintf(".%03d", ms);
    const int offset = t.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    text += QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

// xsd:duration of a number of milliseconds ("PT0.200S").
QString xmlDuration(int ms) {
    return QString::asprintf("PT%d.%03dS", ms / 1000, ms % 1000);
}

bool isAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "Det_A" for detector A; a detector byte that is no letter or digit by its code ("Det_x2A").
QString detectorId(char detector) {
    const auto c = static_cast<unsigned char>(detector);
    return isAsciiAlnum(c) ? QStringLiteral("Det_") + QLatin1Char(detector)
                           : QString::asprintf("Det_x%02X", c);
}

QString detectorName(char detector) {
    const auto c = static_cast<unsigned char>(detector);
    return c > 0x20 && c < 0x7F ? QString(QLatin1Char(detector)) : QString::asprintf("0x%02X", c);
}

QString alarmPrefix(int key) {
    // Keys are running numbers; a negative one still gives a valid XML name ("Alarm-1").
    return QStringLiteral("Alarm%1").arg(key);
}

QString measurementId(const QString& alarm, int point) {
    return alarm + "_S" + QString::number(point);
}

class N42Writer {
  public:
    explicit N42Writer(QByteArray& out) : xml_(&out) { xml_.setAutoFormatting(true); }
    explicit N42Writer(QIODevice* out) : xml_(out) { xml_.setAutoFormatting(true); }

    void write(const AlarmMap& map, const N42Source& source, const QDateTime& created) {
        N42Contents contents;
        contents.alarms = int(map.size());
        for (const auto& [key, a] : map) {
            contents.detectors.insert(static_cast<unsigned char>(a.Detector));
            contents.graphs = contents.graphs || !a.Graph.empty();
        }
        head(contents, source, created);
        for (const auto& [key, a] : map)
            alarm(key, a);
        end();
    }

    // Everything before the first alarm.
    void head(const N42Contents& contents, const N42Source& source, const QDateTime& created) {
        // One detector description per detector byte in use, in byte order.
        for (unsigned char byte : contents.detectors)
            detectors_.emplace(byte, detectorId(static_cast<char>(byte)));

        xml_.writeStartDocument();
        xml_.writeDefaultNamespace(QLatin1String(kN42Namespace));
        start("RadInstrumentData");
        if (created.isValid())
            xml_.writeAttribute(QStringLiteral("n42DocDateTime"), xmlDateTime(created));
        QString about = QStringLiteral("%1 alarms").arg(contents.alarms);
        if (const QString title = xmlText(source.title).trimmed(); !title.isEmpty())
            about += " of " + title;
        text("Remark",
             about + QString::asprintf(". Each alarm's count graph is a series of measurements, "
                                       "one per graph point of %d ms, each holding the gross "
                                       "gamma count of the alarm's detector as a spectrum of "
                                       "one channel; a count is the unit's graph value x %d, "
                                       "as the alarm view plots it.",
                                       kGraphSamplePeriodMs, kGraphCountScale));
        text("RadInstrumentDataCreatorName", QLatin1String(kCreatorName));
        instrument(source);
        if (detectors_.empty()) {
            start("RadDetectorInformation");
            xml_.writeAttribute(QStringLiteral("id"), QLatin1String(kPortalDetectorId));
            text("RadDetectorName", QStringLiteral("Portal"));
            text("RadDetectorCategoryCode", QStringLiteral("Gamma"));
            text("RadDetectorKindCode", QStringLiteral("Other"));
            text("RadDetectorDescription",
                 QStringLiteral("The portal's gross-count gamma detectors; no alarm names one."));
            xml_.writeEndElement();
        }
        for (const auto& [byte, id] : detectors_) {
            const char detector = static_cast<char>(byte);
            start("RadDetectorInformation");
            xml_.writeAttribute(QStringLiteral("id"), id);
            text("RadDetectorName", detectorName(detector));
            text("RadDetectorCategoryCode", QStringLiteral("Gamma"));
            text("RadDetectorKindCode", QStringLiteral("Other"));
            text("RadDetectorDescription",
                 "Gross-count gamma detector " + detectorName(detector) + " of the portal");
            xml_.writeEndElement();
        }
        if (contents.graphs) grossCountCalibration();
    }

    // One alarm (key k: "Alarmk"), its detector among those of the head.
    void alarm(int key, const alarms& a) {
        const auto detector = detectors_.find(static_cast<unsigned char>(a.Detector));
        alarm(key, a, detector != detectors_.end() ? detector->second : QString());
    }

    void end() {
        xml_.writeEndElement();  // RadInstrumentData
        xml_.writeEndDocument();
    }

  private:
    void start(const char* name) {
        xml_.writeStartElement(QLatin1String(kN42Namespace), QLatin1String(name));
    }
    void text(const char* name, const QString& value) {
        xml_.writeTextElement(QLatin1String(kN42Namespace), QLatin1String(name), xmlText(value));
    }

    void instrument(const N42Source& source) {
        start("RadInstrumentInformation");
        xml_.writeAttribute(QStringLiteral("id"), QLatin1String(kInstrumentId));
        text("RadInstrumentManufacturerName", QLatin1String(kManufacturerName));
        if (const QString serial = oneLine(source.serial); !serial.isEmpty())
            text("RadInstrumentIdentifier", serial);
        text("RadInstrumentModelName", QLatin1String(kModelName));
        if (const QString title = xmlText(source.title).trimmed(); !title.isEmpty())
            text("RadInstrumentDescription", title);
        text("RadInstrumentClassCode", QStringLiteral("Portal Monitor"));
        start("RadInstrumentVersion");
        text("RadInstrumentComponentName", QStringLiteral("Software"));
        text("RadInstrumentComponentVersion",
             oneLine(source.softwareVersion, QStringLiteral("unknown")));
        xml_.writeEndElement();
        xml_.writeEndElement();
    }

    void grossCountCalibration() {
        start("EnergyCalibration");
        xml_.writeAttribute(QStringLiteral("id"), QLatin1String(kGrossCountCalibrationId));
        text("Remark", QStringLiteral("The one channel of every spectrum holds a gross count of "
                                      "the detector's whole range; the range is nominal."));
        text("CoefficientValues", QLatin1String(kGrossCountCalibration));
        xml_.writeEndElement();
    }

    void alarm(int key, const alarms& a, const QString& detector) {
        const QString prefix = alarmPrefix(key);
        const QString group = prefix + "_Graph";
        const QDateTime at = QDateTime::fromSecsSinceEpoch(a.DateTime);
        const auto points = static_cast<int>(a.Graph.size());

        start("RadMeasurementGroup");
        xml_.writeAttribute(QStringLiteral("id"), group);
        text("RadMeasurementGroupDescription",
             points > 0
                 ? QStringLiteral("Count graph of alarm #%1: %2 points of %3 ms from %4")
                       .arg(a.AlarmNumber)
                       .arg(points)
                       .arg(kGraphSamplePeriodMs)
                       .arg(xmlDateTime(at))
                 : QStringLiteral("Alarm #%1: the unit kept no count graph").arg(a.AlarmNumber));
        xml_.writeEndElement();

        for (int i = 0; i < points; ++i) {
            const QString id = measurementId(prefix, i);
            start("RadMeasurement");
            xml_.writeAttribute(QStringLiteral("id"), id);
            xml_.writeAttribute(QStringLiteral("radMeasurementGroupReferences"), group);
            const qint64 count = qint64{a.Graph[static_cast<size_t>(i)]} * kGraphCountScale;
            if (count < 0)
                text("Remark", QStringLiteral("The unit recorded %1 for this point; a count "
                                              "cannot be negative and is given as 0.")
                                   .arg(a.Graph[static_cast<size_t>(i)]));
            text("MeasurementClassCode", QStringLiteral("Foreground"));
            text("StartDateTime", xmlDateTime(at.addMSecs(qint64{i} * kGraphSamplePeriodMs)));
            text("RealTimeDuration", xmlDuration(kGraphSamplePeriodMs));
            start("Spectrum");
            xml_.writeAttribute(QStringLiteral("id"), id + "_Counts");
            xml_.writeAttribute(QStringLiteral("radDetectorInformationReference"), detector);
            xml_.writeAttribute(QStringLiteral("energyCalibrationReference"),
                                QLatin1String(kGrossCountCalibrationId));
            text("LiveTimeDuration", xmlDuration(kGraphSamplePeriodMs));
            text("ChannelData", QString::number(count < 0 ? 0 : count));
            xml_.writeEndElement();  // Spectrum
            xml_.writeEndElement();  // RadMeasurement
        }

        start("AnalysisResults");
        xml_.writeAttribute(QStringLiteral("id"), prefix + "_Analysis");
        xml_.writeAttribute(QStringLiteral("radMeasurementGroupReferences"), group);
        // The measurements by name as well, for readers that do not follow groups.
        if (points > 0) {
            QStringList measurements;
            for (int i = 0; i < points; ++i)
                measurements << measurementId(prefix, i);
            xml_.writeAttribute(QStringLiteral("radMeasurementReferences"),
                                measurements.join(QLatin1Char(' ')));
        }
        start("RadAlarm");
        xml_.writeAttribute(QStringLiteral("id"), prefix);
        xml_.writeAttribute(QStringLiteral("radDetectorInformationReferences"), detector);
        const QString word = levelWord(a.AlarmLevel);
        text("Remark",
             QStringLiteral("Alarm number %1, level %2%3, direction %4, segment %5, speed %6; "
                            "threshold %7, background %8 out and %9 in, maximum %10, minimum "
                            "%11 (counts on the graph's scale); background time %12; status %13")
                 .arg(a.AlarmNumber)
                 .arg(a.AlarmLevel)
                 .arg(word.isEmpty() ? QString() : " (" + word + ")")
                 .arg(a.Direction ? QString(QLatin1Char(a.Direction)) : QStringLiteral("none"))
                 .arg(a.Segment)
                 .arg(a.Speed)
                 .arg(a.Threshold)
                 .arg(a.OutBG)
                 .arg(a.InBG)
                 .arg(a.Max)
                 .arg(a.Min)
                 .arg(a.bgTimeText(), a.statusWordText()));
        text("RadAlarmDateTime", xmlDateTime(at));
        text("RadAlarmCategoryCode", QStringLiteral("Gamma"));
        text("RadAlarmDescription", xmlText(alarmHeading(a)));
        xml_.writeEndElement();  // RadAlarm
        xml_.writeEndElement();  // AnalysisResults
    }

    QXmlStreamWriter xml_;
    std::map<unsigned char, QString> detectors_;
};

}  // namespace

QByteArray alarmsN42(const AlarmMap& alarms, const N42Source& source, const QDateTime& created) {
    QByteArray out;
    N42Writer(out).write(alarms, source, created);
    return out;
}

struct N42Stream::Parts {
    QBuffer buffer;
    N42Writer writer{&buffer};
};

N42Stream::N42Stream(const N42Contents& contents, const N42Source& source, const QDateTime& created)
    : parts_(std::make_unique<Parts>()) {
    parts_->buffer.open(QIODevice::WriteOnly);
    parts_->writer.head(contents, source, created);
}

N42Stream::~N42Stream() = default;

void N42Stream::add(int key, const alarms& a) {
    parts_->writer.alarm(key, a);
}

void N42Stream::end() {
    parts_->writer.end();
}

QByteArray N42Stream::take() {
    QByteArray written = parts_->buffer.buffer();
    parts_->buffer.buffer().clear();
    parts_->buffer.seek(0);
    return written;
}

}  // namespace vm418

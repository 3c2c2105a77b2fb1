#include "record_text.h"

#include <QDateTime>
#include <QStringList>

#include "csv_cell.h"
#include "station_db.h"

namespace vm418 {

namespace {

QString fixed(const char* s, std::size_t n) {
    return QString::fromLatin1(s, qsizetype(strnlen(s, n)));
}

}  // namespace

QString alarmLine(const alarms& a) {
    return QString::asprintf(
               "%4d  %s  %c %3d  det %c  level %3d  seg %2d  speed %3d  in %5d  "
               "out %5d  thr %7d  max %6d  min %6d  len %3d  ",
               a.Index, qPrintable(formatDbDate(a.DateTime)), a.Direction, a.AlarmNumber,
               a.Detector ? a.Detector : ' ', a.AlarmLevel, a.Segment, a.Speed, a.InBG, a.OutBG,
               a.Threshold, a.Max, a.Min, a.Len) +
           a.statusWordText() + "  " + a.bgTimeText();
}

QString historyLine(const CHistory& h) {
    return QString::asprintf("%4d  %s  ", h.SeqNum, qPrintable(formatDbDate(h.DateTime))) + h.Event;
}

QString parameterLines(const PARA_418& p) {
    QStringList l;
    l << "Software version: 2." + fixed(p.SoftwareVersion, sizeof p.SoftwareVersion)
      << "Password: " + fixed(p.Password, sizeof p.Password)
      << QString::asprintf("Serial number: %d", p.SerialNumber)
      << QString::asprintf("Number of detectors: %d", p.NumberOfDetectors)
      << QString::asprintf("Number Opt.Sens.: %d", p.NumberOptSens)
      << QString::asprintf("Analog Scale: %d", p.AnalogScale)
      << QString::asprintf("Contrast: %d", p.Contrast)
      << QString::asprintf("Alarm ring: %d to %d", p.AlarmRingStart, p.AlarmRingEnd);
    const uint32_t mask = validateParameters(p);
    l << (mask ? "Failed checks:" + describeFailedParameters(mask) : QString("All checks passed"));
    return l.join('\n');
}

QString alarmsCsv(const AlarmMap& map) {
    QString out =
        "DateTime,AlarmNumber,Direction,Segment,Speed,InBG,AlarmLevel,OutBG,Threshold,Len,Max,"
        "Min,Detector,StatusWord,BGtime,Graph\n";
    for (const auto& [key, a] : map) {
        QStringList graph;
        for (int32_t v : a.Graph)
            graph << QString::number(v);
        const QStringList row = {
            QDateTime::fromSecsSinceEpoch(a.DateTime).toString("yyyy-MM-dd HH:mm:ss"),
            QString::number(a.AlarmNumber),
            QString(QChar::fromLatin1(a.Direction)),
            QString::number(a.Segment),
            QString::number(a.Speed),
            QString::number(a.InBG),
            QString::number(a.AlarmLevel),
            QString::number(a.OutBG),
            QString::number(a.Threshold),
            QString::number(a.Len),
            QString::number(a.Max),
            QString::number(a.Min),
            a.Detector ? QString(QChar::fromLatin1(a.Detector)) : QString(),
            a.statusWordText(),
            a.bgTimeText(),
            graph.join(' ')};
        QStringList cells;
        for (const QString& value : row)
            cells << csvCell(value);
        out += cells.join(',') + '\n';
    }
    return out;
}

QString levelWord(int alarmLevel) {
    if (alarmLevel < 3) return QStringLiteral("LOW");
    if (alarmLevel <= 4) return QStringLiteral("HIGH");
    if (alarmLevel == 5) return QStringLiteral("DANGER");
    return QString();
}

QString alarmHeading(const alarms& a) {
    QString text = QString::asprintf("ALARM #%d  -   %s %d", a.AlarmNumber,
                                     qPrintable(levelWord(a.AlarmLevel)), a.AlarmLevel);
    if (a.Detector) text += QChar(static_cast<unsigned char>(a.Detector));
    return text;
}

}  // namespace vm418

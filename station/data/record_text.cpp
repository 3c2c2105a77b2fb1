#include "record_text.h"

#include <QDateTime>
#include <QJsonArray>
#include <QStringList>
#include <algorithm>
#include <ctime>

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

QString localJsonTime(std::time_t t) {
    const QDateTime local = toDbDate(t);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QJsonObject alarmRowJson(const alarms& a) {
    QJsonArray graph;
    for (int32_t v : a.Graph)
        graph.append(v);
    return {
        {QStringLiteral("index"), a.Index},
        {QStringLiteral("time"), localJsonTime(a.DateTime)},
        {QStringLiteral("alarmNumber"), a.AlarmNumber},
        {QStringLiteral("direction"), QString(QChar::fromLatin1(a.Direction))},
        {QStringLiteral("detector"),
         a.Detector ? QString(QChar::fromLatin1(a.Detector)) : QString()},
        {QStringLiteral("alarmLevel"), a.AlarmLevel},
        {QStringLiteral("segment"), a.Segment},
        {QStringLiteral("speed"), a.Speed},
        {QStringLiteral("inBG"), a.InBG},
        {QStringLiteral("outBG"), a.OutBG},
        {QStringLiteral("threshold"), static_cast<qint64>(a.Threshold)},
        {QStringLiteral("max"), a.Max},
        {QStringLiteral("min"), a.Min},
        {QStringLiteral("len"), a.Len},
        {QStringLiteral("statusWord"), a.statusWordText()},
        {QStringLiteral("bgTime"), a.bgTimeText()},
        {QStringLiteral("graph"), graph},
    };
}

QJsonObject historyRowJson(const CHistory& h) {
    return {{QStringLiteral("seqNum"), h.SeqNum},
            {QStringLiteral("time"), localJsonTime(h.DateTime)},
            {QStringLiteral("event"), h.Event}};
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

QString formatLocalTime(std::time_t t, const char* format) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, format, &tm);
    return QString::fromLatin1(buf, static_cast<qsizetype>(n));
}

QStringList alarmDetailLines(const alarms& a) {
    return {
        alarmHeading(a),
        formatLocalTime(a.DateTime, "%m-%d-%y      %H:%M:%S"),
        QString::asprintf("T : %8s  BG: %d", qPrintable(a.bgTimeText()), a.OutBG),
        QString::asprintf("TH: %-6d    IN: %d", a.Threshold, a.InBG),
        QString::asprintf("HI: %-6d    LO: %d", a.Max, a.Min),
        QString::asprintf("P1: %d  P2:%d  S:  %d", a.Len, a.Segment, a.Speed),
        QString::fromLatin1(kAlarmRule),
        QString::fromLatin1(kAlarmLegend),
        a.statusWordText(),
    };
}

AlarmGraph alarmGraph(const alarms& a) {
    AlarmGraph g;
    const size_t len =
        std::min<size_t>(static_cast<size_t>(std::max<int>(a.Len, 0)), a.Graph.size());
    g.values.reserve(len);
    for (size_t i = 0; i < len; ++i)
        g.values.push_back(10.0 * a.Graph[i]);
    const int m = std::min<int>(a.OutBG, a.Min);
    g.yLow = 0.9 * m;
    g.yHigh = a.Max + a.Max / 10;
    g.cursors = {static_cast<double>(a.Min), static_cast<double>(a.Max),
                 static_cast<double>(a.Threshold), static_cast<double>(a.OutBG)};
    return g;
}

}  // namespace vm418

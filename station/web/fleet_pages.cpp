#include "fleet_pages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <algorithm>
#include <cmath>

#include "param_form.h"
#include "record_text.h"
#include "station_db.h"

namespace vm418::web {

namespace {

constexpr size_t kShownAlarms = 500;

QString esc(const QString& s) {
    return s.toHtmlEscaped();
}

// The views' date format.
QString shown(std::time_t t) {
    return formatDbDate(t);
}

constexpr char kStyle[] = R"css(
body{font-family:"DejaVu Sans",Arial,sans-serif;margin:0;color:#1d1d1d;background:#f4f5f7}
header{background:#16324f;color:#fff;padding:.6em 1em}
header h1{font-size:1.2em;margin:0}
header p{margin:.2em 0 0;font-size:.85em;opacity:.85}
header a{color:#fff}
main{padding:.8em 1em;max-width:1100px}
table{border-collapse:collapse;width:100%;background:#fff}
th,td{text-align:left;padding:.4em .6em;border-bottom:1px solid #dde1e6;vertical-align:top}
th{background:#e8ebef;font-weight:600}
tr.recent td:first-child{border-left:5px solid #c62828}
.failing,td.failed{color:#b35c00;font-weight:700}
details{margin:.6em 0}summary{cursor:pointer}
td.num{text-align:right}
.mark{color:#c62828;font-weight:700}
.level-DANGER{color:#b71c1c;font-weight:700}
.level-HIGH{color:#c65a00;font-weight:700}
.alarm{background:#fff;border:1px solid #dde1e6;margin:.6em 0;padding:.5em;display:flex;flex-wrap:wrap;gap:1em}
.alarm svg{max-width:100%;height:auto;background:#fff}
pre{margin:0;font-family:"DejaVu Sans Mono",Courier,monospace;font-size:.85em}
form{margin:.4em 0}
nav a{margin-right:1em}
h2{font-size:1.05em;margin:1.2em 0 .4em}
@media (max-width:640px){
 table.fleet thead{display:none}
 table.fleet tr{display:block;border-bottom:2px solid #dde1e6}
 table.fleet td,table.fleet td.num{display:block;border:0;padding:.15em .6em;text-align:left}
 table.fleet td::before{content:attr(data-label) ": ";font-weight:600}
 tr.recent td:first-child{border-left:0}
 tr.recent{border-left:5px solid #c62828}
}
)css";

QByteArray document(const QString& title, const QString& head, const QString& body) {
    const QString html = QStringLiteral(
                             "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                             "<meta name=\"viewport\" content=\"width=device-width, "
                             "initial-scale=1\">%1<title>%2</title><style>%3</style></head>"
                             "<body>%4</body></html>\n")
                             .arg(head, esc(title), QLatin1String(kStyle), body);
    return html.toUtf8();
}

QString levelCell(const alarms& a) {
    const QString word = levelWord(a.AlarmLevel);
    return QStringLiteral("<span class=\"level-%1\">%2 %3</span>")
        .arg(esc(word), esc(word), QString::number(a.AlarmLevel));
}

QString dateQuery(const QDate& from, const QDate& to) {
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("from"), from.toString(Qt::ISODate));
    q.addQueryItem(QStringLiteral("to"), to.toString(Qt::ISODate));
    return q.toString(QUrl::FullyEncoded);
}

QString number(double v) {
    return QString::number(v, 'f', 1);
}

}  // namespace

QString isoTime(std::time_t t) {
    return toDbDate(t).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

QString jsonTime(const QDateTime& t) {
    return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate);
}

std::vector<const FleetRow*> fleetOrder(const std::vector<FleetRow>& rows) {
    std::vector<const FleetRow*> out;
    for (const FleetRow& r : rows)
        out.push_back(&r);
    std::stable_sort(out.begin(), out.end(), [](const FleetRow* a, const FleetRow* b) {
        return (a->alarmsDay > 0) > (b->alarmsDay > 0);
    });
    return out;
}

QByteArray fleetPage(const std::vector<FleetRow>& rows, const QDateTime& now) {
    QString body = QStringLiteral(
                       "<header><h1>418vLINK fleet</h1><p>%1 stations, as stored at "
                       "%2; the page refreshes every 30 s</p></header><main>")
                       .arg(QString::number(rows.size()), esc(shown(fromDbDate(now))));
    body += QStringLiteral(
        "<table class=\"fleet\"><thead><tr><th>Station</th><th>Serial#</th><th>Last "
        "contact</th><th>Last call</th><th>Alarms 24 h</th><th>Alarms 7 days</th><th>Newest "
        "alarm</th></tr></thead><tbody>");
    for (const FleetRow* r : fleetOrder(rows)) {
        const CSystemRset& s = r->system;
        const bool recent = r->alarmsDay > 0;
        const QString name = s.SystemDescription.isEmpty()
                                 ? QStringLiteral("System %1").arg(s.SysID)
                                 : s.SystemDescription;
        const QString contact = s.LastContactTime.isValid()
                                    ? esc(shown(fromDbDate(s.LastContactTime)))
                                    : QStringLiteral("never");
        QString call = QStringLiteral("none");
        if (const auto& c = r->lastCall) {
            call = esc(c->Result + ' ' + shown(fromDbDate(c->Started)));
            if (!c->Reason.isEmpty()) call += QStringLiteral(" (%1)").arg(esc(c->Reason));
            if (c->FailuresInRow > 1) call += QStringLiteral(", %1 in a row").arg(c->FailuresInRow);
            if (r->failing)
                call = QStringLiteral(
                           "<span class=\"failing\" title=\"failing for longer than "
                           "its autocall period\">failing since %1</span><br>")
                           .arg(esc(shown(fromDbDate(c->FailingSince)))) +
                       call;
        }
        const QString newest = r->newest ? esc(shown(r->newest->DateTime)) + QStringLiteral(" ") +
                                               levelCell(*r->newest)
                                         : QStringLiteral("none");
        body += QStringLiteral(
                    "<tr%1 id=\"system-%2\"><td data-label=\"Station\">%3<a "
                    "href=\"/system/%2\">%4</a></td><td data-label=\"Serial#\">%5</td>"
                    "<td data-label=\"Last contact\">%6</td><td data-label=\"Last call\">%10</td>"
                    "<td class=\"num\" data-label=\"Alarms 24 h\">%7</td><td class=\"num\" "
                    "data-label=\"Alarms 7 days\">%8</td><td data-label=\"Newest alarm\">%9</td>"
                    "</tr>")
                    .arg(recent ? QStringLiteral(" class=\"recent\"") : QString(),
                         QString::number(s.SysID),
                         recent ? QStringLiteral("<span class=\"mark\" title=\"an alarm in the "
                                                 "last 24 hours\">&#9679;</span> ")
                                : QString(),
                         esc(name), esc(s.Serial), contact, QString::number(r->alarmsDay),
                         QString::number(r->alarmsWeek), newest)
                    .arg(call);
    }
    body += QStringLiteral("</tbody></table></main>");
    return document(QStringLiteral("418vLINK fleet"),
                    QStringLiteral("<meta http-equiv=\"refresh\" content=\"30\">"), body);
}

QString alarmGraphSvg(const alarms& a, int width, int height) {
    const AlarmGraph g = alarmGraph(a);
    // The plot area inside the labels' margin; x from 0 to at least 4, as on screen.
    const double left = 44, right = width - 6, top = 6, bottom = height - 18;
    const double xMax = std::max<double>(4, static_cast<double>(g.values.size()) - 1);
    const double yLow = g.yLow;
    const double yHigh = g.yHigh > g.yLow ? g.yHigh : g.yLow + 1;
    const auto x = [&](double i) { return left + (right - left) * i / xMax; };
    const auto y = [&](double v) { return bottom - (bottom - top) * (v - yLow) / (yHigh - yLow); };
    const QString clip = QStringLiteral("plot-%1-%2").arg(a.AlarmNumber).arg(a.DateTime);
    QString svg = QStringLiteral(
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"graph\" width=\"%1\" "
                      "height=\"%2\" viewBox=\"0 0 %1 %2\" role=\"img\" aria-label=\"%3\">"
                      "<defs><clipPath id=\"%4\"><rect x=\"%5\" y=\"%6\" width=\"%7\" "
                      "height=\"%8\"/></clipPath></defs>")
                      .arg(QString::number(width), QString::number(height),
                           esc(QStringLiteral("Counts of alarm %1").arg(a.AlarmNumber)), clip,
                           number(left), number(top), number(right - left), number(bottom - top));
    svg += QStringLiteral(
               "<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#fff\" "
               "stroke=\"#999\"/>")
               .arg(number(left), number(top), number(right - left), number(bottom - top));
    // The axis: its two ends and the x range.
    const auto label = [&](double lx, double ly, const QString& text, const char* anchor) {
        return QStringLiteral(
                   "<text x=\"%1\" y=\"%2\" font-size=\"10\" text-anchor=\"%3\" "
                   "fill=\"#444\">%4</text>")
            .arg(number(lx), number(ly), QLatin1String(anchor), esc(text));
    };
    svg += label(left - 3, top + 8, QString::number(yHigh, 'g', 6), "end");
    svg += label(left - 3, bottom, QString::number(yLow, 'g', 6), "end");
    svg += label(left, height - 5, QStringLiteral("0"), "start");
    svg += label(right, height - 5, QString::number(xMax, 'g', 6), "end");
    // Min, Max, Threshold and OutBG, dashed, as the view's cursors.
    static const char* const kCursors[] = {"min", "max", "threshold", "outbg"};
    static const char* const kColours[] = {"#2e7d32", "#c62828", "#ef6c00", "#6d4c41"};
    QString lines;
    for (size_t i = 0; i < g.cursors.size(); ++i)
        lines += QStringLiteral(
                     "<line class=\"cursor %1\" x1=\"%2\" x2=\"%3\" y1=\"%4\" "
                     "y2=\"%4\" stroke=\"%5\" stroke-dasharray=\"5 3\"/>")
                     .arg(QLatin1String(kCursors[i]), number(left), number(right),
                          number(y(g.cursors[i])), QLatin1String(kColours[i]));
    QStringList points;
    for (size_t i = 0; i < g.values.size(); ++i)
        points << number(x(static_cast<double>(i))) + QLatin1Char(',') + number(y(g.values[i]));
    svg += QStringLiteral(
               "<g clip-path=\"url(#%1)\">%2<polyline class=\"trace\" fill=\"none\" "
               "stroke=\"#1565c0\" stroke-width=\"1.5\" points=\"%3\"/></g></svg>")
               .arg(clip, lines, points.join(QLatin1Char(' ')));
    return svg;
}

QByteArray systemPage(const SystemPage& page, const QDate& from, const QDate& to,
                      const QDateTime& now) {
    const CSystemRset& s = page.system;
    const QString title = stationTitle(s);
    const QString base = QStringLiteral("/system/%1").arg(s.SysID);
    const QString period = dateQuery(from, to);
    QString body = QStringLiteral(
                       "<header><h1>%1</h1><p><a href=\"/\">All stations</a> &middot; last "
                       "contact %2 &middot; as stored at %3</p></header><main>")
                       .arg(esc(title),
                            s.LastContactTime.isValid() ? esc(shown(fromDbDate(s.LastContactTime)))
                                                        : QStringLiteral("never"),
                            esc(shown(fromDbDate(now))));
    body += QStringLiteral(
                "<form method=\"get\" action=\"%1\"><label>From <input type=\"date\" "
                "name=\"from\" value=\"%2\"></label> <label>To <input type=\"date\" name=\"to\" "
                "value=\"%3\"></label> <button type=\"submit\">Show</button></form>")
                .arg(base, from.toString(Qt::ISODate), to.toString(Qt::ISODate));
    body += QStringLiteral(
                "<nav><a href=\"%1/alarms.n42?%2\">N42 of these alarms</a><a "
                "href=\"%1/alarms.csv?%2\">CSV of these alarms</a><a "
                "href=\"/api/systems/%3/alarms?%2\">JSON</a></nav>")
                .arg(base, period.toHtmlEscaped(), QString::number(s.SysID));
    // Messages about its alarms that did not reach a channel, or not yet.
    // One line says how many and the newest error; the rows unfold under it.
    if (!page.unsent.empty()) {
        const auto failed =
            std::count_if(page.unsent.begin(), page.unsent.end(),
                          [](const Notification& n) { return n.state == kNotifyFailed; });
        const QString newest = page.unsent.front().lastError;
        body +=
            QStringLiteral(
                "<details id=\"notifications\"><summary><strong>%1 notifications not "
                "delivered</strong>: %2 pending, <span class=\"%3\">%4 failed</span>%5"
                "</summary><table><thead><tr><th>Alarm</th><th>Channel</th><th>State</th>"
                "<th>Attempts</th><th>Last error</th></tr></thead><tbody>")
                .arg(QString::number(page.unsent.size()),
                     QString::number(qsizetype(page.unsent.size()) - failed),
                     failed > 0 ? QStringLiteral("failing") : QString(), QString::number(failed),
                     newest.isEmpty() ? QString() : " &middot; last error: " + esc(newest));
        for (const Notification& n : page.unsent)
            body += QStringLiteral(
                        "<tr><td>#%1 of %2</td><td>%3</td><td class=\"%4\">%4</td>"
                        "<td class=\"num\">%5</td><td>%6</td></tr>")
                        .arg(QString::number(n.alarmNumber), esc(shown(fromDbDate(n.alarmTime))),
                             esc(n.channel), esc(n.state), QString::number(n.attempts),
                             esc(n.lastError));
        body += QStringLiteral("</tbody></table></details>");
    }
    // Newest first, as an operator looks for the latest; a page of a long period shows the
    // newest kShownAlarms (the downloads hold them all).
    const size_t total = page.alarms.size();
    body += QStringLiteral("<h2 id=\"alarms\">%1 alarms from %2 to %3%4</h2>")
                .arg(QString::number(total), from.toString(Qt::ISODate), to.toString(Qt::ISODate),
                     total > kShownAlarms
                         ? QStringLiteral("; the newest %1 are shown, the downloads hold all")
                               .arg(kShownAlarms)
                         : QString());
    size_t shownAlarms = 0;
    for (auto it = page.alarms.rbegin(); it != page.alarms.rend() && shownAlarms < kShownAlarms;
         ++it, ++shownAlarms) {
        const alarms& a = it->second;
        QUrlQuery one;
        one.addQueryItem(QStringLiteral("number"), QString::number(a.AlarmNumber));
        one.addQueryItem(QStringLiteral("time"), isoTime(a.DateTime));
        body += QStringLiteral(
                    "<div class=\"alarm\">%1<div><pre>%2</pre><a href=\"%3/"
                    "alarm.n42?%4\">N42 of this alarm</a></div></div>")
                    .arg(alarmGraphSvg(a), esc(alarmDetailLines(a).join(QLatin1Char('\n'))), base,
                         one.toString(QUrl::FullyEncoded).toHtmlEscaped());
    }
    body += QStringLiteral(
        "<h2 id=\"history\">Newest events</h2><table><thead><tr><th>Date and "
        "time</th><th>Event</th><th>Seq #</th></tr></thead><tbody>");
    for (auto it = page.events.rbegin(); it != page.events.rend(); ++it)
        body += QStringLiteral("<tr><td>%1</td><td>%2</td><td class=\"num\">%3</td></tr>")
                    .arg(esc(shown(it->second.DateTime)), esc(it->second.Event),
                         QString::number(it->second.SeqNum));
    body += QStringLiteral("</tbody></table><h2 id=\"parameters\">Parameters</h2>");
    if (page.parameters) {
        const QStringList& labels = printLabels();
        const QStringList values = printValues(*page.parameters);
        body += QStringLiteral("<table><tbody>");
        for (qsizetype i = 0; i < values.size() && i + 1 < labels.size(); ++i) {
            const QString label = labels[i + 1].trimmed();
            // The unit's dial-in password is for the operators, not for every reader.
            const QString value =
                label == QLatin1String("Password") ? QStringLiteral("***") : values[i];
            body += QStringLiteral("<tr><th>%1</th><td>%2</td></tr>").arg(esc(label), esc(value));
        }
        body += QStringLiteral("</tbody></table>");
    } else {
        body += QStringLiteral("<p>No parameter block is stored.</p>");
    }
    body += QStringLiteral("</main>");
    return document(title, {}, body);
}

QByteArray messagePage(int status, const QString& title, const QString& text) {
    return document(title, {},
                    QStringLiteral("<header><h1>%1 %2</h1></header><main><p>%3</p><p><a "
                                   "href=\"/\">All stations</a></p></main>")
                        .arg(QString::number(status), esc(title), esc(text)));
}

namespace {
QJsonObject callJson(const CallAttempt& c) {
    QJsonObject o{
        {QStringLiteral("started"), jsonTime(c.Started)},
        {QStringLiteral("ended"), jsonTime(c.Ended)},
        {QStringLiteral("result"), c.Result},
        {QStringLiteral("reason"), c.Reason},
        {QStringLiteral("failuresInRow"), c.FailuresInRow},
        {QStringLiteral("station"), c.Station},
    };
    if (c.FailingSince.isValid())
        o.insert(QStringLiteral("failingSince"), jsonTime(c.FailingSince));
    return o;
}
}  // namespace

QJsonObject alarmJsonObject(const alarms& a) {
    QJsonArray graph;
    for (double v : alarmGraph(a).values)
        graph.append(v);
    return {
        {QStringLiteral("number"), a.AlarmNumber},
        {QStringLiteral("time"), jsonTime(toDbDate(a.DateTime))},
        {QStringLiteral("level"), a.AlarmLevel},
        {QStringLiteral("levelWord"), levelWord(a.AlarmLevel)},
        {QStringLiteral("detector"),
         a.Detector ? QString(QChar(static_cast<unsigned char>(a.Detector))) : QString()},
        {QStringLiteral("outBG"), a.OutBG},
        {QStringLiteral("inBG"), a.InBG},
        {QStringLiteral("min"), a.Min},
        {QStringLiteral("max"), a.Max},
        {QStringLiteral("threshold"), static_cast<qint64>(a.Threshold)},
        {QStringLiteral("segment"), a.Segment},
        {QStringLiteral("speed"), a.Speed},
        {QStringLiteral("statusWord"), a.statusWordText()},
        {QStringLiteral("graph"), graph},
    };
}

QByteArray systemsJson(const std::vector<FleetRow>& rows) {
    QJsonArray out;
    for (const FleetRow& r : rows) {
        const CSystemRset& s = r.system;
        QJsonObject o{
            {QStringLiteral("id"), s.SysID},
            {QStringLiteral("serial"), s.Serial},
            {QStringLiteral("name"), s.SystemDescription},
            {QStringLiteral("lastContact"),
             s.LastContactTime.isValid() ? QJsonValue(jsonTime(s.LastContactTime)) : QJsonValue()},
            {QStringLiteral("lastCall"),
             r.lastCall ? QJsonValue(callJson(*r.lastCall)) : QJsonValue()},
            {QStringLiteral("failing"), r.failing},
            {QStringLiteral("alarms24h"), r.alarmsDay},
            {QStringLiteral("alarms7d"), r.alarmsWeek},
            {QStringLiteral("newestAlarm"),
             r.newest ? QJsonValue(alarmJsonObject(*r.newest)) : QJsonValue()},
        };
        out.append(o);
    }
    return QJsonDocument(out).toJson(QJsonDocument::Compact);
}

QByteArray alarmsJson(const CSystemRset& system, const AlarmMap& alarms, const QDate& from,
                      const QDate& to) {
    QJsonArray list;
    for (const auto& [key, a] : alarms)
        list.append(alarmJsonObject(a));
    const QJsonObject o{
        {QStringLiteral("system"), system.SysID},
        {QStringLiteral("from"), from.toString(Qt::ISODate)},
        {QStringLiteral("to"), to.toString(Qt::ISODate)},
        {QStringLiteral("alarms"), list},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

}  // namespace vm418::web

// The fleet view's pages: HTML for a browser (the fleet, one system), the alarm graph as
// SVG, and JSON for other tools. Every text that comes from a unit or the database is
// escaped where it is put into HTML or SVG.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <vector>

#include "fleet_data.h"

namespace vm418::web {

// Rows with an alarm in the last 24 hours come first (marked), each group by SysID.
std::vector<const FleetRow*> fleetOrder(const std::vector<FleetRow>& rows);

QByteArray fleetPage(const std::vector<FleetRow>& rows, const QDateTime& now);
QByteArray systemPage(const SystemPage& page, const QDate& from, const QDate& to,
                      const QDateTime& now);
// A short page for an error: its status line as the title and one sentence.
QByteArray messagePage(int status, const QString& title, const QString& text);

// An alarm's count graph, drawn as the alarm view draws it (values x10 against 0, 1, ...,
// its y range, and the Min, Max, Threshold and OutBG lines), `width` x `height` units.
QString alarmGraphSvg(const alarms& a, int width = 400, int height = 160);

QByteArray systemsJson(const std::vector<FleetRow>& rows);
// An alarm as the JSON of /api/systems/N/alarms has it.
QJsonObject alarmJsonObject(const alarms& a);
QByteArray alarmsJson(const CSystemRset& system, const AlarmMap& alarms, const QDate& from,
                      const QDate& to);

// Dates of the pages' links: "yyyy-MM-ddTHH:mm:ss" local time, "" when null.
QString isoTime(std::time_t t);
// Dates of the JSON: local time with its offset, "2026-12-10T09:41:07+01:00".
QString jsonTime(const QDateTime& t);

}  // namespace vm418::web

// The System table: one row per station unit, with what is needed to dial it and set up
// its port and modem. The document reads the chosen row and writes back the port settings
// and modem initialisation text after the serial settings dialog.

#pragma once

#include <QDateTime>
#include <QString>
#include <ctime>
#include <optional>
#include <vector>

namespace vm418 {

class DbConnection;

// One row as `CSystemRset` binds it; texts start empty, numbers 0.
struct CSystemRset {
    int32_t SysID = 0;
    QString Serial;  // column "Serial#"
    QString SystemDescription;
    QString CompanyName;
    QString Address;
    QString Phone;
    QString Modem;
    QString COMportSettings;
    QString InitString;
    QString Type;
    int32_t DetectorSize = 0;
    QDateTime LastContactTime;  // null when never set
    QString ContactPerson;
    QString Password;
    int32_t AutoCallPeriod = 0;
};

// The station's title as the frames, printouts and pages show it: "Gate 3,  Serial# S-3".
QString stationTitle(const CSystemRset& row);

// All rows ordered by SysID. 0 or a database result code (-1 to -4).
int listSystems(const QString& connectionText, std::vector<CSystemRset>& rows);
// The same inside an operation on `conn` (runDbOperation): a failure is thrown as DbFailure.
std::vector<CSystemRset> systemRowsOn(DbConnection& conn);
std::optional<CSystemRset> systemRowOn(DbConnection& conn, int32_t sysId);
// The row of `sysId`; `row` is left empty when there is none.
int readSystem(const QString& connectionText, int32_t sysId, std::optional<CSystemRset>& row);
// Writes the port settings and the modem initialisation text of `sysId` back. A failure
// (also a SysID without a row) is written to the log as "Database error - ..." and returned.
int writeBackPortSettings(const QString& connectionText, int32_t sysId,
                          const QString& comPortSettings, const QString& initString);
// Sets the time of the last successful contact (whole seconds, local clock).
int setLastContactTime(const QString& connectionText, int32_t sysId, std::time_t when);
// Adds a row, or replaces every column of the row with the same SysID.
int saveSystem(const QString& connectionText, const CSystemRset& row);

}  // namespace vm418

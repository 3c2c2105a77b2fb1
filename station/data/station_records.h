// The records of one station as the document holds them: parameter block, alarm map,
// history map, the station's SysID and the database connection text; and the operations
// that fill them from the downloaded files and move them to and from the database.

#pragma once

#include <QString>
#include <functional>
#include <vector>

#include "para_418.h"
#include "station_db.h"
#include "station_files.h"

namespace vm418 {

// Receives the texts the user is shown (a message box in the program, a line in the tools).
using MessageSink = std::function<void(const QString&)>;

// Texts shown to the user.
inline constexpr char kCantReadParameters[] = "Can't read parameters file";
inline constexpr char kCantReadHistory[] = "Can't read history file";
inline constexpr char kCantReadAlarms[] = "Can't read alarms file";
inline constexpr char kParamBufLength[] = "Length of ParamBuf field doesn't equal sizeof(PARA_418)";
inline constexpr char kAlarmsCorrupted[] = "Error: Alarms table is corrupted!";

// Downloaded file names in the working folder.
inline constexpr char kParametersFile[] = "sys_par.418";
inline constexpr char kAlarmsFile[] = "alarmfi.418";
inline constexpr char kHistoryFile[] = "history.418";
inline constexpr char kSingleAlarmFile[] = "AlarmRec.tmp";

// What an import read from the download folder; a file that was not read is named in a
// message. A file that was read had its contents handed to the store.
struct ImportReport {
    bool parametersRead = false;
    bool historyRead = false;
    bool alarmsRead = false;
    int unreadableHistory = 0;  // slots passed over: their date could not be read
    int unreadableAlarms = 0;   // records passed over or where the alarm parse ended
    int storeResult = 0;        // 0, or the first failing store's code (DbResult)

    bool allFilesRead() const { return parametersRead && historyRead && alarmsRead; }
};

// Creates "TEMP" in the current folder and returns "TEMP/"; when it can neither be created
// nor exists, "" (files then live in the current folder).
QString prepareWorkingFolder();

class StationRecords {
  public:
    explicit StationRecords(QString folderPrefix = QStringLiteral("TEMP/"), MessageSink sink = {});

    PARA_418 parameters;
    AlarmMap alarmMap;
    HistoryMap historyMap;
    int32_t SysID = 0;
    QString connectionText;

    // Files: 0 or a negative code; an empty path means the default file of the folder. Only
    // regular files are read: a FIFO, device or folder in a file's place counts as missing.
    // After a failure fileError() says which file and why.
    int readParameters(const QString& path = {});  // -1 missing or short; block unchanged
    int readAlarms(const QString& path = {});      // -1 missing
    int mergeOneAlarm(const QString& path = {});   // the key, or -1 (missing, short, unreadable)
    int readHistory(const QString& path = {});     // -1 missing, -2 short
    QString fileError() const { return fileError_; }

    // Records of the last readAlarms / readHistory that were not taken because they could
    // not be read (see parseAlarmRing, parseHistory).
    int unreadableAlarms = 0;
    int unreadableHistory = 0;

    // Database: 0, or -1 to -4 (DbResult).
    int storeAlarms();
    int storeHistory();
    int storeParameters();
    int loadAlarms(const RecordCondition& condition = {});
    int loadHistory(const RecordCondition& condition = {});
    int loadParameters(const RecordCondition& condition = {});
    int listParameterDates(std::vector<std::time_t>& dates, const RecordCondition& condition = {});

    // "Open files": the three downloaded files of the folder read, checked and stored, each
    // file that could not be read and each count of unreadable records told to the user.
    // The alarm ring is read only with the parameter block of the same download, which
    // locates it.
    ImportReport importDownloadedFiles();

    QString filePath(const char* name) const { return folder_ + QLatin1String(name); }

  private:
    void tell(const QString& text) const;

    bool readFile(const QString& path, const char* defaultName, qint64 limit, QByteArray& out);

    QString folder_;
    MessageSink sink_;
    QString fileError_;
};

}  // namespace vm418

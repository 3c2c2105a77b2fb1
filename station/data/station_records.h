// The records of one station as the document holds them: parameter block, alarm map,
// history map, the station's SysID and the database connection text; and the operations
// that fill them from the downloaded files and move them to and from the database.

#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <functional>
#include <vector>

#include "para_418.h"
#include "station_db.h"
#include "station_files.h"

class QSqlQuery;

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
    // 0, or the failing store's code (DbResult): then nothing of the download was stored
    // and StationRecords::dbError() says why.
    int storeResult = 0;
    // Rows the store added; what was already stored is not added again.
    int storedParameters = 0;
    int storedHistory = 0;
    int storedAlarms = 0;

    bool allFilesRead() const { return parametersRead && historyRead && alarmsRead; }
};

// One stored parameter block: its key and when it was stored.
struct StoredParameters {
    int32_t SeqNum = 0;
    std::time_t DateTime = 0;
};

// The columns of one Alarms row as the database returns them.
struct AlarmRow {
    QDateTime DateTime;
    int AlarmNumber = 0, Direction = 0, Segment = 0, Speed = 0, InBG = 0, AlarmLevel = 0, OutBG = 0,
        Threshold = 0, Len = 0, Max = 0, Min = 0, Detector = 0;
    QString StatusWord, BGtime;
    QByteArray Graph;
};

// A stored alarm as a record (Index left 0). False when its graph does not hold Len values
// or Len is outside 0 to 220: the record then has Len 0 and no graph.
bool alarmFromRow(const AlarmRow& row, alarms& out);

// The columns of an alarm as every load selects them, in the order readAlarmRow reads.
inline constexpr char kAlarmColumns[] =
    "DateTime, AlarmNumber, Direction, Segment, Speed, InBG, AlarmLevel, OutBG, Threshold, "
    "Len, Max, Min, \"Detector#\", StatusWord, BGtime, Graph";
// The current row of a query that selected kAlarmColumns first; false as alarmFromRow.
bool readAlarmRow(const QSqlQuery& q, alarms& out);

// A stored ParamBuf over the start of `block`: the smaller of its length and 212 bytes.
// False when the stored length is not 212.
bool parametersFromStored(const QByteArray& stored, PARA_418& block);

// Whether a record can be stored as it is: a date the database holds (years 1 to 9999),
// Len 0 to 220 with as many graph values, texts without NUL that fit their 255 characters.
// The parsers only make such records; a record that is not is passed over by the store.
bool storableAlarm(const alarms& a);
bool storableEvent(const CHistory& h);

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

    // Database: 0, or -1 to -4 (DbResult); after a failure dbError() gives the reason. A
    // store adds what is not yet stored, in one transaction, and never stores anything
    // twice, even while another PC or process stores the same records.
    int storeAlarms();
    int storeHistory();
    int storeParameters();
    int loadAlarms(const RecordCondition& condition = {});
    int loadHistory(const RecordCondition& condition = {});
    // The newest matching block (of two stored in the same second, the one stored last).
    int loadParameters(const RecordCondition& condition = {});
    int listParameterDates(std::vector<std::time_t>& dates, const RecordCondition& condition = {});
    // The stored blocks, newest first, each with its key; and one block by its key.
    int listStoredParameters(std::vector<StoredParameters>& blocks,
                             const RecordCondition& condition = {});
    int loadStoredParameters(int32_t seqNum);
    QString dbError() const { return dbError_; }
    // Rows of the last store passed over by storableAlarm / storableEvent.
    int unstorableAlarms = 0;
    int unstorableHistory = 0;

    // "Open files": the three downloaded files of the folder read, checked and stored, each
    // file that could not be read and each count of unreadable records told to the user.
    // The alarm ring is read only with the parameter block of the same download, which
    // locates it.
    ImportReport importDownloadedFiles();

    QString filePath(const char* name) const { return folder_ + QLatin1String(name); }

  private:
    void tell(const QString& text) const;

    bool readFile(const QString& path, const char* defaultName, qint64 limit, QByteArray& out);

    // The stores' work inside a transaction that holds the station's write lock; each
    // returns the number of rows it added.
    int storeAlarmsOn(DbConnection& conn);
    int storeHistoryOn(DbConnection& conn);
    int storeParametersOn(DbConnection& conn);
    int storeInOneTransaction(const std::function<void(DbConnection&)>& body);

    QString folder_;
    MessageSink sink_;
    QString fileError_;
    QString dbError_;
    int notificationsAdded_ = 0;  // outbox rows of the store in hand
};

}  // namespace vm418

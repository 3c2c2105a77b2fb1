// The alarm ring "alarmfi.418", a single alarm "AlarmRec.tmp" and the history list
// "history.418" as the unit keeps them, and their parsed forms. Pure functions from bytes to
// records: no file or database access here.

#pragma once

#include <QString>
#include <cstdint>
#include <ctime>
#include <map>
#include <span>
#include <vector>

namespace vm418 {

// The unit keeps 15000 bytes of alarm ring.
inline constexpr int kAlarmRingSize = 15000;
inline constexpr int kMaxGraphLen = 220;
// The five ASCII pieces, status word and background time in front of the graph, and the
// four unused bytes behind it.
inline constexpr int kAlarmTextBytes = 17 + 18 + 20 + 16 + 25 + 9;
inline constexpr int kAlarmTrailerBytes = 4;
inline constexpr int kAlarmFixedBytes = kAlarmTextBytes + kAlarmTrailerBytes;
// 24th character of the status word: 'E' or 'Y' means the date is written day first.
inline constexpr int kDateOrderFlagOffset = 17 + 18 + 20 + 16 + 23;

// History: 100 slots of 28 bytes.
inline constexpr int kHistorySlots = 100;
inline constexpr int kHistorySlotSize = 28;
inline constexpr int kHistoryFileSize = kHistorySlots * kHistorySlotSize;

// One parsed alarm record.
struct alarms {
    char Direction = 'N';  // 'I' in, 'O' out, 'N' none
    int16_t AlarmNumber = 0;
    int16_t Segment = 0;
    int16_t Speed = 0;
    int16_t InBG = 0;          // x10
    std::time_t DateTime = 0;  // local time
    int16_t AlarmLevel = 0;
    int16_t OutBG = 0;      // x10
    int32_t Threshold = 0;  // x10
    int16_t Len = 0;        // number of graph points, 0 to 220
    int16_t Max = 0;        // x10
    int16_t Min = 0;        // x10
    char Detector = 0;
    char StatusWord[25] = {};    // 24 characters and NUL
    char BGtime[9] = {};         // 8 characters and NUL
    int32_t Index = 0;           // running number in this load, the map key
    std::vector<int32_t> Graph;  // Len values, owned by the record

    QString statusWordText() const;
    QString bgTimeText() const;
};

// One history event.
struct CHistory {
    int32_t SeqNum = 0;
    QString Event;
    std::time_t DateTime = 0;
    QString Note;  // every load leaves it empty
};

// The document's maps, keyed by running number, iterated in ascending key order.
using AlarmMap = std::map<int, alarms>;
using HistoryMap = std::map<int, CHistory>;

// What reading one record found. Each text piece is scanned as the unit writes it: the
// numbers, then whatever trails them is passed over. A record's length is known when its
// Len was read and is 0 to 220; it is taken when every value of its pieces was read and its
// date is a real date and time.
struct AlarmParse {
    enum Status {
        Ok,          // `out` holds the record
        Unreadable,  // a value missing or an impossible date: passed over, `out` untouched
        Malformed,   // no Len of 0..220 (or an offset outside 0..15000): its length is unknown
    };
    Status status;
    int next;  // the ring offset behind the record; -1 when Malformed
};
AlarmParse parseAlarmRecord(int offset, alarms& out, std::span<const uint8_t, kAlarmRingSize> ring);

// Parses the record at ring offset `offset` into `out` (a fresh record each time). Returns
// the ring offset behind the record, or -1 when it is not taken (see AlarmParse). Offset
// 15000 is the same place as 0.
int parseOneAlarm(int offset, alarms& out, std::span<const uint8_t, kAlarmRingSize> ring);

// The records between `start` and `end`, oldest first, keyed 1, 2, ... An Unreadable record
// is passed over and the parse goes on behind it; a Malformed one ends the parse and the
// records before it stay. `unreadable` receives the number of records not taken.
AlarmMap parseAlarmRing(std::span<const uint8_t, kAlarmRingSize> ring, int start, int end,
                        int* unreadable = nullptr);

// Merges one record into the map: an entry with the same DateTime and AlarmNumber keeps its
// key, else the record is added one above the largest key (1 taken as the largest of an
// empty map). Returns the key.
int mergeAlarm(AlarmMap& map, alarms record);

// The used slots of "history.418" (exactly kHistoryFileSize bytes). A dated slot whose date
// cannot be read or is impossible is passed over, and so are the continuation slots behind
// it, whose time is then unknown; `unreadable` receives the number of slots passed over.
HistoryMap parseHistory(std::span<const uint8_t, kHistoryFileSize> file, int* unreadable = nullptr);

// The ring image of a file: its first 15000 bytes, zero bytes past a short file's end.
std::vector<uint8_t> ringImage(std::span<const uint8_t> file);

}  // namespace vm418

// Parsing the alarm ring, a single alarm and the history list against hand-made bytes.

#include <gtest/gtest.h>

#include <algorithm>

#include "station_golden.h"

namespace vm418 {
namespace {

using namespace golden;

std::span<const uint8_t, kAlarmRingSize> ringSpan(const std::vector<uint8_t>& ring) {
    return std::span<const uint8_t, kAlarmRingSize>(ring.data(), kAlarmRingSize);
}

std::span<const uint8_t, kHistoryFileSize> historySpan(const std::vector<uint8_t>& f) {
    return std::span<const uint8_t, kHistoryFileSize>(f.data(), kHistoryFileSize);
}

void expectLocal(std::time_t t, int year, int month, int day, int h, int m, int s) {
    const std::tm tm = localFields(t);
    EXPECT_EQ(tm.tm_year + 1900, year);
    EXPECT_EQ(tm.tm_mon + 1, month);
    EXPECT_EQ(tm.tm_mday, day);
    EXPECT_EQ(tm.tm_hour, h);
    EXPECT_EQ(tm.tm_min, m);
    EXPECT_EQ(tm.tm_sec, s);
}

TEST(AlarmRecord, GoldenRecordParsesEveryField) {
    auto ring = emptyRing();
    putRecord(ring, 0, std::string(kRecordA, kRecordASize));
    alarms a;
    ASSERT_EQ(parseOneAlarm(0, a, ringSpan(ring)), kRecordASize);
    EXPECT_EQ(a.Direction, 'I');
    EXPECT_EQ(a.AlarmNumber, 50);
    EXPECT_EQ(a.Segment, 3);
    EXPECT_EQ(a.Speed, 45);
    EXPECT_EQ(a.InBG, 120);
    expectLocal(a.DateTime, 1999, 3, 4, 10, 20, 30);
    EXPECT_EQ(a.AlarmLevel, 7);
    EXPECT_EQ(a.OutBG, 150);
    EXPECT_EQ(a.Threshold, 2500);
    EXPECT_EQ(a.Len, 3);
    EXPECT_EQ(a.Max, 8800);
    EXPECT_EQ(a.Min, 400);
    EXPECT_EQ(a.Detector, 'C');
    EXPECT_EQ(a.statusWordText(), "ABCDEFGHIJKLMNOPQRSTUVWU");
    EXPECT_EQ(a.StatusWord[24], '\0');
    EXPECT_EQ(a.bgTimeText(), "00:12:30");
    EXPECT_EQ(a.Graph, (std::vector<int32_t>{100, 200, -1}));
}

// Coded alarm numbers: 101..199 in, 201.. out, anything else (<= 100 or exactly 200) none.
TEST(AlarmRecord, DirectionDecodedFromTheCodedNumber) {
    const struct {
        const char* coded;
        char direction;
        int number;
    } cases[] = {{"150", 'I', 50}, {"250", 'O', 50},  {"200", 'N', 200}, {"50", 'N', 50},
                 {"101", 'I', 1},  {"100", 'N', 100}, {"201", 'O', 1}};
    for (const auto& c : cases) {
        auto ring = emptyRing();
        putRecord(ring, 0,
                  alarmRecord(std::string(c.coded) + " 1 1 1", "01-02-03 04:05:06", "1 1 1 0",
                              "1 1 A", "U"));
        alarms a;
        ASSERT_GT(parseOneAlarm(0, a, ringSpan(ring)), 0) << c.coded;
        EXPECT_EQ(a.Direction, c.direction) << c.coded;
        EXPECT_EQ(a.AlarmNumber, c.number) << c.coded;
    }
}

// The 24th status character 'E' or 'Y' turns the date day first; years below 71 are 20xx.
TEST(AlarmRecord, DateOrderFlagAndTwoDigitYears) {
    const struct {
        const char* date;
        char flag;
        int year, month, day;
    } cases[] = {{"03-04-99 10:20:30", 'U', 1999, 3, 4}, {"03-04-99 10:20:30", 'E', 1999, 4, 3},
                 {"03-04-99 10:20:30", 'Y', 1999, 4, 3}, {"03-04-99 10:20:30", ' ', 1999, 3, 4},
                 {"01-02-70 10:20:30", 'U', 2070, 1, 2}, {"01-02-71 10:20:30", 'U', 1971, 1, 2}};
    for (const auto& c : cases) {
        auto ring = emptyRing();
        putRecord(
            ring, 100,
            alarmRecord("150 1 1 1", c.date, "1 1 1 0", "1 1 A", std::string(23, 'x') + c.flag));
        alarms a;
        ASSERT_GT(parseOneAlarm(100, a, ringSpan(ring)), 0) << c.date << c.flag;
        expectLocal(a.DateTime, c.year, c.month, c.day, 10, 20, 30);
    }
}

TEST(AlarmRecord, RecordNearTheEndWrapsToByteZeroAndReadsMonthFirst) {
    auto ring = emptyRing();
    const std::string rec = alarmRecord("250 2 60 5", "03-04-99 10:20:30", "9 1 10 2", "5 1 G",
                                        std::string(23, 'x') + 'E', {7, 8});
    putRecord(ring, 14990, rec);
    alarms a;
    EXPECT_EQ(parseOneAlarm(14990, a, ringSpan(ring)), int(14990 + rec.size()) - kAlarmRingSize);
    EXPECT_EQ(a.Direction, 'O');
    expectLocal(a.DateTime, 1999, 3, 4, 10, 20, 30);  // the flag lies past the ring's end
    EXPECT_EQ(a.Graph, (std::vector<int32_t>{7, 8}));
    EXPECT_EQ(a.Detector, 'G');
}

TEST(AlarmRecord, OffsetsOutsideTheRingFailAndTheEndIsTheStart) {
    auto ring = emptyRing();
    putRecord(ring, 0, std::string(kRecordA, kRecordASize));
    alarms a;
    EXPECT_EQ(parseOneAlarm(-1, a, ringSpan(ring)), -1);
    EXPECT_EQ(parseOneAlarm(15001, a, ringSpan(ring)), -1);
    EXPECT_EQ(parseOneAlarm(15000, a, ringSpan(ring)), kRecordASize);
    EXPECT_EQ(a.AlarmNumber, 50);
}

TEST(AlarmRecord, GraphLengthOutsideTheRangeFails) {
    for (const char* len : {"-1", "221"}) {
        auto ring = emptyRing();
        putRecord(ring, 0,
                  alarmRecord("150 1 1 1", "01-02-03 04:05:06", std::string("1 1 1 ") + len,
                              "1 1 A", "U"));
        alarms a;
        EXPECT_EQ(parseOneAlarm(0, a, ringSpan(ring)), -1) << len;
    }
}

// A record is taken only when every value of its pieces was read and its date is one a
// clock can show; anything else would be stored as an alarm the unit never registered. What
// trails the values of a piece is passed over, as the unit's own scans pass it over. Without
// its Len the record's length is unknown.
TEST(AlarmRecord, MissingValuesAndImpossibleDatesAreNotTaken) {
    const struct {
        const char *numbers, *date, *levels, *counts, *status;
        AlarmParse::Status expected;
    } cases[] = {
        // Values missing.
        {"150 1 1", "01-02-03 04:05:06", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "01-02-03 04:05", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "01-02-03", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "01-02-03 04:05:06", "1 1 1", "1 1 A", "U", AlarmParse::Malformed},
        {"150 1 1 1", "01-02-03 04:05:06", "1 1 1 2", "1 1", "U", AlarmParse::Unreadable},
        // Text behind the values.
        {"150 1 1 1 x", "01-02-03 04:05:06", "1 1 1 2", "1 1 A", "U", AlarmParse::Ok},
        {"150 1 1 1", "01-02-03 04:05:06", "1 1 1 2", "1 1 AB", "U", AlarmParse::Ok},
        {"150 1 1 1", "01-02-03 04:05:06Z", "1 1 1 2 x", "1 1 A", "U", AlarmParse::Ok},
        // Dates out of range, month first and day first.
        {"150 1 1 1", "00-10-99 10:20:30", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "13-10-99 10:20:30", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "04-31-99 10:20:30", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "31-04-99 10:20:30", "1 1 1 2", "1 1 A", "E", AlarmParse::Unreadable},
        {"150 1 1 1", "02-29-99 10:20:30", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "02-00-99 10:20:30", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "02-10-99 24:00:00", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "02-10-99 10:60:00", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "02-10-99 10:20:60", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        {"150 1 1 1", "02-10-99 -1:20:30", "1 1 1 2", "1 1 A", "U", AlarmParse::Unreadable},
        // The last day of each kind of month, and a NUL ('|' here) ending a piece early.
        {"150 1 1 1", "02-29-00 23:59:59", "1 1 1 2", "1 1 A", "U", AlarmParse::Ok},
        {"150 1 1 1", "31-12-99 00:00:00", "1 1 1 2", "1 1 A", "Y", AlarmParse::Ok},
        {"150 1 1 1", "04-30-99 10:20:30", "1 1 1 2", "1 1 A", "U", AlarmParse::Ok},
        {"150 1 1 1|xyz", "04-30-99 10:20:30", "1 1 1 2", "1 1 A", "U", AlarmParse::Ok},
    };
    for (const auto& c : cases) {
        auto ring = emptyRing();
        std::string numbers = c.numbers;
        std::replace(numbers.begin(), numbers.end(), '|', '\0');
        const std::string rec = alarmRecord(numbers, c.date, c.levels, c.counts,
                                            std::string(23, 'x') + c.status, {1, 2});
        putRecord(ring, 0, rec);
        alarms a;
        a.AlarmNumber = -7;
        const AlarmParse p = parseAlarmRecord(0, a, ringSpan(ring));
        const std::string what = std::string(c.numbers) + "|" + c.date + "|" + c.levels + "|" +
                                 c.counts + "|" + c.status;
        EXPECT_EQ(p.status, c.expected) << what;
        // A record that was read but not taken still says where the next one starts.
        EXPECT_EQ(p.next, c.expected == AlarmParse::Malformed ? -1 : int(rec.size())) << what;
        EXPECT_EQ(a.AlarmNumber, c.expected == AlarmParse::Ok ? 50 : -7) << what;
        EXPECT_EQ(parseOneAlarm(0, a, ringSpan(ring)), c.expected == AlarmParse::Ok ? p.next : -1)
            << what;
    }
}

// Bytes that are not a record give nothing: zero bytes and the two bytes of a single alarm
// that was not there.
TEST(AlarmRecord, GarbageGivesNoRecord) {
    alarms a;
    EXPECT_EQ(parseOneAlarm(0, a, ringSpan(emptyRing())), -1);
    const std::vector<uint8_t> twoBytes = ringImage(std::vector<uint8_t>{'1', '2'});
    EXPECT_EQ(parseOneAlarm(0, a, ringSpan(twoBytes)), -1);
}

std::string numbered(int n, int len = 0) {
    return alarmRecord(std::to_string(100 + n) + " 1 1 1", "01-02-03 04:05:06",
                       "1 1 1 " + std::to_string(len), "1 1 A", "U", std::vector<int32_t>(len, n));
}

TEST(AlarmRing, RecordsBetweenTheOffsetsKeyedInFileOrder) {
    auto ring = emptyRing();
    int at = 14800;  // the first record wraps
    const int start = at;
    for (int n = 1; n <= 3; ++n) {
        const std::string r = numbered(n, 30);
        putRecord(ring, at, r);
        at = (at + int(r.size())) % kAlarmRingSize;
    }
    const AlarmMap map = parseAlarmRing(ringSpan(ring), start, at);
    ASSERT_EQ(map.size(), 3u);
    for (const auto& [key, a] : map) {
        EXPECT_EQ(a.Index, key);
        EXPECT_EQ(a.AlarmNumber, key);
        EXPECT_EQ(a.Graph, std::vector<int32_t>(30, key));
    }
}

TEST(AlarmRing, EqualOffsetsGiveAnEmptyMap) {
    auto ring = emptyRing();
    putRecord(ring, 0, numbered(1));
    EXPECT_TRUE(parseAlarmRing(ringSpan(ring), 0, 0).empty());
    EXPECT_TRUE(parseAlarmRing(ringSpan(ring), 15000, 0).empty());
}

TEST(AlarmRing, BadLengthStopsTheParseAndKeepsEarlierRecords) {
    auto ring = emptyRing();
    const std::string first = numbered(1, 2);
    putRecord(ring, 0, first);
    putRecord(ring, int(first.size()),
              alarmRecord("102 1 1 1", "01-02-03 04:05:06", "1 1 1 999", "1 1 A", "U"));
    int unreadable = -1;
    const AlarmMap map = parseAlarmRing(ringSpan(ring), 0, 5000, &unreadable);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.at(1).AlarmNumber, 1);
    EXPECT_EQ(unreadable, 1);
}

// A record that cannot be read is passed over and the ring goes on behind it, where its Len
// says; text behind the values of a piece is no reason to pass a record over. A ring read
// from the wrong place, or a short file's zero bytes, give nothing made up.
TEST(AlarmRing, UnreadableRecordsAreSkippedAndCounted) {
    const struct {
        const char *numbers, *date, *counts;
        int taken;
    } seconds[] = {
        {"102 1 1 1", "00-00-00 00:00:00", "1 1 A", 2},   // an impossible date
        {"x 1 1 1", "01-02-03 04:05:06", "1 1 A", 2},     // no numbers at all
        {"102 1 1 1", "01-02-03 04:05:06", "1 1 A1", 3},  // detector "A1"
        {"102 1 1 1 ?!", "01-02-03 04:05:06", "1 1 A", 3},
        {"102 1 1 1", "01-02-03 04:05:06*", "1 1 A", 3},  // the date's 18th byte
    };
    std::vector<uint8_t> ring;
    int end = 0;
    for (const auto& c : seconds) {
        ring = emptyRing();
        end = 0;
        for (const std::string& r :
             {numbered(1, 2), alarmRecord(c.numbers, c.date, "1 1 1 3", c.counts, "U", {9, 9, 9}),
              numbered(3, 1)}) {
            putRecord(ring, end, r);
            end += int(r.size());
        }
        int unreadable = -1;
        const AlarmMap map = parseAlarmRing(ringSpan(ring), 0, end, &unreadable);
        ASSERT_EQ(map.size(), size_t(c.taken)) << c.numbers << "|" << c.date << "|" << c.counts;
        EXPECT_EQ(map.at(1).AlarmNumber, 1);
        EXPECT_EQ(map.rbegin()->second.AlarmNumber, 3);
        EXPECT_EQ(map.rbegin()->second.Index, c.taken);
        EXPECT_EQ(unreadable, 3 - c.taken);
    }

    int unreadable = -1;
    AlarmMap map = parseAlarmRing(ringSpan(ring), 5, end, &unreadable);  // into the first record
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(unreadable, 1);
    map = parseAlarmRing(ringSpan(ring), 0, end + 200, &unreadable);  // on into zero bytes
    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(unreadable, 1);
    map = parseAlarmRing(ringSpan(emptyRing()), 0, 500, &unreadable);
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(unreadable, 1);
}

TEST(AlarmRing, UnreachableEndStopsWhenTheRingIsUsedUp) {
    // 120 records of 125 bytes fill the ring exactly; an end offset inside one is never met.
    auto ring = emptyRing();
    for (int n = 0; n < 120; ++n)
        putRecord(ring, n * 125, numbered(1 + n % 90, 4));
    int unreadable = -1;
    const AlarmMap map = parseAlarmRing(ringSpan(ring), 0, 1, &unreadable);
    EXPECT_EQ(map.size(), 120u);
    EXPECT_EQ(unreadable, 0);
}

alarms parsed(const std::string& record) {
    auto ring = emptyRing();
    putRecord(ring, 0, record);
    alarms a;
    EXPECT_GT(parseOneAlarm(0, a, ringSpan(ring)), 0);
    return a;
}

TEST(AlarmMerge, ExistingAlarmKeepsItsKeyNewOnesGoAboveTheLargest) {
    AlarmMap map;
    EXPECT_EQ(mergeAlarm(map, parsed(numbered(1))), 2);  // an empty map starts at key 2
    EXPECT_EQ(map.at(2).Index, 2);

    map.clear();
    for (int k = 1; k <= 5; ++k) {
        alarms a = parsed(numbered(k));
        a.Index = k;
        map[k] = a;
    }
    EXPECT_EQ(mergeAlarm(map, parsed(numbered(3))), 3);
    EXPECT_EQ(map.size(), 5u);
    EXPECT_EQ(mergeAlarm(map, parsed(numbered(9))), 6);
    EXPECT_EQ(map.at(6).AlarmNumber, 9);
}

TEST(History, DatedSlotsContinuationsAndTheTwoDigitYearRule) {
    const auto file = historyFile({
        historySlot("NOTE", "MORE TEXT WITHOUT"),  // no date yet: dropped
        historySlot("ALARM ", "12-31-38 23:59:59"),
        historySlot("POWER", "01-01-39 00:00:00"),
        historySlot("DOOR  ", "OPEN BY OPERATOR12"),  // continuation: previous slot's time
        historySlot("RESET", "05-06-07 08:09:10", false),
        historySlot("LOST", "05-06-07 08:09:10"),
    });
    const HistoryMap map = parseHistory(historySpan(file));
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(map.at(1).Event, "ALARM ");
    expectLocal(map.at(1).DateTime, 2038, 12, 31, 23, 59, 59);
    EXPECT_EQ(map.at(2).Event, "POWER ");
    expectLocal(map.at(2).DateTime, 1939, 1, 1, 0, 0, 0);
    EXPECT_EQ(map.at(3).Event, "DOOR  OPEN BY OPERATOR12");
    EXPECT_EQ(map.at(3).DateTime, map.at(2).DateTime);
    for (const auto& [key, h] : map) {
        EXPECT_EQ(h.SeqNum, key);
        EXPECT_TRUE(h.Note.isEmpty());
    }
}

// A dated slot whose date cannot be read, or is impossible, is passed over with the
// continuation slots behind it: their time is that unreadable date.
TEST(History, UnreadableDatesAreSkippedWithTheirContinuations) {
    const auto file = historyFile({
        historySlot("START", "12-01-08 08:00:00"),
        historySlot("BAD", "13-01-08 08:00:00"),     // month 13
        historySlot("MORE", "TEXT OF THE BAD ONE"),  // continuation of it
        historySlot("DOOR", "12-01-08 08:05:00"),
        historySlot("CUT", "12-01-08 08:05  "),  // seconds missing
        historySlot("FEB", "02-30-08 08:00:00"),
        historySlot("HOUR", "12-01-08 25:00:00"),
        historySlot("JUNK", "12-01-08 08:05:00x"),  // text behind the time is passed over
        historySlot("LEAP", "02-29-08 23:59:59"),
        historySlot("TAIL", "AFTER A GOOD DATE"),
    });
    int unreadable = -1;
    const HistoryMap map = parseHistory(historySpan(file), &unreadable);
    ASSERT_EQ(map.size(), 5u);
    EXPECT_EQ(map.at(1).Event, "START ");
    EXPECT_EQ(map.at(2).Event, "DOOR  ");
    EXPECT_EQ(map.at(3).Event, "JUNK  ");
    expectLocal(map.at(3).DateTime, 2008, 12, 1, 8, 5, 0);
    EXPECT_EQ(map.at(4).Event, "LEAP  ");
    expectLocal(map.at(4).DateTime, 2008, 2, 29, 23, 59, 59);
    EXPECT_EQ(map.at(5).Event, "TAIL  AFTER A GOOD DATE");
    EXPECT_EQ(map.at(5).DateTime, map.at(4).DateTime);
    EXPECT_EQ(unreadable, 5);

    // Zero bytes carry no end marker: nothing, and nothing unreadable.
    EXPECT_TRUE(parseHistory(historySpan(historyFile({})), &unreadable).empty());
    EXPECT_EQ(unreadable, 0);
}

TEST(History, UnmarkedFirstSlotGivesAnEmptyMap) {
    const auto file = historyFile({historySlot("ALARM", "12-31-38 23:59:59", false),
                                   historySlot("POWER", "01-01-39 00:00:00")});
    EXPECT_TRUE(parseHistory(historySpan(file)).empty());
}

}  // namespace
}  // namespace vm418

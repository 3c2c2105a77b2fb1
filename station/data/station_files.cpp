#include "station_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vm418 {

namespace {

// Takes bytes from the ring at a running offset that wraps from the ring's end to byte 0.
class RingReader {
  public:
    RingReader(std::span<const uint8_t, kAlarmRingSize> ring, int pos) : ring_(ring), pos_(pos) {}

    uint8_t next() {
        const uint8_t b = ring_[pos_];
        pos_ = (pos_ + 1) % kAlarmRingSize;
        return b;
    }
    // n bytes into dst, followed by a NUL (dst holds n + 1 bytes).
    void text(char* dst, int n) {
        for (int i = 0; i < n; ++i)
            dst[i] = static_cast<char>(next());
        dst[n] = '\0';
    }
    int32_t le32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(next()) << (8 * i);
        return static_cast<int32_t>(v);
    }
    void skip(int n) { pos_ = (pos_ + n) % kAlarmRingSize; }
    int pos() const { return pos_; }

  private:
    std::span<const uint8_t, kAlarmRingSize> ring_;
    int pos_;
};

// Local time from broken-down fields; daylight saving is the system's to decide.
std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// A date and time the unit's clock can show: mktime would quietly turn 31 April into 1 May
// and month 0 into December of the year before.
bool isRealDate(int year, int month, int day, int hour, int minute, int second) {
    constexpr int kFirstYear = 1900, kLastYear = 9999;
    if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1) return false;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= days && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 &&
           second <= 59;
}

// The stored values are tenths and keep the unit's own field widths: an absurd count
// wraps as it does in the unit instead of overflowing here.
template <typename Field>
Field times10(long long v) {
    return static_cast<Field>(static_cast<unsigned long long>(v) * 10u);
}

QString fixedText(const char* s, std::size_t n) {
    return QString::fromLatin1(s, static_cast<qsizetype>(strnlen(s, n)));
}

}  // namespace

QString alarms::statusWordText() const {
    return fixedText(StatusWord, sizeof StatusWord);
}
QString alarms::bgTimeText() const {
    return fixedText(BGtime, sizeof BGtime);
}

AlarmParse parseAlarmRecord(int offset, alarms& out,
                            std::span<const uint8_t, kAlarmRingSize> ring) {
    constexpr AlarmParse kMalformed{AlarmParse::Malformed, -1};
    if (offset < 0 || offset > kAlarmRingSize) return kMalformed;
    if (offset == kAlarmRingSize) offset = 0;
    // A record starting too near the ring's end to hold its flag in place reads month first.
    const char flag = offset + kDateOrderFlagOffset < kAlarmRingSize
                          ? static_cast<char>(ring[offset + kDateOrderFlagOffset])
                          : 'U';
    RingReader r(ring, offset);
    alarms a;
    char buf[32];
    // The unit's scans take the numbers of a piece and pass over whatever trails them; a
    // piece that does not yield all its values makes the record unreadable.
    bool readable = true;

    short coded = 0, segment = 0, speed = 0, inBG = 0;
    r.text(buf, 17);
    readable &= std::sscanf(buf, "%hd%hd%hd%hd", &coded, &segment, &speed, &inBG) == 4;
    if (coded > 100 && coded < 200) {
        a.Direction = 'I';
        a.AlarmNumber = static_cast<int16_t>(coded - 100);
    } else if (coded > 200) {
        a.Direction = 'O';
        a.AlarmNumber = static_cast<int16_t>(coded - 200);
    } else {
        a.Direction = 'N';
        a.AlarmNumber = coded;
    }
    a.Segment = segment;
    a.Speed = speed;

    int f[6] = {};
    r.text(buf, 18);
    const bool dateRead =
        std::sscanf(buf, "%d-%d-%d %d:%d:%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]) == 6;
    const bool dayFirst = flag == 'Y' || flag == 'E';
    int year = f[2];
    if (year >= 0 && year < 100) year += year < 71 ? 2000 : 1900;
    const int month = dayFirst ? f[1] : f[0];
    const int day = dayFirst ? f[0] : f[1];
    const bool realDate = dateRead && isRealDate(year, month, day, f[3], f[4], f[5]);
    if (realDate) a.DateTime = localTime(year, month, day, f[3], f[4], f[5]);
    readable &= realDate;

    short level = 0, outBG = 0, len = 0;
    long threshold = 0;
    r.text(buf, 20);
    // Without its Len the record's length, and so where the next one starts, is unknown.
    if (std::sscanf(buf, "%hd%hd%ld%hd", &level, &outBG, &threshold, &len) != 4) return kMalformed;
    a.AlarmLevel = level;
    a.Len = len;

    int max = 0, min = 0;
    char detector[2] = {};
    r.text(buf, 16);
    readable &= std::sscanf(buf, "%d%d%1s", &max, &min, detector) == 3;
    a.Detector = detector[0];

    r.text(a.StatusWord, 24);
    r.skip(1);  // the 25th byte becomes the terminator
    r.text(a.BGtime, 8);
    r.skip(1);

    if (len < 0 || len > kMaxGraphLen) return kMalformed;
    a.Graph.resize(len);
    for (auto& v : a.Graph)
        v = r.le32();
    r.skip(kAlarmTrailerBytes);
    // The record's length is known: one that was not read whole, or whose date is
    // impossible, is passed over without being taken for an alarm.
    if (!readable) return {AlarmParse::Unreadable, r.pos()};

    a.OutBG = times10<int16_t>(outBG);
    a.Threshold = times10<int32_t>(threshold);
    a.InBG = times10<int16_t>(inBG);
    a.Max = times10<int16_t>(max);
    a.Min = times10<int16_t>(min);
    out = std::move(a);
    return {AlarmParse::Ok, r.pos()};
}

int parseOneAlarm(int offset, alarms& out, std::span<const uint8_t, kAlarmRingSize> ring) {
    const AlarmParse p = parseAlarmRecord(offset, out, ring);
    return p.status == AlarmParse::Ok ? p.next : -1;
}

AlarmMap parseAlarmRing(std::span<const uint8_t, kAlarmRingSize> ring, int start, int end,
                        int* unreadable) {
    AlarmMap map;
    int skipped = 0;
    if (end == kAlarmRingSize) end = 0;
    if (start == kAlarmRingSize) start = 0;
    // A ring cannot hold more records than fit in its bytes; a corrupt end offset must not
    // make the parse go round for ever.
    int consumed = 0;
    int pos = start;
    for (int key = 1; pos != end;) {
        alarms a;
        const AlarmParse p = parseAlarmRecord(pos, a, ring);
        if (p.status == AlarmParse::Malformed) {
            // Where the next record would start is unknown: the rest of the ring is lost.
            ++skipped;
            break;
        }
        consumed += (p.next - pos + kAlarmRingSize) % kAlarmRingSize;
        if (consumed > kAlarmRingSize) break;
        if (p.status == AlarmParse::Unreadable) {
            ++skipped;
        } else {
            a.Index = key;
            map.emplace(key, std::move(a));
            ++key;
        }
        pos = p.next;
    }
    if (unreadable) *unreadable = skipped;
    return map;
}

int mergeAlarm(AlarmMap& map, alarms record) {
    for (const auto& [key, a] : map) {
        if (a.DateTime == record.DateTime && a.AlarmNumber == record.AlarmNumber) return key;
    }
    const int largest = map.empty() ? 1 : map.rbegin()->first;
    const int key = largest + 1;
    record.Index = key;
    map[key] = std::move(record);
    return key;
}

HistoryMap parseHistory(std::span<const uint8_t, kHistoryFileSize> file, int* unreadable) {
    constexpr int kCodeLen = 6, kDateLen = 18, kMarkerAt = 24;
    HistoryMap map;
    // No time yet: before the first dated slot (those slots are dropped, as the list may
    // start with the tail of an event the unit has overwritten), or behind a slot whose date
    // could not be read (those are passed over as unreadable).
    enum class Time { None, Known, Lost } time = Time::None;
    std::time_t current = 0;
    int skipped = 0;
    int key = 1;
    for (int slot = 0; slot < kHistorySlots; ++slot) {
        const uint8_t* s = file.data() + slot * kHistorySlotSize;
        if (!std::all_of(s + kMarkerAt, s + kHistorySlotSize, [](uint8_t b) { return b == 0xFF; }))
            break;
        const char* code = reinterpret_cast<const char*>(s);
        const char* date = code + kCodeLen;
        QString event = fixedText(code, kCodeLen);
        if (date[8] == ' ') {
            char buf[kDateLen + 1];
            std::memcpy(buf, date, kDateLen);
            buf[kDateLen] = '\0';
            int f[6] = {};
            // As the unit's scan: all six numbers, whatever trails them (a pad byte or text).
            const int converted =
                std::sscanf(buf, "%d-%d-%d %d:%d:%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
            int year = f[2];
            if (year >= 0 && year < 100) year += year > 38 ? 1900 : 2000;
            if (converted == 6 && isRealDate(year, f[0], f[1], f[3], f[4], f[5])) {
                current = localTime(year, f[0], f[1], f[3], f[4], f[5]);
                time = Time::Known;
            } else {
                time = Time::Lost;
            }
        } else {
            // No date: the field continues the event text and the event keeps the time
            // of the last dated slot.
            event += fixedText(date, kDateLen);
        }
        if (time == Time::None) continue;
        if (time == Time::Lost) {
            ++skipped;
            continue;
        }
        map[key] = CHistory{key, event, current, {}};
        ++key;
    }
    if (unreadable) *unreadable = skipped;
    return map;
}

std::vector<uint8_t> ringImage(std::span<const uint8_t> file) {
    std::vector<uint8_t> ring(kAlarmRingSize, 0);
    std::copy_n(file.begin(), std::min<std::size_t>(file.size(), kAlarmRingSize), ring.begin());
    return ring;
}

}  // namespace vm418

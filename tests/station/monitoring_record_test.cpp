// The unit's monitoring answer: decoding from golden bytes, the region values, the texts of
// the monitoring view and the console line, and records cut short on the line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "monitoring_record.h"

using namespace station;

// Failures show texts as texts.
void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

using Bytes = std::vector<uint8_t>;

// An answer as the unit lays it out: 12 counts, 6 unused bytes, error bits, W1, W2, 4 unused
// bytes, background rates A C B D E F, date and time in 10-byte fields. The unused bytes are
// filled with 0xEE so that reading them by mistake shows.
struct RecordBytes {
    int16_t counts[12] = {};
    uint16_t errors = 0;
    uint16_t w1 = 0;
    uint16_t w2 = 0;
    int32_t bgOnLine[6] = {};  // in line order A, C, B, D, E, F
    char date[10] = {};
    char time[10] = {};

    Bytes Build() const {
        Bytes b;
        auto add = [&b](uint32_t v, int width) {
            for (int i = 0; i < width; ++i)
                b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        for (int16_t c : counts)
            add(static_cast<uint16_t>(c), 2);
        b.insert(b.end(), 6, 0xEE);
        add(errors, 2);
        add(w1, 2);
        add(w2, 2);
        b.insert(b.end(), 4, 0xEE);
        for (int32_t v : bgOnLine)
            add(static_cast<uint32_t>(v), 4);
        b.insert(b.end(), date, date + 10);
        b.insert(b.end(), time, time + 10);
        return b;
    }
};

MonitoringRecord Decoded(const Bytes& b) {
    const auto r = DecodeMonitoringRecord(b.data(), b.size());
    EXPECT_TRUE(r);
    return r.value_or(MonitoringRecord{});
}

MonitoringRecord WithCounts(std::initializer_list<int16_t> counts) {
    RecordBytes rb;
    std::copy(counts.begin(), counts.end(), rb.counts);
    return Decoded(rb.Build());
}

}  // namespace

// A whole answer written out byte by byte, as it came from a unit, and every field of it.
TEST(MonitoringRecordTest, GoldenAnswerDecodesEveryFieldAndGivesTheConsoleLine) {
    const Bytes golden = {0xCD, 0x00, 0xCD, 0x00,              // A1 205, A2 205
                          0xC5, 0x00, 0xC6, 0x00,              // B1 197, B2 198
                          0xC9, 0x00, 0xC9, 0x00,              // C1 201, C2 201
                          0xC2, 0x00, 0xC2, 0x00,              // D1 194, D2 194
                          0xC8, 0x00, 0xC9, 0x00,              // E1 200, E2 201
                          0xC7, 0x00, 0xC8, 0x00,              // F1 199, F2 200
                          0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,  // unused
                          0x00, 0x00,                          // no channel in error
                          0x00, 0x80,                          // W1: region AB
                          0x00, 0x00,                          // W2
                          0xEE, 0xEE, 0xEE, 0xEE,              // unused
                          0xC9, 0x00, 0x00, 0x00,              // A 201
                          0xC8, 0x00, 0x00, 0x00,              // C 200
                          0xC6, 0x00, 0x00, 0x00,              // B 198
                          0xC5, 0x00, 0x00, 0x00,              // D 197
                          0xCA, 0x00, 0x00, 0x00,              // E 202
                          0xC7, 0x00, 0x00, 0x00,              // F 199
                          '1',  '2',  '-',  '0',  '9',  '-',  '2', '6', 0x00, 0x00,   // date
                          '1',  '0',  ':',  '1',  '5',  ':',  '0', '2', 0x00, 0x00};  // time
    ASSERT_EQ(golden.size(), kMonitoringRecordBytes);
    const auto r = Decoded(golden);
    EXPECT_EQ(r.counts[0], 205);
    EXPECT_EQ(r.counts[11], 200);
    EXPECT_EQ(r.w1, 0x8000);
    EXPECT_EQ(r.w2, 0);
    EXPECT_EQ(r.errorBits, 0);
    EXPECT_EQ(r.date, "12-09-26");
    EXPECT_EQ(r.time, "10:15:02");
    EXPECT_FALSE(NewAlarmWaiting(r));
    EXPECT_EQ(MonitoringLine(r, false),
              "12-09-26 10:15:02  A 410 B 395 C 402 D 388 E 401 F 399 SUM 2395"
              "  BG A 201 B 198 C 200 D 197 E 202 F 199  Monitoring region AB  errors -");
    // Stopped for a setting change, with two channels in error.
    RecordBytes rb;
    rb.errors = 0x0005;
    rb.w1 = 0x8001;
    std::strcpy(rb.date, "1-2-3");
    EXPECT_EQ(MonitoringLine(Decoded(rb.Build()), true),
              "   1-2-3           A 0 B 0 C 0 D 0 E 0 F 0 SUM 0"
              "  BG A 0 B 0 C 0 D 0 E 0 F 0  Remote Setup  errors A1C1");
}

// The line carries the background rates A, C, B, D, E, F; each reads back under its region,
// and a rate is taken as a signed 32-bit number.
TEST(MonitoringRecordTest, BackgroundRatesAreReorderedFromTheLineToTheirRegions) {
    RecordBytes rb;
    const int32_t onLine[6] = {70000, 3, 2, 4, 5, -1};  // A C B D E F
    std::copy(onLine, onLine + 6, rb.bgOnLine);
    const auto r = Decoded(rb.Build());
    const char* expected[6] = {"70000", "2", "3", "4", "5", "-1"};  // A B C D E F
    for (int region = 0; region < 6; ++region)
        EXPECT_EQ(BackgroundText(r, region), expected[region]) << region;
    EXPECT_EQ(BackgroundText(r, 6), "");
    EXPECT_EQ(BackgroundText(r, -1), "");
}

// The value for each list index: regions sum their two channels, SUM all twelve, and an
// index without an entry falls back to the first one (A).
TEST(MonitoringRecordTest, RegionValuesByListIndex) {
    const auto oneToTwelve = WithCounts({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    const struct {
        int index;
        const char* text;
    } cases[] = {
        {0, "3"},  {1, "7"}, {2, "11"}, {3, "15"}, {4, "19"}, {5, "23"}, {6, "78"},  // SUM
        {-1, "3"}, {7, "3"}, {15, "3"}, {16, "3"},  // no such entry: A
    };
    for (const auto& c : cases)
        EXPECT_EQ(RegionValueText(RegionValue(oneToTwelve, c.index)), c.text) << c.index;
    EXPECT_EQ(RegionListIndex(6), 6);
    EXPECT_EQ(RegionListIndex(9), 0);
}

// Counts are signed; sums past the 16-bit range are not cut and "%g" keeps all six digits.
TEST(MonitoringRecordTest, NegativeAndExtremeCountsSumExactly) {
    const struct {
        std::initializer_list<int16_t> counts;
        int index;
        const char* text;
    } cases[] = {
        {{-5, 3}, 0, "-2"},
        {{0, 0, -1, -1}, 1, "-2"},
        {{-32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768,
          -32768},
         6,
         "-393216"},
        {{32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767},
         6,
         "393204"},
        {{32767, 32767}, 0, "65534"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RegionValueText(RegionValue(WithCounts(c.counts), c.index)), c.text) << c.text;
}

TEST(MonitoringRecordTest, ErrorChannelNamesInBitOrderWithoutSeparators) {
    const struct {
        uint16_t bits;
        const char* names;
    } cases[] = {
        {0x0000, ""},       {0x0005, "A1C1"},  {0x0030, "B1B2"},  // B follows C in the bit order
        {0x0300, "F1F2"},                                         // and F comes before E
        {0x3000, "OS3OS4"}, {0x8001, "A1OS2"}, {0xFFFF, "A1A2C1C2B1B2D1D2F1F2E1E2OS3OS4OS1OS2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorChannelNames(c.bits), c.names) << std::hex << c.bits;
}

// Which status wins when several bits are set, and the stopped lamp above them all.
TEST(MonitoringRecordTest, UnitStatusPrecedenceAndNewAlarm) {
    const struct {
        uint16_t w1, w2;
        bool stopped;
        const char* status;
        bool newAlarm;
    } cases[] = {
        {0x0000, 0x0000, false, "System Ready", false},
        {0x8001, 0x0000, false, "Monitoring region AB", true},
        {0xC000, 0xC000, false, "Monitoring region AB", false},
        {0x4000, 0xC000, false, "Monitoring region CD", false},
        {0x0000, 0xC000, false, "Monitoring region EF", false},
        {0x0000, 0x4000, false, "Monitoring region ab", false},
        {0x0001, 0x0000, false, "System Ready", true},
        {0x3FFE, 0x3FFF, false, "System Ready", false},  // no status bit among these
        {0xC001, 0xC000, true, "Remote Setup", true},
        {0x0000, 0x0000, true, "Remote Setup", false},
    };
    for (const auto& c : cases) {
        RecordBytes rb;
        rb.w1 = c.w1;
        rb.w2 = c.w2;
        const auto r = Decoded(rb.Build());
        EXPECT_EQ(UnitStatusText(r, c.stopped), c.status) << std::hex << c.w1 << " " << c.w2;
        EXPECT_EQ(NewAlarmWaiting(r), c.newAlarm) << std::hex << c.w1;
    }
}

// Answers cut short on the line, each copied into a buffer of exactly its length so that a
// read past the end is caught by the address sanitizer: below the fixed part there is no
// record; after it the texts end at their terminator, their field or the data.
TEST(MonitoringRecordTest, ShortAnswersAndTextsWithoutTerminator) {
    RecordBytes rb;
    std::memcpy(rb.date, "12-09-26", 8);
    std::memcpy(rb.time, "10:15:02", 8);
    const Bytes full = rb.Build();
    RecordBytes unterminated;
    std::memcpy(unterminated.date, "0123456789", 10);
    std::memcpy(unterminated.time, "ABCDEFGHIJ", 10);
    const Bytes noTerminators = unterminated.Build();

    const struct {
        const Bytes* bytes;
        size_t length;
        bool decoded;
        const char* date;
        const char* time;
    } cases[] = {
        {&full, 0, false, "", ""},
        {&full, 63, false, "", ""},
        {&full, 64, true, "", ""},
        {&full, 68, true, "12-0", ""},
        {&full, 72, true, "12-09-26", ""},
        {&full, 74, true, "12-09-26", ""},
        {&full, 79, true, "12-09-26", "10:15"},
        {&full, 84, true, "12-09-26", "10:15:02"},
        {&noTerminators, 70, true, "012345", ""},
        {&noTerminators, 84, true, "0123456789", "ABCDEFGHIJ"},  // the date stops at its field
    };
    for (const auto& c : cases) {
        auto exact = std::make_unique<uint8_t[]>(std::max<size_t>(c.length, 1));
        std::memcpy(exact.get(), c.bytes->data(), c.length);
        const auto r = DecodeMonitoringRecord(exact.get(), c.length);
        ASSERT_EQ(r.has_value(), c.decoded) << c.length;
        if (!r) continue;
        EXPECT_EQ(r->date, c.date) << c.length;
        EXPECT_EQ(r->time, c.time) << c.length;
    }
    EXPECT_FALSE(DecodeMonitoringRecord(nullptr, 84));
    // An answer longer than the record: the extra bytes are ignored.
    Bytes longer = noTerminators;
    longer.insert(longer.end(), {'X', 'Y', 0});
    EXPECT_EQ(Decoded(longer).time, "ABCDEFGHIJ");
}

TEST(MonitoringRecordTest, DateAndTimeAreRightAlignedInEightColumns) {
    RecordBytes rb;
    std::strcpy(rb.date, "1-2-3");
    std::strcpy(rb.time, "123456789");
    const auto r = Decoded(rb.Build());
    EXPECT_EQ(DateText(r), "   1-2-3");
    EXPECT_EQ(TimeText(r), "123456789");  // longer texts are not cut
    EXPECT_EQ(DateText(Decoded(RecordBytes{}.Build())), "        ");
}

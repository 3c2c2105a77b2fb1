// The counters test's dose-rate evaluation against values computed independently (exact
// rationals rounded to single precision at each step), for both cycles and every unit.

#include <gtest/gtest.h>

#include "counters.h"

namespace prm {
namespace {

const std::array<uint16_t, 4> kEven = {500, 300, 100, 7};
const std::array<uint16_t, 4> kOdd = {520, 310, 90, 5};

TEST(Counters, EvenCycleInEveryDoseUnit) {
    const std::pair<uint8_t, const char*> table[] = {
        {0x10,
         "Counters:   500   300   100     7,     6.28 uGy/h @   514   305   100     7,     6.78 "
         "uGy/h"},
        {0x20,
         "Counters:   500   300   100     7,   716.87 uR/h @   514   305   100     7,   773.87 "
         "uR/h"},
        {0x40,
         "Counters:   500   300   100     7,     7.17 uSv/h @   514   305   100     7,     7.74 "
         "uSv/h"},
        {0x00, ""},  // no unit: nothing is formatted
    };
    for (const auto& [unit, line] : table) {
        CountersState s;
        const CountersResult r = evaluateCounters(s, kEven, unit);
        EXPECT_FALSE(r.oddCycle);
        EXPECT_EQ(r.logLine, line) << int(unit);
        EXPECT_EQ(r.recordLine,
                  "  500 @   300   100     7   514 @   305   100     7     6.28     6.78\n");
        EXPECT_EQ(r.recordLine.size(), 70);
        EXPECT_FLOAT_EQ(s.doseRaw, 6.277299404144287f);
        EXPECT_FLOAT_EQ(s.doseCorrected, 6.776448726654053f);
        EXPECT_EQ(s.cycleCount, 1);
    }
}

TEST(Counters, OddCycleAveragesTheFirstCountWithThePreviousEvenOne) {
    CountersState s;
    evaluateCounters(s, kEven, 0x40);
    const CountersResult r = evaluateCounters(s, kOdd, 0x40);
    EXPECT_TRUE(r.oddCycle);
    EXPECT_EQ(
        r.logLine,
        "Counters:   510   310   300    90   100 @   525   315   305    90   100,     4.73 uSv/h");
    EXPECT_EQ(r.recordLine,
              "  510   310   300    90   100   525   315   305    90   100 @ @     4.73\n");
    EXPECT_EQ(r.recordLine.size(), 73);
    EXPECT_EQ(s.cycleCount, 2);
}

// The correction n / (1 - n * 0.000057), truncated; past the pole only the low 16 bits stay.
TEST(Counters, DeadTimeCorrection) {
    EXPECT_EQ(deadTimeCorrected(0), 0);
    EXPECT_EQ(deadTimeCorrected(500), 514);
    EXPECT_EQ(deadTimeCorrected(17000), 24099);
    EXPECT_EQ(deadTimeCorrected(20000), 53751);
}

TEST(Counters, HistogramBins) {
    EXPECT_EQ(histogramBin(0), 0);
    EXPECT_EQ(histogramBin(126), 126);
    EXPECT_EQ(histogramBin(127), 127);
    EXPECT_EQ(histogramBin(300), 127);
}

// Sixteen-bit counts at their extremes still fit the recording line's fields.
TEST(Counters, ExtremeCountsKeepTheRecordLineLengths) {
    CountersState s;
    EXPECT_EQ(evaluateCounters(s, {65535, 65535, 65535, 65535}, 0x40).recordLine.size(), 70);
    EXPECT_EQ(evaluateCounters(s, {0, 65535, 0, 65535}, 0x40).recordLine.size(), 73);
}

}  // namespace
}  // namespace prm

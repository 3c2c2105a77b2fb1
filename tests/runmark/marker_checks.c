#include "marker_checks.h"

#include <stdio.h>
#include <string.h>

int checkFailures = 0;

void checkEqual(long expected, long actual, const char* what, const char* detail) {
    if (expected == actual)
        return;
    ++checkFailures;
    printf("FAILED: %s = %ld, expected %ld (%s)\n", what, actual, expected, detail);
}

enum { kMaxMarkBytes = 100 };
/* A dead process's id may stay openable for a moment under Wine (about half a second). */
enum { kExitSettleMs = 2000, kPollMs = 20 };

static void expectStoredText(const char* keyPath, const char* expected, const char* detail) {
    char stored[kMaxMarkBytes + 1] = {0};
    long length = testReadMark(keyPath, stored, sizeof stored);
    if (testRegistryAddsTerminator && length > 0 && stored[length - 1] == '\0')
        --length;
    CHECK_EQ((long)strlen(expected), length, detail); /* no terminator stored */
    if (length >= 0 && strcmp(stored, expected) != 0) {
        ++checkFailures;
        printf("FAILED: stored \"%s\", expected \"%s\" (%s)\n", stored, expected, detail);
    }
}

static void checkMissingKey(const Runmark* rm, const char* missingKeyPath) {
    CHECK_EQ(-2, rm->isRunning(missingKeyPath), "a missing key cannot be opened for reading");
    CHECK_EQ(-3, rm->add(missingKeyPath), "a missing key cannot be opened for writing");
    CHECK_EQ(-3, rm->clear(missingKeyPath), "a missing key cannot be opened for writing");
    CHECK_EQ(0, testKeyExists(missingKeyPath), "the writers never create the key");
    CHECK_EQ(-2, rm->isRunning(NULL), "a null path names no key");
    CHECK_EQ(-3, rm->add(NULL), "a null path names no key");
}

static void checkOwnMark(const Runmark* rm, const char* keyPath, uint32_t ownPid) {
    char text[16];
    testRemoveMark(keyPath);
    CHECK_EQ(-3, rm->isRunning(keyPath), "the key holds no mark yet");

    CHECK_EQ(0, rm->clear(keyPath), "clearing creates the value");
    expectStoredText(keyPath, "0x0", "cleared mark");
    CHECK_EQ(-4, rm->isRunning(keyPath), "a cleared mark is not running");

    CHECK_EQ(0, rm->add(keyPath), "marking this process");
    snprintf(text, sizeof text, "0x%X", (unsigned)ownPid);
    expectStoredText(keyPath, text, "this process's id, upper-case hexadecimal");
    CHECK_EQ(0, rm->isRunning(keyPath), "this process runs");
}

static void checkChildLifetime(const Runmark* rm, const char* keyPath) {
    int addResult = -99;
    char text[16];
    MarkingChild* child = testStartMarkingChild(rm, keyPath, &addResult);
    if (child == NULL) {
        CHECK_EQ(1, 0, "the marking child could not be started");
        return;
    }
    CHECK_EQ(0, addResult, "the child marks the key");
    snprintf(text, sizeof text, "0x%X", (unsigned)testChildPid(child));
    expectStoredText(keyPath, text, "the child's id");
    CHECK_EQ(0, rm->isRunning(keyPath), "the marking child still runs");
    testReleaseChild(child);

    int result = rm->isRunning(keyPath);
    for (int waited = 0; result == 0 && waited < kExitSettleMs; waited += kPollMs) {
        testSleepMs(kPollMs);
        result = rm->isRunning(keyPath);
    }
    CHECK_EQ(-4, result, "the marking child has exited");
}

/* Stored texts another writer may have left, and what IsRunning makes of them. */
static void checkStoredTexts(const Runmark* rm, const char* keyPath) {
    static const char kZeros[] =
        "0000000000000000000000000000000000000000000000000000000000000000000000000000000000"
        "000000000000";
    char tooLong[kMaxMarkBytes + 2];
    snprintf(tooLong, sizeof tooLong, "0x%.91sFFFFFFFF", kZeros);

    static const struct {
        const char* bytes;
        size_t length;
        int expected;
        const char* what;
    } cases[] = {
        {"0xFFFFFFFF", 10, 0, "all-ones id counts as running without a lookup"},
        {"0xffffffff", 10, 0, "lower-case hexadecimal digits"},
        {"0xFFFFFFFF\0", 11, 0, "stored with a terminating zero, as many tools do"},
        {"0x0\0", 4, -4, "cleared mark with a terminating zero"},
        {"0x00000000", 10, -4, "leading zeros"},
        {"", 0, -3, "empty value"},
        {"0x", 2, -3, "no digits"},
        {"4D2", 3, -3, "no 0x prefix"},
        {"0X4D2", 5, -3, "upper-case X"},
        {" 0x4D2", 6, -3, "leading blank"},
        {"0x-1", 4, -3, "sign"},
        {"0x1FFFFFFFF", 11, -3, "more than 32 bits"},
        {"0x\0"
         "1",
         4, -3, "digits after a zero byte"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        testWriteMark(keyPath, cases[i].bytes, cases[i].length);
        CHECK_EQ(cases[i].expected, rm->isRunning(keyPath), cases[i].what);
    }
    /* What follows the digits is left unread, as the pattern "0x%X" leaves it. */
    static const char* const kTails[][2] = {
        {" ", "trailing blank"}, {"\n", "line feed"}, {"\r\n", "CR LF"}, {"z", "trailing letter"}};
    for (size_t i = 0; i < sizeof kTails / sizeof kTails[0]; ++i) {
        char mark[32];
        int length = snprintf(mark, sizeof mark, "0x%X%s", (unsigned)testOwnPid(), kTails[i][0]);
        testWriteMark(keyPath, mark, (size_t)length);
        CHECK_EQ(0, rm->isRunning(keyPath), kTails[i][1]);
    }
    testWriteMark(keyPath, tooLong, strlen(tooLong));
    CHECK_EQ(-3, rm->isRunning(keyPath), "a value longer than 100 bytes is not read");
}

void runMarkerChecks(const Runmark* rm, const char* keyPath, const char* missingKeyPath) {
    checkMissingKey(rm, missingKeyPath);
    checkOwnMark(rm, keyPath, testOwnPid());
    checkChildLifetime(rm, keyPath);
    checkStoredTexts(rm, keyPath);
}

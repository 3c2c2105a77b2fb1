/* Checks of the running marker that hold on every platform, written against the loaded
 * library's three functions and a small platform layer each test program provides. */
#ifndef MARKER_CHECKS_H
#define MARKER_CHECKS_H

#include <stddef.h>
#include <stdint.h>

#include "runmark.h"

typedef struct {
    RunmarkFunction add;
    RunmarkFunction clear;
    RunmarkFunction isRunning;
} Runmark;

/* Counts and prints failed expectations; main returns non-zero when there were any. */
extern int checkFailures;
void checkEqual(long expected, long actual, const char* what, const char* detail);
#define CHECK_EQ(expected, actual, detail) \
    checkEqual((long)(expected), (long)(actual), #actual, (detail))

/* Provided by each test program. Wine's registry stores a terminator after a string value
 * written without one (Windows does not); where it does, the stored text may end in one. */
extern const int testRegistryAddsTerminator;
/* Provided by each test program. A key path is relative to HKEY_LOCAL_MACHINE. */
int testKeyExists(const char* keyPath);
/* Writes the value "SubInstaller" with exactly these bytes; non-zero on success. */
int testWriteMark(const char* keyPath, const char* bytes, size_t length);
/* Reads "SubInstaller" into buffer; its length, or -1 when it cannot be read. */
long testReadMark(const char* keyPath, char* buffer, size_t size);
void testRemoveMark(const char* keyPath);
void testSleepMs(unsigned ms);
uint32_t testOwnPid(void);

/* A child process of the test that marks the key itself and lives until released. */
typedef struct MarkingChild MarkingChild;
/* Starts the child and returns once its AddRunningKey has returned, whose result is stored
 * in *addResult. Null when the child cannot be started. */
MarkingChild* testStartMarkingChild(const Runmark* rm, const char* keyPath, int* addResult);
uint32_t testChildPid(const MarkingChild* child);
/* Lets the child exit and waits until it has (reaped, on Linux). */
void testReleaseChild(MarkingChild* child);

/* The common checks on an existing key and a key that does not exist. */
void runMarkerChecks(const Runmark* rm, const char* keyPath, const char* missingKeyPath);

#endif

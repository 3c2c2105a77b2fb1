/* Loads runmark.dll with LoadLibrary, as a Windows program outside the suite would, by name
 * and by ordinal, and checks the marker against a private key under HKEY_LOCAL_MACHINE.
 * Started as "runmark_wintest child <key>" it is the marking child of those checks. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "caller_cleans.h"
#include "marker_checks.h"

static const char* const kValueName = "SubInstaller";
const int testRegistryAddsTerminator = 1;

static int loadByName(HMODULE library, Runmark* rm) {
    rm->add = (RunmarkFunction)(void*)GetProcAddress(library, "AddRunningKey");
    rm->clear = (RunmarkFunction)(void*)GetProcAddress(library, "ClearRunningKey");
    rm->isRunning = (RunmarkFunction)(void*)GetProcAddress(library, "IsRunning");
    return rm->add && rm->clear && rm->isRunning;
}

static RunmarkFunction byOrdinal(HMODULE library, WORD ordinal) {
    return (RunmarkFunction)(void*)GetProcAddress(library, MAKEINTRESOURCEA(ordinal));
}

int testKeyExists(const char* keyPath) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(key);
    return 1;
}

int testWriteMark(const char* keyPath, const char* bytes, size_t length) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return 0;
    const LONG rc = RegSetValueExA(key, kValueName, 0, REG_SZ, (const BYTE*)bytes, (DWORD)length);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

long testReadMark(const char* keyPath, char* buffer, size_t size) {
    HKEY key;
    DWORD type = 0, length = (DWORD)size;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return -1;
    const LONG rc = RegQueryValueExA(key, kValueName, NULL, &type, (BYTE*)buffer, &length);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return -1;
    CHECK_EQ(REG_SZ, type, "the mark is a string value");
    return (long)length;
}

void testRemoveMark(const char* keyPath) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, kValueName);
    RegCloseKey(key);
}

void testSleepMs(unsigned ms) {
    Sleep(ms);
}

uint32_t testOwnPid(void) {
    return GetCurrentProcessId();
}

struct MarkingChild {
    PROCESS_INFORMATION process;
    HANDLE release;
};

/* The child reports AddRunningKey's result as one byte on its standard output and exits
 * when its standard input is closed. */
MarkingChild* testStartMarkingChild(const Runmark* rm, const char* keyPath, int* addResult) {
    (void)rm; /* the child loads the library itself */
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE readyRead, readyWrite, releaseRead, releaseWrite;
    if (!CreatePipe(&readyRead, &readyWrite, &inherit, 0))
        return NULL;
    if (!CreatePipe(&releaseRead, &releaseWrite, &inherit, 0))
        return NULL;
    SetHandleInformation(readyRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(releaseWrite, HANDLE_FLAG_INHERIT, 0);

    char self[MAX_PATH], commandLine[2 * MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    snprintf(commandLine, sizeof commandLine, "\"%s\" child \"%s\"", self, keyPath);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = releaseRead;
    startup.hStdOutput = readyWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    MarkingChild* child = (MarkingChild*)calloc(1, sizeof *child);
    const BOOL started = CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL,
                                        &startup, &child->process);
    CloseHandle(readyWrite);
    CloseHandle(releaseRead);
    signed char result = -99;
    DWORD got = 0;
    if (!started || !ReadFile(readyRead, &result, 1, &got, NULL) || got != 1)
        result = -99;
    CloseHandle(readyRead);
    if (!started) {
        CloseHandle(releaseWrite);
        free(child);
        return NULL;
    }
    child->release = releaseWrite;
    *addResult = result;
    return child;
}

uint32_t testChildPid(const MarkingChild* child) {
    return child->process.dwProcessId;
}

void testReleaseChild(MarkingChild* child) {
    CloseHandle(child->release);
    CHECK_EQ(WAIT_OBJECT_0, WaitForSingleObject(child->process.hProcess, 10000),
             "the child exits once released");
    CloseHandle(child->process.hProcess);
    CloseHandle(child->process.hThread);
    free(child);
}

static int runChild(const char* keyPath) {
    Runmark rm;
    HMODULE library = LoadLibraryA("runmark.dll");
    const signed char result =
        (library && loadByName(library, &rm)) ? (signed char)rm.add(keyPath) : (signed char)-98;
    DWORD done;
    char ignored;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), &result, 1, &done, NULL);
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &ignored, 1, &done, NULL); /* ends when closed */
    return 0;
}

/* The ordinals 1, 2, 3 reach the same three functions as the names. */
static void checkOrdinals(HMODULE library, const Runmark* rm, const char* keyPath) {
    const Runmark ordinal = {byOrdinal(library, 1), byOrdinal(library, 2), byOrdinal(library, 3)};
    CHECK_EQ(1, ordinal.add == rm->add, "ordinal 1 is AddRunningKey");
    CHECK_EQ(1, ordinal.clear == rm->clear, "ordinal 2 is ClearRunningKey");
    CHECK_EQ(1, ordinal.isRunning == rm->isRunning, "ordinal 3 is IsRunning");
    CHECK_EQ(0, byOrdinal(library, 4) != NULL, "no fourth export");
    if (!ordinal.add || !ordinal.clear || !ordinal.isRunning)
        return;
    CHECK_EQ(0, ordinal.add(keyPath), "marking through ordinal 1");
    CHECK_EQ(0, ordinal.isRunning(keyPath), "running, through ordinal 3");
    CHECK_EQ(0, ordinal.clear(keyPath), "clearing through ordinal 2");
    CHECK_EQ(-4, ordinal.isRunning(keyPath), "cleared, through ordinal 3");
}

#if defined(__i386__)
static int movedBy(RunmarkFunction f, const char* keyPath) {
    return stackMovedByCall((const void*)f, (uint32_t)(uintptr_t)keyPath);
}

static void checkCallerCleans(const Runmark* rm, const char* keyPath) {
    CHECK_EQ(0, movedBy(rm->add, keyPath), "AddRunningKey leaves its argument");
    CHECK_EQ(0, movedBy(rm->clear, keyPath), "ClearRunningKey leaves its argument");
    CHECK_EQ(0, movedBy(rm->isRunning, keyPath), "IsRunning leaves its argument");
}
#else
static void checkCallerCleans(const Runmark* rm, const char* keyPath) {
    (void)rm; /* x64 has one calling convention */
    (void)keyPath;
}
#endif

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "child") == 0)
        return runChild(argv[2]);

    HMODULE library = LoadLibraryA("runmark.dll");
    Runmark rm;
    if (library == NULL || !loadByName(library, &rm)) {
        printf("runmark.dll or one of its exports not found (error %lu)\n", GetLastError());
        return 1;
    }

    char base[64], keyPath[96], missing[96];
    snprintf(base, sizeof base, "Software\\RunmarkTest%lu", GetCurrentProcessId());
    snprintf(keyPath, sizeof keyPath, "%s\\Marker", base);
    snprintf(missing, sizeof missing, "%s\\Missing", base);
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS) {
        printf("cannot create the test key HKEY_LOCAL_MACHINE\\%s\n", keyPath);
        return 1;
    }
    RegCloseKey(key);

    runMarkerChecks(&rm, keyPath, missing);
    checkOrdinals(library, &rm, keyPath);
    checkCallerCleans(&rm, keyPath);

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, base);
    FreeLibrary(library);
    printf("%s: %d failed checks\n", checkFailures ? "FAILED" : "passed", checkFailures);
    return checkFailures ? 1 : 0;
}

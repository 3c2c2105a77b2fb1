/* Loads librunmark.so with dlopen, as a program outside the suite would, and checks the
 * marker against a private key tree under a temporary RUNMARK_ROOT.
 * Usage: runmark_dlopen_test <path of librunmark.so> */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "marker_checks.h"

static char root[64];
const int testRegistryAddsTerminator = 0;

/* The file of `name` in the key's folder, or the folder itself when `name` is empty. */
static void keyFile(const char* keyPath, const char* name, char* out, size_t size) {
    snprintf(out, size, "%s/HKEY_LOCAL_MACHINE/%s%s%s", root, keyPath, *name ? "/" : "", name);
    for (char* c = out + strlen(root); *c; ++c)
        if (*c == '\\') *c = '/';
}

static void keyFolder(const char* keyPath, char* folder, size_t size) {
    keyFile(keyPath, "", folder, size);
}

static void markFile(const char* keyPath, char* file, size_t size) {
    keyFile(keyPath, "SubInstaller", file, size);
}

int testKeyExists(const char* keyPath) {
    char folder[512];
    struct stat st;
    keyFolder(keyPath, folder, sizeof folder);
    return stat(folder, &st) == 0;
}

int testWriteMark(const char* keyPath, const char* bytes, size_t length) {
    char file[512];
    markFile(keyPath, file, sizeof file);
    FILE* f = fopen(file, "wb");
    if (f == NULL) return 0;
    const int ok = fwrite(bytes, 1, length, f) == length;
    return fclose(f) == 0 && ok;
}

long testReadMark(const char* keyPath, char* buffer, size_t size) {
    char file[512];
    markFile(keyPath, file, sizeof file);
    FILE* f = fopen(file, "rb");
    if (f == NULL) return -1;
    const size_t length = fread(buffer, 1, size, f);
    fclose(f);
    return (long)length;
}

void testRemoveMark(const char* keyPath) {
    char file[512];
    markFile(keyPath, file, sizeof file);
    unlink(file);
}

void testSleepMs(unsigned ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

uint32_t testOwnPid(void) {
    return (uint32_t)getpid();
}

struct MarkingChild {
    pid_t pid;
    int release;
};

MarkingChild* testStartMarkingChild(const Runmark* rm, const char* keyPath, int* addResult) {
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return NULL;
    const pid_t pid = fork();
    if (pid < 0) return NULL;
    if (pid == 0) {
        close(ready[0]);
        close(release[1]); /* else the parent's close would not end the read below */
        const signed char result = (signed char)rm->add(keyPath);
        char ignored;
        if (write(ready[1], &result, 1) == 1) (void)!read(release[0], &ignored, 1);
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    signed char result = -99;
    if (read(ready[0], &result, 1) != 1) result = -99;
    close(ready[0]);
    *addResult = result;
    MarkingChild* child = malloc(sizeof *child);
    child->pid = pid;
    child->release = release[1];
    return child;
}

uint32_t testChildPid(const MarkingChild* child) {
    return (uint32_t)child->pid;
}

void testReleaseChild(MarkingChild* child) {
    close(child->release); /* the child's read returns and it exits */
    waitpid(child->pid, NULL, 0);
    free(child);
}

static void makeKey(const char* keyPath) {
    char folder[512];
    keyFolder(keyPath, folder, sizeof folder);
    for (char* c = folder + strlen(root) + 1; *c; ++c) {
        if (*c != '/') continue;
        *c = '\0';
        mkdir(folder, 0755);
        *c = '/';
    }
    mkdir(folder, 0755);
}

static int countEntries(const char* keyPath) {
    char folder[512];
    keyFolder(keyPath, folder, sizeof folder);
    DIR* dir = opendir(folder);
    int count = 0;
    for (struct dirent* e; dir != NULL && (e = readdir(dir)) != NULL;)
        count += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    if (dir != NULL) closedir(dir);
    return count;
}

/* Key paths are split at either separator; no path may reach outside the key tree. */
static void checkKeyPaths(const Runmark* rm) {
    CHECK_EQ(0, rm->clear("Software/Runmark\\Test"), "mixed separators");
    CHECK_EQ(-4, rm->isRunning("Software\\Runmark/Test"), "mixed separators");

    /* Folders a path with ".." or a leading separator would reach if it were followed. */
    char outside[256];
    snprintf(outside, sizeof outside, "%s/Outside", root);
    mkdir(outside, 0755);
    static const char* const refused[] = {
        "..\\Outside",
        "Software\\..\\..\\Outside",
        "Software\\Runmark\\..\\Runmark\\Test",
        "\\Software\\Runmark\\Test",
        "/Software/Runmark/Test",
        "Software\\\\Runmark\\Test",
        "Software\\Runmark\\Test\\",
        ".\\Software\\Runmark\\Test",
    };
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
        CHECK_EQ(-2, rm->isRunning(refused[i]), refused[i]);
        CHECK_EQ(-3, rm->add(refused[i]), refused[i]);
    }
    CHECK_EQ(0, countEntries("../Outside"), "nothing was written outside the key tree");

    setenv("RUNMARK_ROOT", outside, 1);
    CHECK_EQ(-2, rm->isRunning("Software\\Runmark\\Test"), "the key exists only in the other root");
    setenv("RUNMARK_ROOT", root, 1);
}

/* The 100 bytes that are read may all be digits. */
static void checkLongestMark(const Runmark* rm, const char* key) {
    char longest[101];
    snprintf(longest, sizeof longest, "0x%090dFFFFFFFF", 0);
    testWriteMark(key, longest, strlen(longest));
    CHECK_EQ(0, rm->isRunning(key), "a 100-byte value is read whole");
}

/* A value that cannot be replaced: the write fails and leaves no temporary file behind. */
static void checkUnwritableValue(const Runmark* rm) {
    static const char* const key = "Software\\Runmark\\Blocked";
    char file[512];
    makeKey(key);
    markFile(key, file, sizeof file);
    mkdir(file, 0755); /* a subkey named like the value */
    CHECK_EQ(-2, rm->add(key), "the value cannot be written");
    CHECK_EQ(-2, rm->clear(key), "the value cannot be written");
    CHECK_EQ(-3, rm->isRunning(key), "the value cannot be read");
    CHECK_EQ(1, countEntries(key), "no temporary file is left");
}

static void onStuckRead(int signal) {
    (void)signal;
    static const char message[] = "FAILED: IsRunning waited on a value that is no file\n";
    (void)!write(2, message, sizeof message - 1);
    _exit(1);
}

/* A FIFO in the value's place is malformed and answered at once, whether nobody writes to it
 * or a writer keeps it open after a valid mark; writing the mark replaces it. */
static void checkFifoValue(const Runmark* rm) {
    static const char* const key = "Software\\Runmark\\Fifo";
    char file[512];
    makeKey(key);
    markFile(key, file, sizeof file);
    signal(SIGALRM, onStuckRead);
    for (int withWriter = 0; withWriter <= 1; ++withWriter) {
        unlink(file);
        CHECK_EQ(0, mkfifo(file, 0644), "making the FIFO");
        const int writer = withWriter ? open(file, O_RDWR | O_NONBLOCK) : -1;
        if (withWriter) CHECK_EQ(3, write(writer, "0x1", 3), "a mark waiting in the FIFO");
        alarm(5); /* a read that blocks ends the test */
        CHECK_EQ(-3, rm->isRunning(key), withWriter ? "FIFO kept open by a writer" : "FIFO");
        alarm(0);
        if (writer >= 0) close(writer);
    }
    CHECK_EQ(0, rm->add(key), "the mark replaces the FIFO");
    CHECK_EQ(0, rm->isRunning(key), "and reads back");
    signal(SIGALRM, SIG_DFL);
}

/* A concurrent reader sees either the old or the new mark, never a part of one. */
static void checkAtomicReplace(const Runmark* rm, const char* key) {
    enum { kReads = 20000 };
    const pid_t writer = fork();
    if (writer == 0) {
        for (;;) {
            rm->add(key);
            rm->clear(key);
        }
    }
    int torn = 0;
    for (int i = 0; i < kReads; ++i) {
        const int result = rm->isRunning(key);
        torn += result != 0 && result != -4;
    }
    kill(writer, SIGKILL);
    waitpid(writer, NULL, 0);
    CHECK_EQ(0, torn, "reads that found a partial mark");
}

/* Ids that kill() would take for a process group, and a process that exists but may not be
 * signalled: both are not running. */
static void checkProcessTest(const Runmark* rm, const char* key) {
    char text[16];
    snprintf(text, sizeof text, "0x%X", (unsigned)-getpgrp());
    testWriteMark(key, text, strlen(text));
    CHECK_EQ(-4, rm->isRunning(key), "an id that is a negative pid_t");

    if (geteuid() != 0) {
        printf("note: not root, the checks as another user are skipped\n");
        return;
    }
    /* This process (root) is marked; a child running as nobody may not signal it. */
    CHECK_EQ(0, rm->add(key), "marking this process");
    chmod(root, 0755);
    const pid_t child = fork();
    if (child == 0) {
        const gid_t nobody = 65534;
        if (setgroups(0, NULL) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(90);
        if (rm->isRunning(key) != -4) _exit(91); /* EPERM counts as not running */
        if (rm->add(key) != -3) _exit(92);       /* the key is not writable for nobody */
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    CHECK_EQ(0, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
             "as nobody: 91 root's process counted running, 92 read-only key written");
    CHECK_EQ(0, rm->isRunning(key), "root still sees itself running");
}

static void removeTree(const char* path) {
    char command[128];
    snprintf(command, sizeof command, "rm -rf '%s'", path);
    if (system(command) != 0) printf("note: could not remove %s\n", path);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <librunmark.so>\n", argv[0]);
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    Runmark rm;
    rm.add = (RunmarkFunction)dlsym(library, "AddRunningKey");
    rm.clear = (RunmarkFunction)dlsym(library, "ClearRunningKey");
    rm.isRunning = (RunmarkFunction)dlsym(library, "IsRunning");
    if (!rm.add || !rm.clear || !rm.isRunning) {
        fprintf(stderr, "missing export: %s\n", dlerror());
        return 1;
    }

    snprintf(root, sizeof root, "/tmp/runmark-test.XXXXXX");
    if (mkdtemp(root) == NULL) {
        perror("mkdtemp");
        return 1;
    }
    setenv("RUNMARK_ROOT", root, 1);
    static const char* const key = "Software\\Runmark\\Test";
    makeKey(key);

    runMarkerChecks(&rm, key, "Software\\Runmark\\Missing");
    checkLongestMark(&rm, key);
    checkKeyPaths(&rm);
    checkUnwritableValue(&rm);
    checkFifoValue(&rm);
    checkAtomicReplace(&rm, key);
    checkProcessTest(&rm, key);

    removeTree(root);
    dlclose(library);
    printf("%s: %d failed checks\n", checkFailures ? "FAILED" : "passed", checkFailures);
    return checkFailures ? 1 : 0;
}

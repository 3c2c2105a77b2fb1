#include "serial_port_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace suite {

namespace {

constexpr char kLockPrefix[] = "LCK..";
constexpr int kLockFileMode = 0644;  // readable by every program that checks the lock
constexpr int kTakeAttempts = 3;     // another program may create or remove it meanwhile

bool IsFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The name the lock is made from: the last part of the device's real path, so that
// /dev/serial/by-id/... and /dev/ttyUSB0 share one lock.
std::string LockName(const std::string& device) {
    std::string path = device;
    if (char* real = realpath(device.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    const size_t slash = path.find_last_of('/');
    return kLockPrefix + (slash == std::string::npos ? path : path.substr(slash + 1));
}

// The process id a lock file holds: -1 when there is no lock file, 0 when it holds no
// readable id (taken as stale, as it can be no lock of a running program).
pid_t ReadLockPid(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? -1 : 0;
    char text[32] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 0 || pid > INT_MAX) return 0;
    return static_cast<pid_t>(pid);
}

// EPERM: the process runs under another user (root, say) and still holds the port.
bool Runs(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

bool WriteLockText(int fd) {
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    return write(fd, text, static_cast<size_t>(n)) == n;
}

}  // namespace

std::string SerialLockFolder(const char* folderVariable) {
    if (const char* dir = folderVariable ? std::getenv(folderVariable) : nullptr; dir && *dir)
        return dir;
    return IsFolder("/run/lock") ? "/run/lock" : "/var/lock";
}

void SerialPortLock::TraceF(const char* format, ...) const {
    if (!trace_) return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    trace_(line);
}

std::string SerialPortLock::Acquire(const std::string& device) {
    Release();
    const std::string folder = SerialLockFolder(folderVariable_);
    if (!IsFolder(folder)) {
        TraceF("No lock folder %s: %s opened without a lock\n", folder.c_str(), device.c_str());
        return {};
    }
    const std::string lockPath = folder + "/" + LockName(device);
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        const pid_t holder = ReadLockPid(lockPath);
        if (holder > 0 && Runs(holder)) {
            return "port in use by process " + std::to_string(holder) +
                   (holder == getpid() ? " (this program)" : "");
        }
        if (holder >= 0) {
            if (unlink(lockPath.c_str()) != 0 && errno != ENOENT) {
                TraceF("Stale lock %s cannot be removed: %s\n", lockPath.c_str(),
                       std::strerror(errno));
                return {};
            }
            TraceF("Stale lock %s of process %d removed\n", lockPath.c_str(),
                   static_cast<int>(holder));
        }
        // The lock appears with its whole text or not at all: a temporary file linked to
        // the lock's name, which fails if another program was quicker.
        const std::string temp =
            folder + "/LTMP." + std::to_string(getpid()) + "." + std::to_string(serial++);
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kLockFileMode);
        if (fd < 0) {
            TraceF("Lock folder %s not writable (%s): %s opened without a lock\n", folder.c_str(),
                   std::strerror(errno), device.c_str());
            return {};
        }
        const bool written = WriteLockText(fd);
        fchmod(fd, kLockFileMode);
        close(fd);
        const int linked = written ? link(temp.c_str(), lockPath.c_str()) : -1;
        const int linkErr = errno;  // of the link, or of the write that failed
        unlink(temp.c_str());
        if (linked == 0) {
            path_ = lockPath;
            return {};
        }
        if (!written || (linkErr != EEXIST && linkErr != EPERM && linkErr != ENOTSUP)) {
            TraceF("Lock %s cannot be made (%s): %s opened without a lock\n", lockPath.c_str(),
                   std::strerror(linkErr), device.c_str());
            return {};
        }
        if (linkErr != EEXIST) {
            // A file system without hard links: create the lock in one step instead.
            const int direct =
                open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kLockFileMode);
            if (direct >= 0) {
                const bool ok = WriteLockText(direct);
                close(direct);
                if (ok) {
                    path_ = lockPath;
                    return {};
                }
                unlink(lockPath.c_str());
            }
            if (direct >= 0 || errno != EEXIST) {
                TraceF("Lock %s cannot be made: %s opened without a lock\n", lockPath.c_str(),
                       device.c_str());
                return {};
            }
        }
        // Someone else made the lock meanwhile: look at it again.
    }
    if (const pid_t holder = ReadLockPid(lockPath); holder > 0)
        return "port in use by process " + std::to_string(holder);
    return "port in use: the lock " + lockPath + " keeps changing";
}

void SerialPortLock::Release() {
    if (path_.empty()) return;
    // Only our own lock is removed.
    if (ReadLockPid(path_) == getpid()) unlink(path_.c_str());
    path_.clear();
}

}  // namespace suite

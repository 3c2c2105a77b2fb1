// Linux stand-in for the registry: HKEY_LOCAL_MACHINE is the folder
// <root>/HKEY_LOCAL_MACHINE, a key is a folder below it and a value is a file of its bytes.
// <root> is $RUNMARK_ROOT, or /var/lib/runmark when that is unset or empty.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "registry.h"

namespace runmark {
namespace {

constexpr const char* kDefaultRoot = "/var/lib/runmark";
constexpr const char* kHiveFolder = "HKEY_LOCAL_MACHINE";
constexpr mode_t kValueMode = 0644;  // values under HKEY_LOCAL_MACHINE are readable by everyone

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

// The folder of a key path, or nothing when a name in it is empty, "." or "..": such a path
// would leave the tree or name one key in several ways.
std::optional<std::string> keyFolder(const char* path) {
    if (path == nullptr) return std::nullopt;
    const char* env = std::getenv("RUNMARK_ROOT");
    std::string folder = (env != nullptr && *env != '\0') ? env : kDefaultRoot;
    folder += '/';
    folder += kHiveFolder;
    const std::string_view rest(path);
    if (rest.empty()) return folder;  // the hive's own key
    std::size_t start = 0;
    while (true) {
        std::size_t end = start;
        while (end < rest.size() && !isSeparator(rest[end]))
            ++end;
        const std::string_view name = rest.substr(start, end - start);
        if (name.empty() || name == "." || name == "..") return std::nullopt;
        folder += '/';
        folder += name;
        if (end == rest.size()) return folder;
        start = end + 1;
    }
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::optional<RegistryKey> RegistryKey::open(const char* path, KeyAccess access) {
    auto folder = keyFolder(path);
    if (!folder) return std::nullopt;
    struct stat st {};
    if (::stat(folder->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    // Reading a key needs to list and enter it; writing needs to create files in it.
    const int mode = access == KeyAccess::Write ? (W_OK | X_OK) : (R_OK | X_OK);
    if (::faccessat(AT_FDCWD, folder->c_str(), mode, AT_EACCESS) != 0) return std::nullopt;
    return RegistryKey(std::move(*folder));
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept = default;
RegistryKey::~RegistryKey() = default;

// The new value is written beside the old one and renamed over it, so a reader sees either
// the whole old value or the whole new one, and a failed write leaves the old value alone.
bool RegistryKey::setString(const char* name, std::string_view text) {
    const std::string target = folder_ + '/' + name;
    std::string temp = folder_ + "/." + name + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, kValueMode) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

std::optional<std::string> RegistryKey::queryValue(const char* name, std::size_t maxBytes) {
    const std::string file = folder_ + '/' + name;
    // Opened without blocking and read only when it is a regular file: a FIFO in the value's
    // place would otherwise hang the caller until someone writes to it, and a folder or a
    // device holds no value.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    // One byte more than allowed tells a value that is too long from one that fits exactly.
    std::string bytes(maxBytes + 1, '\0');
    std::size_t got = 0;
    bool ok = true;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (!ok || got > maxBytes) return std::nullopt;
    bytes.resize(got);
    return bytes;
}

std::uint32_t currentProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

bool processIsOpenable(std::uint32_t pid) {
    // Ids above INT_MAX would turn negative in a pid_t, and kill() then addresses a whole
    // process group (or, for -1, every process): they name no single process.
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return false;
    // EPERM: the process exists but may not be signalled, which counts as not running.
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

}  // namespace runmark

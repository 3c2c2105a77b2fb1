// The registry and process services the marker needs, one implementation per platform:
// the real registry and OpenProcess on Windows, a folder tree and kill(pid, 0) on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace runmark {

enum class KeyAccess { Read, Write };

// An open key under HKEY_LOCAL_MACHINE; closed when destroyed. Opening never creates a key.
class RegistryKey {
  public:
    // Opens the key at `path` (relative to HKEY_LOCAL_MACHINE); nothing when the key does not
    // exist, the path is null or malformed, or the requested access is refused.
    static std::optional<RegistryKey> open(const char* path, KeyAccess access);

    RegistryKey(RegistryKey&& other) noexcept;
    RegistryKey& operator=(RegistryKey&&) = delete;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey();

    // Stores `text` as a string value of exactly its characters, no terminator.
    bool setString(const char* name, std::string_view text);

    // The value's bytes; nothing when it is missing or longer than `maxBytes`.
    std::optional<std::string> queryValue(const char* name, std::size_t maxBytes);

  private:
#if defined(_WIN32)
    explicit RegistryKey(void* handle) : handle_(handle) {}
    void* handle_;  // HKEY
#else
    explicit RegistryKey(std::string folder) : folder_(std::move(folder)) {}
    std::string folder_;
#endif
};

std::uint32_t currentProcessId();

// True when a process with this id exists and this process may open (Windows) or signal
// (Linux) it; a process that exists but refuses counts as absent.
bool processIsOpenable(std::uint32_t pid);

}  // namespace runmark

// The real registry under HKEY_LOCAL_MACHINE and the process table, through Win32.
#include <windows.h>

#include "registry.h"

namespace runmark {

std::optional<RegistryKey> RegistryKey::open(const char* path, KeyAccess access) {
    if (path == nullptr)
        return std::nullopt;  // would open HKEY_LOCAL_MACHINE itself
    HKEY key = nullptr;
    const REGSAM sam = access == KeyAccess::Write ? KEY_WRITE : KEY_READ;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, sam, &key) != ERROR_SUCCESS)
        return std::nullopt;
    return RegistryKey(key);
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
}

RegistryKey::~RegistryKey() {
    if (handle_ != nullptr)
        ::RegCloseKey(static_cast<HKEY>(handle_));
}

bool RegistryKey::setString(const char* name, std::string_view text) {
    return ::RegSetValueExA(static_cast<HKEY>(handle_), name, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.data()),
                            static_cast<DWORD>(text.size())) == ERROR_SUCCESS;
}

std::optional<std::string> RegistryKey::queryValue(const char* name, std::size_t maxBytes) {
    std::string bytes(maxBytes, '\0');
    DWORD size = static_cast<DWORD>(maxBytes);
    // A value longer than the buffer fails with ERROR_MORE_DATA.
    if (::RegQueryValueExA(static_cast<HKEY>(handle_), name, nullptr, nullptr,
                           reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS)
        return std::nullopt;
    bytes.resize(size);
    return bytes;
}

std::uint32_t currentProcessId() {
    return ::GetCurrentProcessId();
}

bool processIsOpenable(std::uint32_t pid) {
    HANDLE process = ::OpenProcess(STANDARD_RIGHTS_REQUIRED, FALSE, pid);
    if (process == nullptr)
        return false;
    ::CloseHandle(process);
    return true;
}

}  // namespace runmark

// The library keeps no state: every attach and detach is accepted.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

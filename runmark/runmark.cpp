// The three exported functions. They keep no state: every call opens the key, does its one
// read or write and closes it again.
#include "runmark.h"

#include <cstdio>
#include <optional>
#include <string_view>

#include "registry.h"

namespace {

constexpr const char* kValueName = "SubInstaller";
constexpr std::size_t kMaxValueBytes = 100;  // longer values are not read at all
constexpr std::uint32_t kAlwaysRunning = 0xFFFFFFFF;

// Writers' results.
constexpr int32_t kDone = 0;
constexpr int32_t kWriteValueFailed = -2;
constexpr int32_t kWriteOpenFailed = -3;
// IsRunning's results.
constexpr int32_t kRunning = 0;
constexpr int32_t kReadOpenFailed = -2;
constexpr int32_t kReadValueFailed = -3;
constexpr int32_t kNotRunning = -4;

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// "0x" and a hexadecimal number that fits 32 bits, read as the pattern "0x%X" reads it: what
// follows the digits (the terminating zero many Windows tools store, a blank, a line end) is
// left unread.
std::optional<std::uint32_t> parseMark(std::string_view text) {
    if (!text.starts_with("0x"))
        return std::nullopt;
    text.remove_prefix(2);
    std::uint64_t id = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && hexDigit(text[digits]) >= 0; ++digits) {
        id = id * 16 + static_cast<std::uint64_t>(hexDigit(text[digits]));
        if (id > kAlwaysRunning)
            return std::nullopt;
    }
    if (digits == 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(id);
}

int32_t writeMark(const char* keyPath, std::string_view text) {
    auto key = runmark::RegistryKey::open(keyPath, runmark::KeyAccess::Write);
    if (!key)
        return kWriteOpenFailed;
    return key->setString(kValueName, text) ? kDone : kWriteValueFailed;
}

}  // namespace

// No C++ exception may reach a caller of the library; the only ones possible are allocation
// failures, reported as the value not being written or read.
extern "C" int32_t RUNMARK_CALL AddRunningKey(const char* keyPath) {
    try {
        char text[16];
        std::snprintf(text, sizeof text, "0x%X",
                      static_cast<unsigned>(runmark::currentProcessId()));
        return writeMark(keyPath, text);
    } catch (...) {
        return kWriteValueFailed;
    }
}

extern "C" int32_t RUNMARK_CALL ClearRunningKey(const char* keyPath) {
    try {
        return writeMark(keyPath, "0x0");
    } catch (...) {
        return kWriteValueFailed;
    }
}

extern "C" int32_t RUNMARK_CALL IsRunning(const char* keyPath) {
    try {
        std::optional<std::string> text;
        {
            auto key = runmark::RegistryKey::open(keyPath, runmark::KeyAccess::Read);
            if (!key)
                return kReadOpenFailed;
            text = key->queryValue(kValueName, kMaxValueBytes);
        }
        if (!text)
            return kReadValueFailed;
        const auto id = parseMark(*text);
        if (!id)
            return kReadValueFailed;
        if (*id == kAlwaysRunning)
            return kRunning;  // no process lookup for this id
        if (*id == 0)
            return kNotRunning;
        return runmark::processIsOpenable(*id) ? kRunning : kNotRunning;
    } catch (...) {
        return kReadValueFailed;
    }
}

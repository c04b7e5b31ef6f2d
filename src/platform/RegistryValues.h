#pragma once
// Typed helpers over the registry calls for the few value shapes the settings use, and the
// 32-bit boolean the settings store.

#include "platform/Registry.h"

#include <cstdint>
#include <string>

namespace oxlume {

// A boolean kept as a 32-bit integer, the way it is stored: any non-zero number reads as
// true, and assigning true stores -1. A number read from storage keeps its exact value
// until the program assigns the field, so a stored 1 is written back as 1.
class LongBool {
public:
    constexpr LongBool() = default;
    constexpr LongBool(bool value)
        : m_raw(value ? -1 : 0)
    {
    }
    static constexpr LongBool fromRaw(std::int32_t raw)
    {
        LongBool b;
        b.m_raw = raw;
        return b;
    }
    constexpr operator bool() const { return m_raw != 0; }
    constexpr std::int32_t raw() const { return m_raw; }

private:
    std::int32_t m_raw = 0;
};

// Reads a 4-byte value into target. Only REG_DWORD and REG_BINARY values of exactly 4 bytes
// count; an absent value or one of another type or size leaves target unchanged and gives
// a non-zero code.
LONG QueryDwordValue(HKEY key, const std::string &name, std::int32_t &target);
LONG QueryDwordValue(HKEY key, const std::string &name, std::uint32_t &target);
LONG QueryDwordValue(HKEY key, const std::string &name, LongBool &target);

// Writes a REG_DWORD of 4 bytes.
LONG SetDwordValue(HKEY key, const std::string &name, std::uint32_t value);

// Writes a REG_SZ with its terminating zero (length + 1 bytes).
LONG SetStringValue(HKEY key, const std::string &name, const std::string &text);

// Reads a REG_SZ or a REG_EXPAND_SZ (taken as it is, nothing expanded) into a buffer of
// bufferSize bytes with the first byte cleared, and gives the text up to the first zero
// byte. An absent value (ERROR_FILE_NOT_FOUND), one that does not fit the buffer
// (ERROR_MORE_DATA) or one of any other type (ERROR_INVALID_PARAMETER) leaves text
// untouched.
LONG QueryStringValue(HKEY key, const std::string &name, std::size_t bufferSize, std::string &text);

} // namespace oxlume

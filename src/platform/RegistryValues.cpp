#include "platform/RegistryValues.h"

#include <cstring>
#include <vector>

namespace oxlume {

namespace {

LONG queryFourBytes(HKEY key, const std::string &name, std::uint32_t &out)
{
    DWORD type = REG_NONE;
    unsigned char buf[4] = {};
    DWORD size = sizeof buf;
    const LONG rc = RegQueryValueEx(key, name, &type, buf, &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    // A text or a short value where a number belongs keeps the default rather than
    // turning a few stray bytes into a setting.
    if ((type != REG_DWORD && type != REG_BINARY) || size != 4)
        return ERROR_INVALID_PARAMETER;
    out = static_cast<std::uint32_t>(buf[0]) | static_cast<std::uint32_t>(buf[1]) << 8 |
          static_cast<std::uint32_t>(buf[2]) << 16 | static_cast<std::uint32_t>(buf[3]) << 24;
    return ERROR_SUCCESS;
}

} // namespace

LONG QueryDwordValue(HKEY key, const std::string &name, std::uint32_t &target)
{
    std::uint32_t v = 0;
    const LONG rc = queryFourBytes(key, name, v);
    if (rc == ERROR_SUCCESS)
        target = v;
    return rc;
}

LONG QueryDwordValue(HKEY key, const std::string &name, std::int32_t &target)
{
    std::uint32_t v = 0;
    const LONG rc = queryFourBytes(key, name, v);
    if (rc == ERROR_SUCCESS)
        target = static_cast<std::int32_t>(v);
    return rc;
}

LONG QueryDwordValue(HKEY key, const std::string &name, LongBool &target)
{
    std::uint32_t v = 0;
    const LONG rc = queryFourBytes(key, name, v);
    if (rc == ERROR_SUCCESS)
        target = LongBool::fromRaw(static_cast<std::int32_t>(v));
    return rc;
}

LONG SetDwordValue(HKEY key, const std::string &name, std::uint32_t value)
{
    const unsigned char bytes[4] = {static_cast<unsigned char>(value & 0xff),
                                    static_cast<unsigned char>((value >> 8) & 0xff),
                                    static_cast<unsigned char>((value >> 16) & 0xff),
                                    static_cast<unsigned char>((value >> 24) & 0xff)};
    return RegSetValueEx(key, name, REG_DWORD, bytes, 4);
}

LONG SetStringValue(HKEY key, const std::string &name, const std::string &text)
{
    return RegSetValueEx(key, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

LONG QueryStringValue(HKEY key, const std::string &name, std::size_t bufferSize, std::string &text)
{
    std::vector<char> buf(bufferSize == 0 ? 1 : bufferSize);
    buf[0] = '\0';
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(bufferSize);
    const LONG rc = RegQueryValueEx(key, name, &type, buf.data(), &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_PARAMETER;
    const void *zero = std::memchr(buf.data(), 0, size);
    const std::size_t length =
        zero ? static_cast<std::size_t>(static_cast<const char *>(zero) - buf.data()) : size;
    // Without a terminator inside the buffer the text would not have fitted with one.
    if (!zero && size >= bufferSize)
        return ERROR_MORE_DATA;
    text.assign(buf.data(), length);
    return ERROR_SUCCESS;
}

} // namespace oxlume

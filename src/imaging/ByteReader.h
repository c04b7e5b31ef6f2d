#pragma once
// Bounded reading from a byte span. Every read past the end sets the reader's failed flag
// and yields zero, so a decoder can read a whole header and check once.

#include <cstddef>
#include <cstdint>
#include <span>

namespace oxlume::imaging {

using Bytes = std::span<const std::byte>;

class ByteReader {
public:
    explicit ByteReader(Bytes data, size_t offset = 0)
        : m_data(data)
        , m_pos(offset)
    {
        if (m_pos > m_data.size()) {
            m_pos = m_data.size();
            m_failed = true;
        }
    }

    bool failed() const { return m_failed; }
    size_t position() const { return m_pos; }
    size_t size() const { return m_data.size(); }
    size_t remaining() const { return m_data.size() - m_pos; }
    bool has(uint64_t n) const { return n <= remaining(); }

    uint8_t u8() { return has(1) ? uint8_t(m_data[m_pos++]) : fail<uint8_t>(0); }
    uint16_t u16le() { return uint16_t(readLe(2)); }
    uint32_t u32le() { return uint32_t(readLe(4)); }
    uint16_t u16be() { return uint16_t(readBe(2)); }
    uint32_t u32be() { return uint32_t(readBe(4)); }
    uint64_t u64be() { return readBe(8); }
    int16_t i16le() { return int16_t(u16le()); }
    int32_t i32le() { return int32_t(u32le()); }
    int16_t i16be() { return int16_t(u16be()); }
    int32_t i32be() { return int32_t(u32be()); }

    void skip(uint64_t n)
    {
        if (!has(n)) {
            fail<int>(remaining());
            return;
        }
        m_pos += size_t(n);
    }
    void seek(uint64_t offset)
    {
        if (offset > m_data.size()) {
            m_pos = m_data.size();
            m_failed = true;
            return;
        }
        m_pos = size_t(offset);
    }
    // The next n bytes as a span (empty and failed when fewer remain); advances past them.
    Bytes take(uint64_t n)
    {
        if (!has(n)) {
            fail<int>(remaining());
            return {};
        }
        Bytes s = m_data.subspan(m_pos, size_t(n));
        m_pos += size_t(n);
        return s;
    }
    Bytes rest() const { return m_data.subspan(m_pos); }

private:
    template<typename T>
    T fail(size_t consume)
    {
        m_pos += consume;
        m_failed = true;
        return T{};
    }
    uint64_t readLe(int n)
    {
        if (!has(uint64_t(n)))
            return fail<uint64_t>(remaining());
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = (v << 8) | uint8_t(m_data[m_pos + size_t(i)]);
        m_pos += size_t(n);
        return v;
    }
    uint64_t readBe(int n)
    {
        if (!has(uint64_t(n)))
            return fail<uint64_t>(remaining());
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | uint8_t(m_data[m_pos + size_t(i)]);
        m_pos += size_t(n);
        return v;
    }

    Bytes m_data;
    size_t m_pos = 0;
    bool m_failed = false;
};

} // namespace oxlume::imaging

#pragma once
// Program errors. A broken internal rule raises one of these; the application's event
// dispatch catches whatever escapes a handler, shows the message and carries on.

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace oxlume {

class ProgramError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Message "<text> (<unit>, line <line>)", e.g. "Assertion failure (MaskMatch, line 42)".
class AssertionFailure : public ProgramError {
public:
    AssertionFailure(const std::string &text, const std::string &unit, int line);
    const std::string &unit() const { return m_unit; }
    int line() const { return m_line; }

private:
    std::string m_unit;
    int m_line;
};

class IntegerOverflow : public ProgramError {
public:
    IntegerOverflow()
        : ProgramError("Integer overflow")
    {
    }
};

class RangeCheckError : public ProgramError {
public:
    RangeCheckError()
        : ProgramError("Range check error")
    {
    }
};

inline constexpr const char *kAssertionFailure = "Assertion failure";

[[noreturn]] void raiseAssertion(const char *unit, int line, const char *text = kAssertionFailure);

inline void assertThat(bool condition, const char *unit, int line,
                       const char *text = kAssertionFailure)
{
    if (!condition)
        raiseAssertion(unit, line, text);
}

// Checked arithmetic: raises IntegerOverflow instead of wrapping.
template<typename T>
T checkedAdd(T a, T b)
{
    static_assert(std::is_integral_v<T>);
    T r;
    if (__builtin_add_overflow(a, b, &r))
        throw IntegerOverflow();
    return r;
}
template<typename T>
T checkedSub(T a, T b)
{
    static_assert(std::is_integral_v<T>);
    T r;
    if (__builtin_sub_overflow(a, b, &r))
        throw IntegerOverflow();
    return r;
}
template<typename T>
T checkedMul(T a, T b)
{
    static_assert(std::is_integral_v<T>);
    T r;
    if (__builtin_mul_overflow(a, b, &r))
        throw IntegerOverflow();
    return r;
}

// Checked indexing: raises RangeCheckError for an index outside [0, size).
template<typename Container, typename Index>
auto &checkedAt(Container &c, Index i)
{
    static_assert(std::is_integral_v<Index>);
    if constexpr (std::is_signed_v<Index>) {
        if (i < 0)
            throw RangeCheckError();
    }
    if (static_cast<std::size_t>(i) >= std::size(c))
        throw RangeCheckError();
    return c[static_cast<std::size_t>(i)];
}

} // namespace oxlume

// OX_ASSERT(cond, "Unit"): raises "Assertion failure (Unit, line N)" with this line.
#define OX_ASSERT(cond, unit) ::oxlume::assertThat(static_cast<bool>(cond), unit, __LINE__)

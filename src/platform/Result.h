#pragma once
// Result<T>: a value or an Error. Used where bad input is expected (files, settings,
// images) and the caller decides what the user sees.

#include <string>
#include <utility>
#include <variant>

namespace oxlume {

struct Error {
    int code = 0;        // a Win32-style error number where one applies, else 0
    std::string message; // names what failed and why
};

template<typename T>
class [[nodiscard]] Result {
public:
    Result(T value)
        : m_v(std::move(value))
    {
    }
    Result(Error error)
        : m_v(std::move(error))
    {
    }

    bool ok() const { return m_v.index() == 0; }
    explicit operator bool() const { return ok(); }

    T &value() & { return std::get<0>(m_v); }
    const T &value() const & { return std::get<0>(m_v); }
    T &&value() && { return std::get<0>(std::move(m_v)); }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }
    const Error &error() const { return std::get<1>(m_v); }

private:
    std::variant<T, Error> m_v;
};

template<>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error)
        : m_error(std::move(error))
        , m_failed(true)
    {
    }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Error &error() const { return m_error; }

private:
    Error m_error;
    bool m_failed = false;
};

inline Error makeError(std::string message, int code = 0)
{
    return Error{code, std::move(message)};
}

} // namespace oxlume

// OX_TRY(expr): returns the error of a failed Result from the enclosing function.
#define OX_TRY(expr)                                                                               \
    do {                                                                                           \
        auto &&ox_try_result_ = (expr);                                                            \
        if (!ox_try_result_.ok())                                                                  \
            return ox_try_result_.error();                                                         \
    } while (0)

#pragma once
// Five small character, memory, number and clock routines that the rest of the program
// treats like their C-library namesakes. Character rules are plain ASCII, independent of
// the process locale.

#include <cstddef>
#include <cstdint>

namespace oxlume {

// 'A'..'Z' become 'a'..'z'; every other code (bytes above 127 included) comes back as is.
std::int32_t c_tolower(std::int32_t c);

// Non-zero for a printable ASCII character other than space ('!'..'~'), zero otherwise.
std::int32_t c_isgraph(std::int32_t c);

// Seconds since 1970-01-01 UTC as a non-negative 32-bit count. After January 2038 the count
// wraps to its low 31 bits instead of going negative: callers need only a value that is
// non-negative and changes from run to run.
std::int32_t GetTimet();

// Zero when the first count bytes of a and b are equal, non-zero otherwise.
std::int32_t c_memcmp(const void *a, const void *b, std::size_t count);

// The decimal value at the start of text (leading blanks, optional sign, digits), 0 when
// there are no digits or text is null. Values beyond the 32-bit range saturate instead of
// being undefined.
std::int32_t c_atoi(const char *text);

} // namespace oxlume

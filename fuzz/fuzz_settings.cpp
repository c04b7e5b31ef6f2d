// The settings-file reader against any input: what parses is written, read again and must
// give the same tree, and writing that gives the same text. The reader's own limits keep
// time and memory bounded (linear reading, a depth limit, a bound on the saved size).

#include "platform/RegFile.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace oxlume::reg;
    constexpr std::string_view kRoot = "HKEY_CURRENT_USER";
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const oxlume::Result<RegKey> first = parseRegFile(text, kRoot);
    if (!first.ok())
        return 0;
    const std::string written = writeRegFile(first.value(), kRoot);
    // Section names repeat their whole path, so the saved form may be larger than the
    // input, but never past what the reader accepts plus the values' longer spelling.
    if (written.size() > kMaxHiveSize + 4 * size + 64)
        std::abort();
    const oxlume::Result<RegKey> second = parseRegFile(written, kRoot);
    if (!second.ok() || !(second.value() == first.value()))
        std::abort();
    if (writeRegFile(second.value(), kRoot) != written)
        std::abort();
    return 0;
}

#include "imaging/decoders/Inflate.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <string>

namespace oxlume::imaging {

bool isGzip(Bytes data)
{
    return data.size() >= 2 && data[0] == std::byte{0x1f} && data[1] == std::byte{0x8b};
}

Result<Inflated> inflateAtMost(Bytes in, Wrapping wrapping, size_t cap)
{
    z_stream z{};
    // 15 window bits; +16 reads the gzip wrapper instead of zlib's.
    if (inflateInit2(&z, wrapping == Wrapping::Gzip ? 15 + 16 : 15) != Z_OK)
        return makeError("out of memory while inflating");
    Inflated out;
    // Grows as output comes, so a cut-short stream does not cost the whole cap up front.
    out.bytes.resize(qsizetype(std::min<size_t>(cap, std::max<size_t>(in.size() * 4, 4096))));
    const auto *next = reinterpret_cast<const Bytef *>(in.data());
    size_t left = in.size();
    size_t done = 0;
    int status = Z_OK;
    while (done < cap) {
        if (done == size_t(out.bytes.size()))
            out.bytes.resize(qsizetype(std::min(cap, done * 2)));
        constexpr size_t kChunk = std::numeric_limits<uInt>::max();
        z.next_in = const_cast<Bytef *>(next);
        z.avail_in = uInt(std::min(left, kChunk));
        z.next_out = reinterpret_cast<Bytef *>(out.bytes.data()) + done;
        z.avail_out = uInt(std::min(size_t(out.bytes.size()) - done, kChunk));
        const uInt inBefore = z.avail_in, outBefore = z.avail_out;
        status = inflate(&z, Z_NO_FLUSH);
        next += inBefore - z.avail_in;
        left -= inBefore - z.avail_in;
        done += outBefore - z.avail_out;
        // Anything but progress ends it, as does input used up with room to spare (cut short).
        if (status != Z_OK || (left == 0 && z.avail_out != 0))
            break;
    }
    inflateEnd(&z);
    if (status == Z_NEED_DICT || status == Z_DATA_ERROR)
        return makeError("the compressed data is damaged");
    if (status == Z_MEM_ERROR)
        return makeError("out of memory while inflating");
    out.ended = status == Z_STREAM_END;
    out.bytes.resize(qsizetype(done));
    return out;
}

} // namespace oxlume::imaging

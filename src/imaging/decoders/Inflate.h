#pragma once
// zlib and gzip streams inflated into a buffer of bounded size: the decoders that meet
// compressed data never let a small file ask for unbounded memory or time.

#include "imaging/ByteReader.h"
#include "platform/Result.h"

#include <QByteArray>

#include <cstddef>

namespace oxlume::imaging {

enum class Wrapping { Zlib, Gzip };

struct Inflated {
    QByteArray bytes;
    bool ended = false; // the stream ended within the cap (more output would follow otherwise)
};

// Inflates in until the stream ends or cap bytes are out, whichever comes first; stops there,
// so the work is bounded by cap. Fails when the stream is damaged before either happens; a
// stream cut short gives what it held with ended false.
Result<Inflated> inflateAtMost(Bytes in, Wrapping wrapping, size_t cap);

bool isGzip(Bytes data);

} // namespace oxlume::imaging

#pragma once
// The one small interface every decoder offers: sniff by content, read the header, decode.

#include "imaging/ByteReader.h"
#include "platform/Result.h"

#include <QImage>

#include <cstdint>
#include <string>

namespace oxlume::imaging {

struct ImageInfo {
    std::string format; // "JPEG", "BMP", "PCX", "PSD", "WMF", or the Qt plugin's name
    int width = 0;
    int height = 0;
    int bitDepth = 0; // bits per pixel as stored in the file
};

// Told about progress while rows decode; asked whether anybody still wants the result.
class DecodeObserver {
public:
    virtual ~DecodeObserver() = default;
    // done grows from 0 to total; a decoder reports at most a few hundred times per image.
    virtual void progress(int64_t done, int64_t total) { (void)done, (void)total; }
    // True when the result is no longer wanted: the decoder may stop and fail early.
    virtual bool cancelled() const { return false; }
};

// Decoders deliver Format_RGB32 (opaque) or Format_ARGB32 (with alpha) images.
struct DecoderEntry {
    const char *name;
    bool (*sniff)(Bytes data);
    Result<ImageInfo> (*readInfo)(Bytes data);
    Result<QImage> (*decode)(Bytes data, DecodeObserver &observer);
};

// Reports progress at most every ~1% of rows and checks for cancellation on the same beat.
class RowProgress {
public:
    RowProgress(DecodeObserver &observer, int64_t total)
        : m_observer(observer)
        , m_total(total > 0 ? total : 1)
        , m_step(m_total / 100 > 0 ? m_total / 100 : 1)
    {
    }
    // Call after each row; returns false when the load was cancelled.
    bool row(int64_t done)
    {
        if (done % m_step != 0 && done != m_total)
            return true;
        m_observer.progress(done, m_total);
        return !m_observer.cancelled();
    }

private:
    DecodeObserver &m_observer;
    int64_t m_total;
    int64_t m_step;
};

} // namespace oxlume::imaging

#pragma once
// JPEG through libjpeg-turbo: baseline, progressive, arithmetic, greyscale, RGB, CMYK/YCCK.
#include "imaging/Limits.h"
#include "imaging/decoders/Decoder.h"

#include <cstdint>

namespace oxlume::imaging {

struct JpegOptions {
    // Turn the image upright as its EXIF orientation (1..8) says. Off gives the stored pixels.
    bool applyOrientation = true;
    // Convert to sRGB through the file's ICC profile. Off gives the stored colours.
    bool applyProfile = true;
    // A picture of more pixels is decoded at the largest scale that fits (1/2, 1/4, 1/8).
    int64_t maxPixels = kMaxImagePixels;
    // 1, 2, 4 or 8: decode at that fraction of the size through libjpeg's DCT scaling,
    // which skips most of the work (a quick preview).
    int scaleDenom = 1;
};

// An image decoded smaller than stored says so in this text ("1/2", "1/4" or "1/8").
inline constexpr char kShownScaleKey[] = "OxlumeShownScale";

// True when data starts with SOI and a marker (FF D8 FF).
bool sniffJpeg(Bytes data);

// Width and height as STORED in the file, before any EXIF orientation turns them (use
// readJpegOrientation to learn whether they swap). bitDepth = 8 x components. Fails on a
// header that is cut short or unsupported (12-bit samples, no image).
Result<ImageInfo> readJpegInfo(Bytes data);

// The EXIF orientation (1..8) of the file; 1 when there is none or it is unreadable.
int readJpegOrientation(Bytes data);
// The orientation tag (1..8) of an EXIF block in TIFF form (from its "II"/"MM" byte order
// mark on), as other formats embed it; 1 when there is none or it is unreadable.
int readTiffOrientation(Bytes tiff);

// A Format_RGB32 image, turned upright unless options say otherwise. One over the pixel
// limit comes at a reduced scale, with kShownScaleKey set. A file cut short in its
// image data still succeeds: the rows that never arrived are grey. Fails with
// "JPEG: cancelled" when the observer cancels, and with libjpeg's reason on bad data.
Result<QImage> decodeJpeg(Bytes data, DecodeObserver &observer);
Result<QImage> decodeJpegWith(Bytes data, DecodeObserver &observer, const JpegOptions &options);

} // namespace oxlume::imaging

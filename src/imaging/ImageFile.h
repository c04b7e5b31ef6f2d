#pragma once
// Loading an image file: open without ever blocking, read the whole file, pick the decoder
// by content and decode. Every failure of the load... functions is a Result whose message
// starts with the path; decodeImageFile keeps the path and the reason apart.

#include "imaging/decoders/Decoder.h"
#include "platform/Result.h"

#include <QImage>
#include <QSize>

#include <optional>
#include <string>

namespace oxlume::imaging {

// Why a file did not load: its path and the one-line reason, kept apart so that whoever
// shows it can name the file in its own way.
struct LoadFailure {
    std::string path;
    std::string reason;
    std::string message() const { return path + ": " + reason; }
};

// The decoded image (Format_RGB32 or Format_ARGB32). Fails with "<path>: <reason>" when the
// path is not a regular file (folder, FIFO, device), cannot be opened or read, is empty or
// larger than kMaxFileBytes, holds no format we read ("<path>: unknown image format"), or
// the decoder refuses it; a cancelled load fails too.
Result<QImage> loadImageFile(const std::string &path, DecodeObserver &observer);
// The same load; the error's message is the reason alone.
Result<QImage> decodeImageFile(const std::string &path, DecodeObserver &observer);

// A quick preview of a JPEG of at least minPixels: decoded through DCT scaling at the
// smallest of 1/8, 1/4, 1/2 of its size that keeps at least previewPixels, turned upright.
// Fails with "<path>: no quick preview for this image" for other formats and smaller
// images, else as loadImageFile.
// fullSize, when given, receives the size of the whole picture (upright).
Result<QImage> loadReducedJpeg(const std::string &path, int64_t minPixels, int64_t previewPixels,
                               DecodeObserver &observer, QSize *fullSize = nullptr);

// Where an image is to be shown fitted: the area in logical pixels and its device pixel
// ratio, as the painting control sees them.
struct FitArea {
    QSize size;
    double devicePixelRatio = 1.0;
    bool operator==(const FitArea &) const = default;
};

// What a load made ready for painting beside the image.
struct PaintReady {
    // The size of the whole image when the image is a reduced decode standing in for it
    // (upright); empty when the image is the whole.
    QSize fullSize;
    // The image reduced for painting in the fit area; null when it is not painted reduced.
    QImage reduced;
};

// The image to show fitted into area. A JPEG that is at least twice the size it is shown at
// decodes through DCT scaling at the strongest reduction (1/2, 1/4, 1/8) that still covers
// that size, which skips most of the work; ready.fullSize then says how large the whole is.
// Other images decode whole. Either way ready.reduced is the reduction painted in area.
// Fails as loadImageFile, with the reason alone.
struct FittedImage {
    QImage image;
    PaintReady ready;
};
Result<FittedImage> decodeImageFileFitted(const std::string &path, const FitArea &area,
                                          DecodeObserver &observer);
// The reduction of image painted fitted into area (reduceForPainting at the size the
// painting control computes for an image of shownSize, by default image's own); null when
// image is not painted reduced there.
QImage reductionForArea(const QImage &image, const FitArea &area, QSize shownSize = {});

// Format, size and stored bit depth from the file's header, with the same failures.
Result<ImageInfo> readImageFileInfo(const std::string &path);

// Both at once: the decoded image and the header's description of it.
struct LoadedImage {
    QImage image;
    ImageInfo info;
};
Result<LoadedImage> loadImageFileWithInfo(const std::string &path, DecodeObserver &observer);

} // namespace oxlume::imaging

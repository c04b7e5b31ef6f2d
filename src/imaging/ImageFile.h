#pragma once
// Loading an image file: open without ever blocking, read the whole file, pick the decoder
// by content and decode. Every failure of the load... functions is a Result whose message
// starts with the path; decodeImageFile keeps the path and the reason apart.

#include "imaging/decoders/Decoder.h"
#include "platform/Result.h"

#include <QImage>

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
Result<QImage> loadReducedJpeg(const std::string &path, int64_t minPixels, int64_t previewPixels,
                               DecodeObserver &observer);

// Format, size and stored bit depth from the file's header, with the same failures.
Result<ImageInfo> readImageFileInfo(const std::string &path);

// Both at once: the decoded image and the header's description of it.
struct LoadedImage {
    QImage image;
    ImageInfo info;
};
Result<LoadedImage> loadImageFileWithInfo(const std::string &path, DecodeObserver &observer);

} // namespace oxlume::imaging

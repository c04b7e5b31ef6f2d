#include "imaging/decoders/Jpeg.h"

#include "imaging/ColourProfile.h"
#include "imaging/ImageBuffer.h"
#include "imaging/Limits.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <jerror.h>
#include <jpeglib.h>

namespace oxlume::imaging {

namespace {

// Rows asked of libjpeg per call: the cancel check runs between batches, and a rotated
// image is turned one batch at a time through a small scratch buffer.
constexpr int kBatchRows = 16;
// A progressive file may carry any number of scans, each one a pass over the whole image.
// Real encoders write about a dozen; hostile files write thousands to burn time.
constexpr int kMaxScans = 500;
// What the scans cost is the blocks they visit: a few dozen scans over a huge image take as
// long as thousands over a small one. Common encoders' scan scripts fit at any size that the
// memory bound below allows.
constexpr int64_t kMaxScanBlocks = int64_t(1) << 25;

#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr J_COLOR_SPACE kRgb32Space = JCS_EXT_BGRA; // 0xAARRGGBB in memory order
#else
constexpr J_COLOR_SPACE kRgb32Space = JCS_EXT_ARGB;
#endif

enum class Stop { None, Failed, Cancelled, ObserverThrew, TooManyScans, TooMuchWork };

// Everything libjpeg's callbacks and the setjmp functions touch. It lives in the frame of
// the C++ caller, which longjmp never crosses; the frames it does cross (the setjmp functions
// and libjpeg's) hold no object with a destructor.
struct DecodeState {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    bool created = false;
    Stop stop = Stop::None;
    char message[JMSG_LENGTH_MAX] = {};
    int msgCode = 0;
    DecodeObserver *observer = nullptr;
    std::exception_ptr thrown; // what the observer threw, rethrown once libjpeg is left
    int lastPermille = -1;
    int eofRow = -1; // the iMCU row being decoded when the data ran out
    int eofScan = 0; // and the scan it belonged to
    int scansSeen = 0;
    int64_t scanBlocks = 0; // blocks the scans so far visit, each once per scan

    // Output: rows are written into dest, turned as orientation says.
    uchar *dest = nullptr;
    qsizetype destBytesPerLine = 0;
    int orientation = 1;
    bool cmyk = false;
    bool adobeInverted = false;
    RowConversion *conversion = nullptr; // to sRGB through the file's profile
    uint32_t *scratch = nullptr;         // kBatchRows stored rows, for orientations 5..8
};

DecodeState &stateOf(j_common_ptr c)
{
    return *static_cast<DecodeState *>(c->client_data);
}

[[noreturn]] void errorExit(j_common_ptr c)
{
    DecodeState &s = stateOf(c);
    (*c->err->format_message)(c, s.message);
    s.msgCode = c->err->msg_code;
    s.stop = Stop::Failed;
    std::longjmp(s.jump, 1);
}

// Warnings (corrupt data, premature end) are not failures: libjpeg goes on and fills in.
// Where the data ran out is noted, so that the grey rest need not be decoded block by block.
void emitMessage(j_common_ptr c, int level)
{
    DecodeState &s = stateOf(c);
    // A marker inside the data also ends it, unless it is a restart marker that resumes it.
    const int code = c->err->msg_code;
    const bool ended =
        code == JWRN_JPEG_EOF || (code == JWRN_HIT_MARKER && s.cinfo.restart_interval == 0);
    if (level == -1 && ended && s.eofRow < 0) {
        s.eofRow = int(s.cinfo.input_iMCU_row);
        s.eofScan = s.cinfo.input_scan_number;
    }
}

// False when the observer cancelled or threw; never lets an exception into libjpeg's frames.
// A negative permille only asks about cancelling.
bool notifyObserver(DecodeState &s, int permille)
{
    try {
        if (permille >= 0)
            s.observer->progress(permille, 1000);
        if (s.observer->cancelled()) {
            s.stop = Stop::Cancelled;
            return false;
        }
    } catch (...) {
        s.thrown = std::current_exception();
        s.stop = Stop::ObserverThrew;
        return false;
    }
    return true;
}

// Progress over all passes: the input scans of a progressive file, then the output rows.
void progressMonitor(j_common_ptr c)
{
    DecodeState &s = stateOf(c);
    if (s.cinfo.input_scan_number != s.scansSeen) {
        // A new scan, none of it decoded yet: refuse it when it would pass the bounds, and
        // ask about cancelling, which the ratcheting pass estimate may not trigger for long.
        s.scansSeen = s.cinfo.input_scan_number;
        for (int i = 0; i < s.cinfo.comps_in_scan; ++i)
            s.scanBlocks += int64_t(s.cinfo.cur_comp_info[i]->width_in_blocks) *
                            int64_t(s.cinfo.cur_comp_info[i]->height_in_blocks);
        // A huge picture may take a few whole passes more than the fixed bound: its first
        // scans alone visit more blocks than that.
        int64_t passBlocks = 0;
        for (int i = 0; i < s.cinfo.num_components; ++i)
            passBlocks += int64_t(s.cinfo.comp_info[i].width_in_blocks) *
                          int64_t(s.cinfo.comp_info[i].height_in_blocks);
        if (s.scansSeen > kMaxScans)
            s.stop = Stop::TooManyScans;
        else if (s.scanBlocks > std::max(kMaxScanBlocks, 3 * passBlocks))
            s.stop = Stop::TooMuchWork;
        if (s.stop != Stop::None || !notifyObserver(s, -1))
            std::longjmp(s.jump, 1);
    }
    const jpeg_progress_mgr &p = *c->progress;
    const double pass = p.pass_limit > 0 ? double(p.pass_counter) / double(p.pass_limit) : 0.0;
    const int total = p.total_passes > 0 ? p.total_passes : 1;
    int permille = int((double(p.completed_passes) + std::min(pass, 1.0)) * 1000.0 / total);
    permille = std::clamp(permille, 0, 999); // 1000 is reported once the image is complete
    if (permille < s.lastPermille + 10)
        return;
    s.lastPermille = permille;
    if (!notifyObserver(s, permille))
        std::longjmp(s.jump, 1);
}

void initState(DecodeState &s, DecodeObserver *observer)
{
    std::memset(&s.cinfo, 0, sizeof s.cinfo);
    s.cinfo.err = jpeg_std_error(&s.err);
    s.err.error_exit = errorExit;
    s.err.emit_message = emitMessage;
    s.cinfo.client_data = &s;
    s.observer = observer;
}

// Header phase. Plain function with setjmp: nothing here has a destructor.
bool openAndReadHeader(DecodeState *s, Bytes data, bool keepExif)
{
    if (setjmp(s->jump))
        return false;
    jpeg_create_decompress(&s->cinfo);
    s->created = true;
    s->cinfo.client_data = s;
    // Bounds libjpeg's own buffers (a progressive file keeps every coefficient).
    s->cinfo.mem->max_memory_to_use = long(kMaxImageBytes);
    jpeg_mem_src(&s->cinfo, reinterpret_cast<const unsigned char *>(data.data()),
                 static_cast<unsigned long>(data.size()));
    if (keepExif)
        jpeg_save_markers(&s->cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&s->cinfo, TRUE);
    return true;
}

// Past the pixel budget libjpeg scales while it decodes: the largest of 1/2, 1/4 and 1/8
// that fits, so that any JPEG the format allows can be shown. Sets the output size.
// Returns the denominator (1 when the picture fits as it is), 0 when libjpeg fails.
// The smallest reduction, at least minDenom (a quick preview asks for one), that fits.
int chooseScale(DecodeState *s, int64_t maxPixels, int minDenom)
{
    if (setjmp(s->jump))
        return 0;
    jpeg_decompress_struct &c = s->cinfo;
    c.scale_num = 1;
    const unsigned first =
        (minDenom == 2 || minDenom == 4 || minDenom == 8) ? unsigned(minDenom) : 1;
    for (unsigned denom = first;; denom *= 2) {
        c.scale_denom = denom;
        jpeg_calc_output_dimensions(&c);
        if (int64_t(c.output_width) * c.output_height <= maxPixels || denom == 8)
            return int(denom);
    }
}

inline uint8_t mul255(unsigned a, unsigned b)
{
    const unsigned t = a * b + 128;
    return uint8_t((t + (t >> 8)) >> 8);
}

// In place: libjpeg's CMYK bytes become 0xFFRRGGBB pixels. Adobe writers store the inks
// inverted (0 = full ink), everybody else stores them plainly.
void cmykToRgb32(uchar *row, int width, bool adobeInverted)
{
    auto *px = reinterpret_cast<uint32_t *>(row);
    for (int x = 0; x < width; ++x) {
        const uchar *p = row + size_t(x) * 4;
        unsigned c = p[0], m = p[1], y = p[2], k = p[3];
        if (!adobeInverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        px[x] =
            0xFF000000u | uint32_t(mul255(c, k)) << 16 | uint32_t(mul255(m, k)) << 8 | mul255(y, k);
    }
}

// What the file's profile does to its pixels, made when first needed. CMYK that the profile
// cannot convert still becomes pixels.
std::function<RowConvert()> profileConversion(const QByteArray &profile, bool cmyk, bool inverted,
                                              bool grey)
{
    return [profile, cmyk, inverted, grey]() -> RowConvert {
        const Bytes bytes(reinterpret_cast<const std::byte *>(profile.constData()),
                          size_t(profile.size()));
        if (!cmyk)
            return pixelConversion(bytes, grey ? PixelModel::Grey : PixelModel::Rgb, "JPEG");
        std::shared_ptr<const CmykTransform> t = CmykTransform::create(bytes, inverted, "JPEG");
        if (!t)
            return [inverted](uint32_t *row, size_t n) {
                cmykToRgb32(reinterpret_cast<uchar *>(row), int(n), inverted);
            };
        return [t](uint32_t *row, size_t n) {
            t->convert(reinterpret_cast<const uint8_t *>(row), row, int(n));
        };
    };
}

void mirrorRow(uchar *row, int width)
{
    auto *px = reinterpret_cast<uint32_t *>(row);
    std::reverse(px, px + width);
}

// Where stored row y starts in the destination, for the orientations that keep rows rows.
uchar *destRow(const DecodeState &s, int y)
{
    const int h = int(s.cinfo.output_height);
    const bool bottomUp = s.orientation == 3 || s.orientation == 4;
    return s.dest + qsizetype(bottomUp ? h - 1 - y : y) * s.destBytesPerLine;
}

// Orientations 5..8 swap rows and columns: stored pixel (x, y) of an image w x h goes to
// destination row dy(x), column dx(y). Each batch writes one short run per destination row;
// those rows are far apart, so a run of 16 pixels (one cache line) is built in registers and
// streamed out without first reading the line in, which otherwise doubles the decode time.
void scatterBatch(const DecodeState &s, int firstRow, int rows)
{
    const int w = int(s.cinfo.output_width);
    const int h = int(s.cinfo.output_height);
    const bool flipCols = s.orientation == 6 || s.orientation == 7; // dx = h-1-y
    const bool flipRows = s.orientation == 7 || s.orientation == 8; // dy = w-1-x
    const int runStart = flipCols ? h - firstRow - rows : firstRow;
    for (int x = 0; x < w; ++x) {
        const int dy = flipRows ? w - 1 - x : x;
        auto *out =
            reinterpret_cast<uint32_t *>(s.dest + qsizetype(dy) * s.destBytesPerLine) + runStart;
        const uint32_t *in = s.scratch + x;
#ifdef __SSE2__
        if (rows == kBatchRows && (reinterpret_cast<uintptr_t>(out) & 63) == 0) {
            alignas(16) uint32_t run[kBatchRows];
            for (int i = 0; i < kBatchRows; ++i)
                run[flipCols ? kBatchRows - 1 - i : i] = in[size_t(i) * size_t(w)];
            for (int j = 0; j < kBatchRows; j += 4)
                _mm_stream_si128(reinterpret_cast<__m128i *>(out + j),
                                 _mm_load_si128(reinterpret_cast<const __m128i *>(run + j)));
            continue;
        }
#endif
        for (int i = 0; i < rows; ++i)
            out[flipCols ? rows - 1 - i : i] = in[size_t(i) * size_t(w)];
    }
#ifdef __SSE2__
    _mm_sfence();
#endif
}

// When the data of a Huffman-coded file runs out in its first scan and no other scan follows,
// every block after that
// point stays empty, which libjpeg turns into mid-grey; only the next few iMCU rows may still
// blend with real data (bits read ahead, upsampling, and progressive block smoothing, which
// looks two block rows away). Past those, filling the
// grey ourselves gives the same pixels: a few hundred bytes claiming 250 megapixels would
// otherwise keep libjpeg busy for seconds. (Arithmetic decoding goes on inventing data, and
// grey CMYK inks are not grey pixels, so those are left to libjpeg.)
bool restIsGrey(const DecodeState &s)
{
    if (s.eofRow < 0 || s.eofScan != 1 || s.cinfo.input_scan_number != 1 || s.cinfo.arith_code ||
        s.cmyk)
        return false;
    const int64_t rowsPerIMCU = int64_t(s.cinfo.max_v_samp_factor) * s.cinfo.min_DCT_scaled_size;
    return int64_t(s.cinfo.output_scanline) >= (int64_t(s.eofRow) + 4) * rowsPerIMCU;
}

void fillGreyFrom(const DecodeState &s, int fromRow)
{
    constexpr uint32_t kGrey = 0xFF808080u;
    const int w = int(s.cinfo.output_width);
    const int h = int(s.cinfo.output_height);
    if (s.orientation < 5) {
        for (int y = fromRow; y < h; ++y) {
            auto *row = reinterpret_cast<uint32_t *>(destRow(s, y));
            std::fill(row, row + w, kGrey);
        }
        return;
    }
    // Turned: the missing stored rows are a band of columns in every destination row.
    const bool flipCols = s.orientation == 6 || s.orientation == 7;
    const int from = flipCols ? 0 : fromRow;
    const int to = flipCols ? h - fromRow : h;
    for (int dy = 0; dy < w; ++dy) {
        auto *row = reinterpret_cast<uint32_t *>(s.dest + qsizetype(dy) * s.destBytesPerLine);
        std::fill(row + from, row + to, kGrey);
    }
}

// Pixel phase. Plain function with setjmp: nothing here has a destructor.
bool decodeRows(DecodeState *s)
{
    if (setjmp(s->jump))
        return false;
    s->cinfo.progress = &s->progress;
    jpeg_start_decompress(&s->cinfo);
    const int w = int(s->cinfo.output_width);
    const int h = int(s->cinfo.output_height);
    const bool turned = s->orientation >= 5;
    JSAMPROW rows[kBatchRows];
    while (int(s->cinfo.output_scanline) < h) {
        const int first = int(s->cinfo.output_scanline);
        const int want = std::min(kBatchRows, h - first);
        for (int i = 0; i < want; ++i)
            rows[i] = turned ? reinterpret_cast<JSAMPROW>(s->scratch + size_t(i) * size_t(w))
                             : destRow(*s, first + i);
        // libjpeg hands out a few rows per call; a turned image waits for a whole batch so
        // that every scattered run is a full cache line.
        int got = 0;
        do {
            const int n = int(jpeg_read_scanlines(&s->cinfo, rows + got, JDIMENSION(want - got)));
            if (n <= 0) { // cannot happen with a memory source; never spin
                std::snprintf(s->message, sizeof s->message, "no rows after row %d", first + got);
                s->stop = Stop::Failed;
                return false;
            }
            got += n;
        } while (turned && got < want);
        for (int i = 0; i < got; ++i) {
            // Through a profile, the inks stay in place for the conversion.
            if (s->cmyk && !s->conversion)
                cmykToRgb32(rows[i], w, s->adobeInverted);
            if (s->orientation == 2 || s->orientation == 3)
                mirrorRow(rows[i], w);
        }
        if (turned)
            scatterBatch(*s, first, got);
        else if (s->conversion)
            s->conversion->written(first + got);
        if (restIsGrey(*s) && int(s->cinfo.output_scanline) < h) {
            fillGreyFrom(*s, int(s->cinfo.output_scanline));
            break;
        }
    }
    return true;
}

// Owns the libjpeg objects for one call; the only frame with destructors.
class Decompressor {
public:
    explicit Decompressor(DecodeObserver *observer) { initState(m_s, observer); }
    ~Decompressor()
    {
        if (m_s.created)
            jpeg_destroy_decompress(&m_s.cinfo);
    }
    Decompressor(const Decompressor &) = delete;
    Decompressor &operator=(const Decompressor &) = delete;

    DecodeState &state() { return m_s; }
    Error error() const;

private:
    DecodeState m_s;
};

Error Decompressor::error() const
{
    const jpeg_decompress_struct &c = m_s.cinfo;
    switch (m_s.stop) {
    case Stop::Cancelled:
    case Stop::ObserverThrew: // rethrown by the caller; never reaches here
        return makeError("JPEG: cancelled");
    case Stop::TooManyScans:
        return makeError("JPEG: more than " + std::to_string(kMaxScans) +
                         " scans; the file is damaged or hostile");
    case Stop::TooMuchWork:
        return makeError("JPEG: its scans visit more than " + std::to_string(kMaxScanBlocks) +
                         " blocks (scan " + std::to_string(m_s.scansSeen) +
                         "); the file is damaged or hostile");
    default: break;
    }
    if (m_s.msgCode == JERR_BAD_PRECISION)
        return makeError("JPEG: " + std::to_string(c.data_precision) +
                         "-bit samples are not supported, only 8-bit ones");
    if (m_s.msgCode == JERR_IMAGE_TOO_BIG)
        return makeError("JPEG: image of " + std::to_string(c.image_width) + " x " +
                         std::to_string(c.image_height) +
                         " pixels exceeds the JPEG limit of 65500 pixels per side");
    if (m_s.msgCode == JERR_NO_BACKING_STORE)
        return makeError("JPEG: decoding needs more than the " +
                         std::to_string(c.mem ? c.mem->max_memory_to_use : 0) +
                         " bytes of working memory left beside the image");
    return makeError(std::string("JPEG: ") + m_s.message);
}

// Orientation tag 0x0112 of IFD0 in an APP1 "Exif" payload; 1 when absent or unreadable.
int parseExifOrientation(Bytes app1)
{
    static const char kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (app1.size() < 14 || std::memcmp(app1.data(), kExif, 6) != 0)
        return 1;
    return readTiffOrientation(app1.subspan(6));
}

int savedOrientation(const jpeg_decompress_struct &c);

} // namespace

int readTiffOrientation(Bytes tiff)
{
    ByteReader r(tiff);
    const uint16_t order = r.u16be();
    if (order != 0x4949 && order != 0x4D4D) // "II" little-endian, "MM" big-endian
        return 1;
    const bool le = order == 0x4949;
    auto u16 = [&] { return le ? r.u16le() : r.u16be(); };
    auto u32 = [&] { return le ? r.u32le() : r.u32be(); };
    if (u16() != 42)
        return 1;
    r.seek(u32());
    const unsigned count = u16();
    for (unsigned i = 0; i < count && !r.failed(); ++i) {
        const uint16_t tag = u16();
        const uint16_t type = u16();
        r.skip(4);                                        // value count
        const uint32_t value = type == 4 ? u32() : u16(); // SHORT is the norm, LONG seen too
        if (type != 4)
            r.skip(2);
        if (r.failed())
            return 1;
        if (tag == 0x0112)
            return value >= 1 && value <= 8 ? int(value) : 1;
    }
    return 1;
}

namespace {

int savedOrientation(const jpeg_decompress_struct &c)
{
    for (jpeg_saved_marker_ptr m = c.marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1)
            continue;
        const Bytes payload(reinterpret_cast<const std::byte *>(m->data), m->data_length);
        if (payload.size() >= 6 && std::memcmp(payload.data(), "Exif", 4) == 0)
            return parseExifOrientation(payload);
    }
    return 1;
}

DecodeObserver &quietObserver()
{
    static DecodeObserver none;
    return none;
}

} // namespace

bool sniffJpeg(Bytes data)
{
    return data.size() >= 3 && data[0] == std::byte{0xFF} && data[1] == std::byte{0xD8} &&
           data[2] == std::byte{0xFF};
}

Result<ImageInfo> readJpegInfo(Bytes data)
{
    Decompressor d(&quietObserver());
    DecodeState &s = d.state();
    if (!openAndReadHeader(&s, data, false))
        return d.error();
    // Past the pixel limit the decoder scales it down (1/8 of the largest the format allows
    // fits), so the stored size is never refused here.
    ImageInfo info;
    info.format = "JPEG";
    info.width = int(s.cinfo.image_width);
    info.height = int(s.cinfo.image_height);
    info.bitDepth = s.cinfo.num_components * s.cinfo.data_precision;
    return info;
}

int readJpegOrientation(Bytes data)
{
    Decompressor d(&quietObserver());
    if (!openAndReadHeader(&d.state(), data, true))
        return 1;
    return savedOrientation(d.state().cinfo);
}

Result<QImage> decodeJpeg(Bytes data, DecodeObserver &observer)
{
    return decodeJpegWith(data, observer, JpegOptions{});
}

Result<QImage> decodeJpegWith(Bytes data, DecodeObserver &observer, const JpegOptions &options)
{
    Decompressor d(&observer);
    DecodeState &s = d.state();
    if (!openAndReadHeader(&s, data, options.applyOrientation))
        return d.error();
    jpeg_decompress_struct &c = s.cinfo;

    switch (c.jpeg_color_space) {
    case JCS_CMYK:
    case JCS_YCCK: // libjpeg turns YCCK into CMYK
        c.out_color_space = JCS_CMYK;
        s.cmyk = true;
        s.adobeInverted = c.saw_Adobe_marker;
        break;
    default: c.out_color_space = kRgb32Space; break;
    }
    s.progress.progress_monitor = progressMonitor;
    const QByteArray profile = options.applyProfile ? jpegIccProfile(data) : QByteArray();

    const int denom = chooseScale(&s, options.maxPixels, options.scaleDenom);
    if (denom == 0)
        return d.error();
    const int64_t w = c.output_width;
    const int64_t h = c.output_height;
    if (w * h > options.maxPixels) // even at 1/8
        return makeError("JPEG: image of " + std::to_string(c.image_width) + " x " +
                         std::to_string(c.image_height) + " pixels exceeds the limit of " +
                         std::to_string(options.maxPixels) + " pixels even at 1/8");
    s.orientation = options.applyOrientation ? savedOrientation(c) : 1;
    const bool turned = s.orientation >= 5;
    Result<QImage> image = allocateImage("JPEG", turned ? h : w, turned ? w : h);
    if (!image)
        return image.error();

    std::vector<uint32_t> scratch;
    if (turned) {
        scratch.resize(size_t(w) * kBatchRows);
        s.scratch = scratch.data();
    }
    s.dest = image->bits();
    s.destBytesPerLine = image->bytesPerLine();
    // A progressive file keeps every coefficient while its scans arrive: with the image, that
    // stays within the largest image plus a tenth.
    c.mem->max_memory_to_use = long(kMaxImageBytes + kMaxImageBytes / 10 - image->sizeInBytes());
    std::optional<RowConversion> conversion;
    if (!profile.isEmpty()) {
        // Rows are converted as they are decoded; turned ones, once all are in place.
        uchar *bits = image->bits();
        const qsizetype stride = image->bytesPerLine();
        const auto rowAt = [&s, bits, stride, turned](int y) {
            return reinterpret_cast<uint32_t *>(turned ? bits + qsizetype(y) * stride
                                                       : destRow(s, y));
        };
        conversion.emplace(profileConversion(profile, s.cmyk, s.adobeInverted,
                                             c.jpeg_color_space == JCS_GRAYSCALE),
                           rowAt, image->height(), size_t(image->width()),
                           RowConversion::helps(w * h));
        s.conversion = &*conversion;
    }
    if (!decodeRows(&s)) {
        if (s.thrown)
            std::rethrow_exception(s.thrown);
        return d.error();
    }
    // The conversion is part of the decode: a cancel is still heard while it ends.
    if (conversion && !conversion->finish([&observer] { return observer.cancelled(); })) {
        s.stop = Stop::Cancelled;
        return d.error();
    }
    observer.progress(1000, 1000);
    if (denom > 1 && options.scaleDenom <= 1) // a preview is not the shown image
        image->setText(QString::fromLatin1(kShownScaleKey), QStringLiteral("1/%1").arg(denom));
    return image;
}

} // namespace oxlume::imaging

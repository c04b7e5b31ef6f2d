#pragma once
// JPEG files made with libjpeg for tests and benchmarks, and libjpeg's own decode of them:
// RGB from a picture, or CMYK inks from its four bytes, with an ICC profile and an EXIF
// orientation when asked.

#include <QByteArray>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace oxlume::test {

struct JpegParts {
    QByteArray profile;  // written in APP2 markers
    bool cmyk = false;   // the pixels' bytes B, G, R, A in memory are the inks C, M, Y, K
    bool adobe = true;   // CMYK: with the Adobe marker, which says the inks are stored inverted
    int orientation = 0; // an EXIF orientation, when not 0
    int quality = 90;
};

inline QByteArray jpegFile(const QImage &image, const JpegParts &parts = {})
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(image.width());
    c.image_height = JDIMENSION(image.height());
    c.input_components = 4;
    c.in_color_space = parts.cmyk ? JCS_CMYK : JCS_EXT_BGRX;
    jpeg_set_defaults(&c);
    if (parts.cmyk)
        c.write_Adobe_marker = parts.adobe;
    jpeg_set_quality(&c, parts.quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    if (parts.orientation != 0) {
        // Big-endian TIFF: IFD0 with the one entry, a SHORT.
        QByteArray exif("Exif\0\0MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\0\0\0\0\0\0\0",
                        32);
        exif[25] = char(parts.orientation);
        jpeg_write_marker(&c, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(exif.constData()),
                          unsigned(exif.size()));
    }
    if (!parts.profile.isEmpty())
        jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET *>(parts.profile.constData()),
                               unsigned(parts.profile.size()));
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<uchar *>(image.constScanLine(int(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    QByteArray bytes(reinterpret_cast<const char *>(out), qsizetype(size));
    std::free(out);
    return bytes;
}

// The stored pixels as libjpeg decodes them, unturned and unconverted: 0xAARRGGBB, or for
// CMYK the inks as libjpeg gives them in the four bytes.
inline QImage storedPixels(const QByteArray &jpeg)
{
    jpeg_decompress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                 static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&c, TRUE);
    c.out_color_space =
        c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK ? JCS_CMYK : JCS_EXT_BGRA;
    jpeg_start_decompress(&c);
    QImage image(int(c.output_width), int(c.output_height), QImage::Format_RGB32);
    while (c.output_scanline < c.output_height) {
        JSAMPROW row = image.scanLine(int(c.output_scanline));
        jpeg_read_scanlines(&c, &row, 1);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    return image;
}

} // namespace oxlume::test

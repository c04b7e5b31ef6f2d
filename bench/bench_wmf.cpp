// Metafile rendering speed: about 5,000 filled shapes at 1600 x 1067, ours against a
// straightforward player written here, against wmf2gd (when installed) and ImageMagick.
// wmf2gd is a whole process that also writes a PNG, so it is compared three ways: with our
// rendering alone, with our rendering plus the same PNG write, and with oxlume-convert doing
// exactly its work (start a process, read the file, render, write a PNG).
//
//   bench_wmf [path to oxlume-convert]   (default: ../tools/oxlume-convert beside this program)

#include "imaging/decoders/Wmf.h"

#include "BenchCommon.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>

#include <unistd.h>

using namespace oxlume::imaging;

namespace {

constexpr int kWidth = 1600, kHeight = 1067, kShapes = 5000;

void putU16(QByteArray &b, int v)
{
    b += char(v & 0xFF), b += char((v >> 8) & 0xFF);
}
void putU32(QByteArray &b, uint32_t v)
{
    putU16(b, int(v & 0xFFFF)), putU16(b, int(v >> 16));
}
void record(QByteArray &out, int function, std::initializer_list<int> words)
{
    putU32(out, uint32_t(3 + words.size()));
    putU16(out, function);
    for (int w : words)
        putU16(out, w);
}

// Random rectangles, ellipses and polygons, each with its own solid brush as clip art has.
QByteArray makeMetafile()
{
    QRandomGenerator rng(20261207);
    QByteArray recs;
    record(recs, 0x0103, {8});
    record(recs, 0x020B, {0, 0});
    record(recs, 0x020C, {kHeight * 10, kWidth * 10}); // logical units: 960 per inch
    record(recs, 0x02FA, {0, 10, 0, 0, 0});            // black pen, one pixel
    record(recs, 0x012D, {0});
    for (int i = 0; i < kShapes; ++i) {
        const uint32_t colour = rng.generate() & 0xFFFFFF;
        record(recs, 0x02FC, {0, int(colour & 0xFFFF), int(colour >> 16), 0});
        record(recs, 0x012D, {1});
        const int x = rng.bounded(kWidth * 10), y = rng.bounded(kHeight * 10);
        const int w = 100 + rng.bounded(2000), h = 100 + rng.bounded(2000);
        switch (i % 3) {
        case 0: record(recs, 0x041B, {y + h, x + w, y, x}); break;
        case 1: record(recs, 0x0418, {y + h, x + w, y, x}); break;
        default: {
            QByteArray poly;
            const int n = 6;
            putU32(poly, uint32_t(3 + 1 + 2 * n));
            putU16(poly, 0x0324);
            putU16(poly, n);
            for (int k = 0; k < n; ++k)
                putU16(poly, x + rng.bounded(w)), putU16(poly, y + rng.bounded(h));
            recs += poly;
        }
        }
        record(recs, 0x01F0, {1});
    }
    putU32(recs, 3), putU16(recs, 0);

    QByteArray file;
    putU32(file, 0x9AC6CDD7);
    for (int w : {0, 0, 0, kWidth * 10, kHeight * 10, 960, 0, 0, 0})
        putU16(file, w);
    for (int w : {1, 9, 0x0300})
        putU16(file, w);
    putU32(file, uint32_t(9 + recs.size() / 2));
    putU16(file, 2);
    putU32(file, 20);
    putU16(file, 0);
    return file + recs;
}

// The straightforward player: no checks, only the records this file uses.
QImage referencePlay(const QByteArray &file)
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    const double s = 0.1;
    auto i16 = [&](int at) {
        return int(int16_t(uint8_t(file[at]) | (uint8_t(file[at + 1]) << 8)));
    };
    QColor brush = Qt::white;
    for (qsizetype pos = 40; pos + 6 <= file.size();) {
        const int words = i16(int(pos)) & 0xFFFF, function = i16(int(pos) + 4) & 0xFFFF;
        const int a = int(pos) + 6;
        if (function == 0)
            break;
        if (function == 0x02FC)
            brush = QColor(uint8_t(file[a + 2]), uint8_t(file[a + 3]), uint8_t(file[a + 4]));
        p.setBrush(brush);
        if (function == 0x041B || function == 0x0418) {
            const QRectF r(QPointF(i16(a + 6) * s, i16(a + 4) * s),
                           QPointF(i16(a + 2) * s, i16(a) * s));
            function == 0x041B ? p.drawRect(r) : p.drawEllipse(r);
        } else if (function == 0x0324) {
            QPolygonF poly;
            for (int k = 0; k < i16(a); ++k)
                poly << QPointF(i16(a + 2 + 4 * k) * s, i16(a + 4 + 4 * k) * s);
            p.drawPolygon(poly);
        }
        pos += qsizetype(words) * 2;
    }
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    // Text is not measured, but the decoder wants a GUI application; run without a display too.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QByteArray file = makeMetafile();
    const QString path = QStringLiteral("/tmp/oxlume_bench_shapes.wmf");
    {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size())
            return std::fprintf(stderr, "cannot write %s\n", qPrintable(path)), 1;
    }
    const Bytes bytes(reinterpret_cast<const std::byte *>(file.constData()), size_t(file.size()));

    QImage ours;
    const double oursMs = bench::bestMs(5, [&] {
        DecodeObserver observer;
        auto r = decodeWmf(bytes, observer);
        if (r)
            ours = r.value();
    });
    if (ours.isNull())
        return std::fprintf(stderr, "our decoder failed\n"), 1;
    const double oursPngMs = bench::bestMs(3, [&] {
        DecodeObserver observer;
        auto r = decodeWmf(bytes, observer);
        r.value().save(QStringLiteral("/tmp/oxlume_bench_shapes_ours.png"));
    });
    const double refMs = bench::bestMs(5, [&] { (void)referencePlay(file); });

    std::printf("metafile: %d shapes, %lld bytes, rendered %d x %d antialiased\n", kShapes,
                static_cast<long long>(file.size()), ours.width(), ours.height());
    std::printf("ours: %.1f ms (with PNG write %.1f ms)\n", oursMs, oursPngMs);
    std::printf("straightforward player: %.1f ms, ours / reference = %.2f\n", refMs,
                oursMs / refMs);

    std::string convert = argc > 1 ? argv[1] : std::string();
    if (convert.empty()) {
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) > 0) {
            const std::string dir = std::string(self).substr(0, std::string(self).rfind('/'));
            convert = dir + "/../tools/oxlume-convert";
        }
    }
    const double convertMs = access(convert.c_str(), X_OK) == 0
                                 ? bench::commandBestMs("'" + convert + "' " + path.toStdString() +
                                                        " /tmp/oxlume_bench_shapes_convert.png")
                                 : -1;
    if (convertMs > 0)
        std::printf("oxlume-convert (a process: read, render, write PNG): %.1f ms\n", convertMs);

    const double gdMs = bench::commandBestMs(
        "wmf2gd --maxwidth=" + std::to_string(kWidth) + " --maxheight=" + std::to_string(kHeight) +
        " --maxpect -o /tmp/oxlume_bench_shapes_gd.png " + path.toStdString());
    if (gdMs < 0) {
        std::printf("wmf2gd: not available, skipped\n");
    } else {
        const QImage gd(QStringLiteral("/tmp/oxlume_bench_shapes_gd.png"));
        std::printf("wmf2gd (no antialiasing, a process that writes PNG): %.1f ms at %d x %d\n"
                    "  wmf2gd / ours, rendering only       = %.2fx\n"
                    "  wmf2gd / ours, rendering + PNG write = %.2fx\n",
                    gdMs, gd.width(), gd.height(), gdMs / oursMs, gdMs / oursPngMs);
        if (convertMs > 0)
            std::printf("  wmf2gd / oxlume-convert (same work)  = %.2fx\n", gdMs / convertMs);
    }
    const double imMs = bench::imageMagickMs(path.toStdString());
    if (imMs < 0)
        std::printf("ImageMagick: cannot read the metafile here, skipped\n");
    else
        std::printf("ImageMagick: %.1f ms; ImageMagick / ours = %.2fx\n", imMs, imMs / oursMs);
    return 0;
}

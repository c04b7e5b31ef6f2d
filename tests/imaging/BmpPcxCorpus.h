#pragma once
// One pass over the shared corpus manifest for a format. Valid files must decode and match
// their reference (or an alternative) exactly; questionable ones must not crash and, when
// they decode, match a reference or be a listed exception; invalid ones fail cleanly or
// decode partially. Every file must finish within a few seconds.

#include "imaging/decoders/Decoder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QStringList>
#include <QTest>

namespace corpus {

inline QString sharedDir()
{
#ifdef OXLUME_SHARED_DIR
    return QString::fromUtf8(OXLUME_SHARED_DIR) + QStringLiteral("/corpus");
#else
    return QString();
#endif
}

// Pixels that differ, counting two fully transparent pixels as equal whatever their colour.
inline int64_t differences(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return -1;
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    int64_t n = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto *p = reinterpret_cast<const QRgb *>(x.constScanLine(row));
        const auto *q = reinterpret_cast<const QRgb *>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col)
            if (p[col] != q[col] && (qAlpha(p[col]) || qAlpha(q[col])))
                ++n;
    }
    return n;
}

// The reference and its alternatives refs/<file>.altN.png.
inline QStringList references(const QString &root, const QString &reference)
{
    QStringList refs;
    if (reference == QStringLiteral("-"))
        return refs;
    refs << root + QLatin1Char('/') + reference;
    const QString stem = reference.chopped(4); // ".png"
    for (int i = 1; QFile::exists(root + QLatin1Char('/') + stem + QStringLiteral(".alt%1.png").arg(i)); ++i)
        refs << root + QLatin1Char('/') + stem + QStringLiteral(".alt%1.png").arg(i);
    return refs;
}

using Sniff = bool (*)(oxlume::imaging::Bytes);
using Decode = oxlume::Result<QImage> (*)(oxlume::imaging::Bytes, oxlume::imaging::DecodeObserver &);

// Returns the number of files checked; records every problem through QTest.
inline int run(const QStringList &formats, Sniff sniff, Decode decode,
               const QHash<QString, QString> &allowed)
{
    const QString root = sharedDir();
    QFile manifest(root + QStringLiteral("/MANIFEST.tsv"));
    if (root.isEmpty() || !manifest.open(QIODevice::ReadOnly))
        return -1;
    QStringList problems;
    int checked = 0;
    manifest.readLine(); // column names
    while (!manifest.atEnd()) {
        const QStringList f = QString::fromUtf8(manifest.readLine()).trimmed().split(QLatin1Char('\t'));
        if (f.size() < 5 || !formats.contains(f[1]))
            continue;
        const QString &path = f[0], &expectation = f[3];
        QFile file(root + QLatin1Char('/') + path);
        if (!file.open(QIODevice::ReadOnly)) {
            problems << path + QStringLiteral(": cannot open");
            continue;
        }
        const QByteArray data = file.readAll();
        const oxlume::imaging::Bytes bytes(reinterpret_cast<const std::byte *>(data.constData()), size_t(data.size()));
        ++checked;
        QElapsedTimer timer;
        timer.start();
        oxlume::imaging::DecodeObserver observer;
        const bool claimed = sniff(bytes);
        auto result = decode(bytes, observer);
        if (timer.elapsed() > 5000)
            problems << path + QStringLiteral(": took %1 ms").arg(timer.elapsed());
        const bool valid = expectation == QStringLiteral("valid");
        if (valid && (!claimed || !result)) {
            problems << path + QStringLiteral(": valid file not decoded: ") +
                            QString::fromStdString(result ? std::string("not sniffed") : result.error().message);
            continue;
        }
        if (!result || expectation == QStringLiteral("invalid-must-not-crash"))
            continue;
        const QStringList refs = references(root, f[4]);
        if (refs.isEmpty())
            continue;
        QString best;
        bool matched = false;
        for (const QString &ref : refs) {
            const int64_t d = differences(result.value(), QImage(ref));
            matched = matched || d == 0;
            best += QStringLiteral(" %1").arg(d);
        }
        if (!matched && !allowed.contains(path))
            problems << path + QStringLiteral(": differs from its references (pixels:%1)").arg(best);
    }
    for (const QString &p : problems)
        qWarning("%s", qPrintable(p));
    return problems.isEmpty() ? checked : -2;
}

} // namespace corpus

// QSKIPs without the corpus, fails when any file broke its expectation.
#define RUN_CORPUS(formats, sniff, decode, allowed)                                                \
    do {                                                                                           \
        const int checked_ = corpus::run(formats, sniff, decode, allowed);                         \
        if (checked_ == -1)                                                                        \
            QSKIP("shared corpus not available");                                                  \
        QVERIFY2(checked_ != -2, "corpus files broke their expectations (see warnings)");          \
        QVERIFY(checked_ > 0);                                                                     \
    } while (0)

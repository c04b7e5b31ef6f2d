#pragma once
// One pass over the shared corpus manifest for a format. Valid files must decode and match
// their reference (or an alternative) exactly; questionable ones must not crash and, when
// they decode, match a reference or be a listed exception; invalid ones fail cleanly or
// decode partially. Every file must finish within a few seconds.

#include "imaging/decoders/Decoder.h"

#include "common/Corpus.h"

#include <QFile>
#include <QHash>
#include <QStringList>
#include <QTest>

namespace corpus {

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
inline QStringList references(const QString &reference)
{
    using oxlume::test::corpusFile;
    QStringList refs;
    if (reference.isEmpty())
        return refs;
    refs << corpusFile(reference);
    const QString stem = reference.chopped(4); // ".png"
    for (int i = 1; QFile::exists(corpusFile(stem + QStringLiteral(".alt%1.png").arg(i))); ++i)
        refs << corpusFile(stem + QStringLiteral(".alt%1.png").arg(i));
    return refs;
}

using Sniff = bool (*)(oxlume::imaging::Bytes);
using Decode = oxlume::Result<QImage> (*)(oxlume::imaging::Bytes,
                                          oxlume::imaging::DecodeObserver &);

// Returns the number of files checked; records every problem through QTest.
inline int run(const QStringList &formats, Sniff sniff, Decode decode,
               const QHash<QString, QString> &allowed)
{
    const auto entries = oxlume::test::readManifest(formats);
    if (!entries)
        return -1;
    QStringList problems;
    int checked = 0;
    for (const oxlume::test::ManifestEntry &entry : *entries) {
        const QString &path = entry.path, &expectation = entry.expectation;
        QFile file(oxlume::test::corpusFile(path));
        if (!file.open(QIODevice::ReadOnly)) {
            problems << path + QStringLiteral(": cannot open");
            continue;
        }
        const QByteArray data = file.readAll();
        const oxlume::imaging::Bytes bytes(reinterpret_cast<const std::byte *>(data.constData()),
                                           size_t(data.size()));
        ++checked;
        oxlume::imaging::DecodeObserver observer;
        const bool claimed = sniff(bytes);
        auto result = decode(bytes, observer);
        const bool valid = expectation == QStringLiteral("valid");
        if (valid && (!claimed || !result)) {
            problems << path + QStringLiteral(": valid file not decoded: ") +
                            QString::fromStdString(result ? std::string("not sniffed")
                                                          : result.error().message);
            continue;
        }
        if (!result || expectation == QStringLiteral("invalid-must-not-crash"))
            continue;
        const QStringList refs = references(entry.reference);
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
            problems << path +
                            QStringLiteral(": differs from its references (pixels:%1)").arg(best);
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

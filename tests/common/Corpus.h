#pragma once
// The shared corpus of real image files and its manifest (tab-separated: path, format,
// source, expectation, reference, note). Tests skip when the corpus is not there.
//
// OXLUME_CORPUS_DIR, when set, names the corpus folder for this run (an empty folder makes
// every corpus test skip); otherwise the build's shared folder is used.

#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace oxlume::test {

struct ManifestEntry {
    QString path;        // relative to the corpus folder
    QString format;      // "bmp", "jpeg", ...
    QString expectation; // "valid", "invalid-must-not-crash", ...
    QString reference;   // relative reference decode, empty when there is none
    QString note;
};

// The corpus folder, empty when neither the environment nor the build says where it is.
inline QString corpusDir()
{
    const QByteArray chosen = qgetenv("OXLUME_CORPUS_DIR");
    if (!chosen.isEmpty())
        return QFile::decodeName(chosen);
#ifdef OXLUME_SHARED_DIR
    return QString::fromUtf8(OXLUME_SHARED_DIR) + QStringLiteral("/corpus");
#else
    return QString();
#endif
}

inline QString corpusFile(const QString &relative)
{
    return corpusDir() + QLatin1Char('/') + relative;
}

// The manifest rows of the given formats, in file order; nullopt when there is no manifest.
inline std::optional<QList<ManifestEntry>> readManifest(const QStringList &formats)
{
    if (corpusDir().isEmpty())
        return std::nullopt;
    QFile manifest(corpusFile(QStringLiteral("MANIFEST.tsv")));
    if (!manifest.open(QIODevice::ReadOnly))
        return std::nullopt;
    QList<ManifestEntry> entries;
    manifest.readLine(); // column names
    while (!manifest.atEnd()) {
        const QStringList f =
            QString::fromUtf8(manifest.readLine()).trimmed().split(QLatin1Char('\t'));
        if (f.size() < 5 || !formats.contains(f[1]))
            continue;
        entries.append(
            {f[0], f[1], f[3], f[4] == QLatin1String("-") ? QString() : f[4], f.value(5)});
    }
    return entries;
}

} // namespace oxlume::test

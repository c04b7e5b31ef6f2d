#ifndef Q_MOC_RUN
#include "platform/Errors.h"
#include "shell/ImageTypes.h"
#include "shell/MaskMatch.h"
#endif

#include <QtTest>
#include <string>

using namespace oxlume;

static QString q(std::string_view s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

class TestImageTypes : public QObject {
    Q_OBJECT
private slots:
    void rowsInFilterOrder();
    void commonRowIsUnionOfTheOthers();
    void associatedExtensions();
    void filtering_data();
    void filtering();
    void indexOutsideTableIsRangeError();
};

void TestImageTypes::rowsInFilterOrder()
{
    QCOMPARE(q(ImageTypeAt(kDefaultImageType).Description), QStringLiteral("Common Image Files"));
    for (const FileTypes &row : ImageTypeTable) {
        QVERIFY(!row.Masks.ends_with(';'));
        QVERIFY(row.Masks.find(' ') == std::string_view::npos);
        QCOMPARE(row.ProgID.empty(), !row.Associate);
    }
}

void TestImageTypes::commonRowIsUnionOfTheOthers()
{
    // Every mask of the picture rows appears in the common row once, first; the formats
    // without a row of their own follow.
    QStringList others;
    for (int row = 2; row < int(kImageTypeCount); ++row)
        others += q(ImageTypeAt(row).Masks).split(QLatin1Char(';'));
    QStringList all = q(ImageTypeAt(kDefaultImageType).Masks).split(QLatin1Char(';'));
    QCOMPARE(all.removeDuplicates(), 0);
    QStringList common = all.mid(0, others.size());
    others.sort();
    common.sort();
    QCOMPARE(common, others);
}

void TestImageTypes::associatedExtensions()
{
    // Associations register an associated row's masks as file extensions, so each must be
    // "*." followed by a plain extension.
    QStringList extensions;
    for (const FileTypes &row : ImageTypeTable) {
        if (!row.Associate)
            continue;
        for (const QString &mask : q(row.Masks).split(QLatin1Char(';'))) {
            const QString extension = mask.mid(1);
            QVERIFY2(mask.startsWith(QLatin1String("*.")) && extension.size() > 1 &&
                         !extension.contains(QLatin1Char('*')) &&
                         !extension.contains(QLatin1Char('?')),
                     qPrintable(mask));
            extensions << extension;
        }
    }
    QCOMPARE(extensions.join(QLatin1Char(' ')),
             QStringLiteral(".bmp .rle .dib .jpg .jpeg .jpe .jg .pcx .psd .wmf"));
}

void TestImageTypes::filtering_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("listed");
    QTest::newRow("all: any name") << 0 << QByteArray("notes.txt") << true;
    QTest::newRow("common: capital JPG") << 1 << QByteArray("PHOTO.JPG") << true;
    QTest::newRow("common: text file") << 1 << QByteArray("notes.txt") << false;
    QTest::newRow("jpeg: .jg") << 3 << QByteArray("old.jg") << true;
    QTest::newRow("jpeg: backup") << 3 << QByteArray("photo.jpeg.bak") << false;
    QTest::newRow("bmp: rle") << 2 << QByteArray("x.RLE") << true;
    QTest::newRow("bmp: jpg") << 2 << QByteArray("x.jpg") << false;
    QTest::newRow("wmf") << 6 << QByteArray("clip.wmf") << true;
}

void TestImageTypes::filtering()
{
    QFETCH(int, row);
    QFETCH(QByteArray, name);
    QFETCH(bool, listed);
    QCOMPARE(MatchesMaskList(name.toStdString(), ImageTypeAt(row).Masks), listed);
}

void TestImageTypes::indexOutsideTableIsRangeError()
{
    QVERIFY_THROWS_EXCEPTION(RangeCheckError, ImageTypeAt(-1));
    QVERIFY_THROWS_EXCEPTION(RangeCheckError, ImageTypeAt(7));
}

QTEST_APPLESS_MAIN(TestImageTypes)
#include "tst_imagetypes.moc"

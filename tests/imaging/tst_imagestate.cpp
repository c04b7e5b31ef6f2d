// The image state without a widget: edits recorded while deferring give the pixels that
// applying them one by one gives, whenever the image is read.

#include "imaging/ImageState.h"
#include "imaging/Transforms.h"

#include <QtTest>

using namespace oxlume::imaging;

namespace {

// Every pixel different, alpha included; odd sides so a turn that mixes them up shows.
QImage gradient(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(
                x, y, qRgba(x * 255 / (w - 1), y * 13 & 0xff, (x * y) & 0xff, (30 + x + y) & 0xff));
    return image;
}

// Steps as "B390" (brightness), "C-280" (contrast), "T" / "L" (flips), "R9000" (turn).
using Step = std::pair<char, int>;
std::vector<Step> parse(const QString &steps)
{
    std::vector<Step> out;
    for (const QString &s : steps.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        out.emplace_back(char(s.at(0).unicode()), s.mid(1).toInt());
    return out;
}

void apply(ImageState &state, Step step)
{
    switch (step.first) {
    case 'B': state.changeBrightness(int16_t(step.second)); break;
    case 'C': state.changeContrast(int16_t(step.second)); break;
    case 'T': state.flipTopBottom(); break;
    case 'L': state.flipLeftRight(); break;
    default: state.rotate(step.second); break;
    }
}

// The reference: each step on its own, straight on the pixels.
void apply(QImage &image, Step step)
{
    switch (step.first) {
    case 'B': ChangeBrightness(image, step.second); break;
    case 'C': ChangeContrast(image, step.second); break;
    case 'T': FlipTopBottom(image); break;
    case 'L': FlipLeftRight(image); break;
    default: RotateImage(image, step.second / 100); break;
    }
}

} // namespace

class TestImageState : public QObject {
    Q_OBJECT
private slots:
    void deferredEditsEqualSequential_data();
    void deferredEditsEqualSequential();
};

void TestImageState::deferredEditsEqualSequential_data()
{
    QTest::addColumn<QImage>("source");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QSize>("size");
    // 256 wide: every tone value passes through the combined table.
    QTest::newRow("tone, then flip") << gradient(256, 2) << "B390 C-280 L" << QSize(256, 2);
    QTest::newRow("tone between turns")
        << gradient(37, 19) << "B390 T R9000 C-280 L R-18000 R36000" << QSize(19, 37);
    QTest::newRow("turns only") << gradient(37, 19) << "R27000 T R9000 L R9000" << QSize(19, 37);
}

void TestImageState::deferredEditsEqualSequential()
{
    QFETCH(QImage, source);
    QFETCH(QString, steps);
    QFETCH(QSize, size);
    const QImage untouched = source.copy();
    const std::vector<Step> list = parse(steps);
    // Reading in the middle applies what is pending so far; the rest still combines.
    for (size_t readAfter = 0; readAfter <= list.size(); ++readAfter) {
        QImage expected = source;
        ImageState immediate, deferred;
        immediate.setImage(source);
        deferred.setImage(source);
        deferred.setDeferring(true);
        for (size_t i = 0; i < list.size(); ++i) {
            apply(expected, list[i]);
            apply(immediate, list[i]);
            apply(deferred, list[i]);
            if (i + 1 == readAfter)
                QCOMPARE(deferred.image(), expected);
        }
        QCOMPARE(immediate.image(), expected);
        QCOMPARE(deferred.image(), expected);
        deferred.setDeferring(false);
        QCOMPARE(deferred.image(), expected);
        QCOMPARE(expected.size(), size);
    }
    QCOMPARE(source, untouched); // the source holder is never changed

    // Pending edits belong to the image they were made on, not to the next one.
    ImageState state;
    state.setImage(source);
    state.setDeferring(true);
    for (const Step &step : list)
        apply(state, step);
    state.setImage(source);
    state.setDeferring(false);
    QCOMPARE(state.image(), source);
}

QTEST_GUILESS_MAIN(TestImageState)
#include "tst_imagestate.moc"

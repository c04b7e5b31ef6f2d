// Rebuilding the displayed image from the unadjusted copy.

#include "platform/Errors.h"
#include "viewer/Adjustments.h"
#include "viewer/Busy.h"

#include <QApplication>
#include <QTest>

using namespace oxlume;
using oxlume::imaging::TImager;
using oxlume::imaging::WindowlessImager;

namespace {

// A 3 x 2 image whose every pixel differs, so each flip and turn is visible.
QImage sample()
{
    QImage image(3, 2, QImage::Format_RGB32);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            image.setPixel(x, y, qRgb(40 * x + 20, 90 * y + 30, 10 * (x + 3 * y)));
    return image;
}

QImage rgb(const QImage &image)
{
    return image.convertToFormat(QImage::Format_RGB32);
}

QImage turned(const QImage &image, int degrees)
{
    return image.transformed(QTransform().rotate(degrees));
}

// Runs the same operations on a fresh control, for comparing a whole pipeline.
QImage byHand(const std::function<void(TImager &)> &steps)
{
    TImager imager;
    imager.setBitmapList(sample());
    steps(imager);
    return rgb(imager.BitmapList());
}

struct Fixture {
    TImager imager1;
    WindowlessImager unadjusted;
    Fixture() { imager1.setBitmapList(sample()); }
    QImage shown() const { return rgb(imager1.BitmapList()); }
};

} // namespace

class TestAdjustments : public QObject {
    Q_OBJECT
private slots:
    void valuesFromPositions_data();
    void valuesFromPositions();
    void pipelineRunsInFixedOrder();
    void rebuildsFromCopyWithoutAccumulating();
    void releasingAFlipRestoresTheImage();
    void hiddenPanelOrNoImageLeavesEverything();
    void newImageBecomesTheCopy();
    void failingStepStillRepaintsAndEndsBusy();
};

void TestAdjustments::valuesFromPositions_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("brightness");
    QTest::addColumn<int>("contrast");
    QTest::newRow("lowest") << 0 << -975 << -350;
    QTest::newRow("one below neutral") << 24 << -39 << -14;
    QTest::newRow("neutral") << 25 << 0 << 0;
    QTest::newRow("highest") << 50 << 975 << 350;
}

void TestAdjustments::valuesFromPositions()
{
    QFETCH(int, position);
    QFETCH(int, brightness);
    QFETCH(int, contrast);
    QCOMPARE(int(BrightnessValue(position)), brightness);
    QCOMPARE(int(ContrastValue(position)), contrast);
    QVERIFY_THROWS_EXCEPTION(RangeCheckError, BrightnessValue(-1));
    QVERIFY_THROWS_EXCEPTION(RangeCheckError, ContrastValue(51));
}

void TestAdjustments::pipelineRunsInFixedOrder()
{
    Fixture f;
    TAdjustmentState state;
    state.panelVisible = true;
    state.brightnessPosition = 40;
    state.contrastPosition = 5;
    state.flipUD = true;
    state.flipRL = true;
    state.rotation = TRotation::Rotate90;
    ApplyImageAdjustments(state, f.imager1, f.unadjusted);

    const QImage expected = byHand([](TImager &i) {
        i.ChangeBrightness(585);
        i.ChangeContrast(-280);
        i.FlipTopBottom();
        i.FlipLeftRight();
        i.RotateImage(9000);
    });
    QCOMPARE(f.shown(), expected);
    // Brightness and contrast do not commute near the clamps, nor a flip and a turn.
    const QImage reordered = byHand([](TImager &i) {
        i.ChangeContrast(-280);
        i.ChangeBrightness(585);
        i.RotateImage(9000);
        i.FlipTopBottom();
        i.FlipLeftRight();
    });
    QVERIFY(f.shown() != reordered);
    QCOMPARE(rgb(f.unadjusted.BitmapList()), sample());

    // Both flips make a half turn, which commutes with any turn: with one flip only, the
    // flip must come before the quarter turn.
    for (const bool upDown : {true, false}) {
        TAdjustmentState one;
        one.panelVisible = true;
        one.flipUD = upDown;
        one.flipRL = !upDown;
        one.rotation = TRotation::Rotate90;
        ApplyImageAdjustments(one, f.imager1, f.unadjusted);
        QCOMPARE(f.shown(), rgb(turned(sample().mirrored(!upDown, upDown), 90)));
    }
}

void TestAdjustments::rebuildsFromCopyWithoutAccumulating()
{
    Fixture f;
    TAdjustmentState state;
    state.panelVisible = true;
    state.rotation = TRotation::Rotate90;
    ApplyImageAdjustments(state, f.imager1, f.unadjusted);
    QCOMPARE(f.shown(), rgb(turned(sample(), 90)));

    state.rotation = TRotation::Rotate180;
    ApplyImageAdjustments(state, f.imager1, f.unadjusted);
    QCOMPARE(f.shown(), rgb(turned(sample(), 180)));

    state.rotation = TRotation::None;
    state.brightnessPosition = 30;
    ApplyImageAdjustments(state, f.imager1, f.unadjusted);
    ApplyImageAdjustments(state, f.imager1, f.unadjusted);
    QCOMPARE(f.shown(), byHand([](TImager &i) { i.ChangeBrightness(195); }));
}

void TestAdjustments::releasingAFlipRestoresTheImage()
{
    Fixture f;
    TAdjustmentState state;
    state.panelVisible = true;
    state.flipUD = true;
    ApplyImageAdjustments(state, f.imager1, f.unadjusted);
    QCOMPARE(f.shown(), rgb(sample().mirrored(false, true)));
    state.flipUD = false; // the second click releases the button
    ApplyImageAdjustments(state, f.imager1, f.unadjusted);
    QCOMPARE(f.shown(), sample());
    // All neutral: the displayed image is the unadjusted one, not a second full-size copy.
    QCOMPARE(f.imager1.BitmapList().constBits(), f.unadjusted.BitmapList().constBits());
}

void TestAdjustments::hiddenPanelOrNoImageLeavesEverything()
{
    TAdjustmentState state;
    state.rotation = TRotation::Rotate270;
    state.brightnessPosition = 0;

    Fixture hidden;
    ApplyImageAdjustments(state, hidden.imager1, hidden.unadjusted);
    QCOMPARE(hidden.shown(), sample());
    QCOMPARE(int(hidden.unadjusted.BitmapListCount()), 0);

    state.panelVisible = true;
    TImager empty;
    WindowlessImager unadjusted;
    ApplyImageAdjustments(state, empty, unadjusted);
    QCOMPARE(int(empty.BitmapListCount()), 0);
    QCOMPARE(int(unadjusted.BitmapListCount()), 0);

    // Showing the panel again applies the adjustment to the displayed image.
    ApplyImageAdjustments(state, hidden.imager1, hidden.unadjusted);
    QCOMPARE(hidden.shown(), byHand([](TImager &i) {
                 i.ChangeBrightness(-975);
                 i.RotateImage(27000);
             }));
}

void TestAdjustments::newImageBecomesTheCopy()
{
    Fixture f;
    TAdjustmentState state;
    state.panelVisible = true;
    state.rotation = TRotation::Rotate90;
    ApplyImageAdjustments(state, f.imager1, f.unadjusted);

    // A load puts a new image in and empties the copy, as the loader does.
    const QImage next = sample().mirrored(true, false);
    f.imager1.setBitmapList(next);
    f.unadjusted.setBitmapList(nullptr);
    ApplyImageAdjustments(state, f.imager1, f.unadjusted);
    QCOMPARE(f.shown(), rgb(turned(next, 90)));
    QCOMPARE(rgb(f.unadjusted.BitmapList()), next);
    // Neutral from the start: the copy kept is the displayed image itself.
    f.imager1.setBitmapList(next);
    f.unadjusted.setBitmapList(nullptr);
    ApplyImageAdjustments(TAdjustmentState{.panelVisible = true}, f.imager1, f.unadjusted);
    QCOMPARE(f.imager1.BitmapList().constBits(), next.constBits());
    QCOMPARE(f.unadjusted.BitmapList().constBits(), next.constBits());
}

void TestAdjustments::failingStepStillRepaintsAndEndsBusy()
{
    Fixture f;
    TAdjustmentState state;
    state.panelVisible = true;
    state.contrastPosition = 77; // no track bar gets there
    QVERIFY_THROWS_EXCEPTION(RangeCheckError,
                             ApplyImageAdjustments(state, f.imager1, f.unadjusted));
    QVERIFY(f.imager1.AutoRepaint());
    QCOMPARE(BusyDepth(), 0);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
}

QTEST_MAIN(TestAdjustments)
#include "tst_adjustments.moc"

// The image controls on their own: zoom steps, the button groups, the painting buttons and
// when the controls ask for a rebuild of the shown image.

#include "imaging/control/Imager.h"
#include "viewer/ImageControls.h"
#include "viewer/ZoomSteps.h"

#include <QSlider>
#include <QToolButton>
#include <QtTest>

using namespace oxlume;
using oxlume::imaging::TImager;

class TestImageControls : public QObject {
    Q_OBJECT
private slots:
    void zoomSteps();
    void groupReleasesOthersBeforeTheClickHandler();
    void paintingButtons();
    void adjustButtonsReportTheirGroups();
    void trackBarsActOncePerPosition();
    void panelFlagIsItsOwn();
};

namespace {

// The controls inside a parent of their own, with a counter of rebuild requests.
struct Fixture {
    QWidget parent;
    TImager imager;
    int applies = 0;
    ImageControls controls{&parent, imager, [this] { ++applies; }};
};

} // namespace

void TestImageControls::zoomSteps()
{
    const float expected[] = {130.0f,     169.0f,      219.7f,     285.61f,   371.293f, 482.6809f,
                              627.48517f, 815.730721f, 1060.4499f, 1378.585f, 1600.0f,  1600.0f};
    float factor = 100.0f;
    for (float step : expected) {
        factor = ZoomInFactor(factor);
        QVERIFY2(qAbs(factor - step) <= step * 1e-6f, qPrintable(QString::number(factor)));
    }
    // The decimal steps are hit exactly, not one float step off.
    QCOMPARE(ZoomInFactor(169.0f), 219.7f);
    QCOMPARE(ZoomInFactor(1500.0f), kMaxZoomFactor);

    factor = 100.0f;
    for (int step = 1; step <= 17; ++step)
        factor = ZoomOutFactor(factor);
    QVERIFY2(qAbs(factor - 1.156f) < 0.001f, qPrintable(QString::number(factor)));
    QCOMPARE(ZoomOutFactor(factor), 1.0f);
    QCOMPARE(ZoomOutFactor(1.0f), 1.0f);
    QCOMPARE(ZoomOutFactor(130.0f), 100.0f); // and back the way it came
}

void TestImageControls::groupReleasesOthersBeforeTheClickHandler()
{
    QWidget parent;
    SpeedButtonGroup group;
    QToolButton a(&parent), b(&parent), c(&parent);
    for (QToolButton *button : {&a, &b, &c})
        group.addButton(button);
    QList<QToolButton *> seenByHandler;
    QObject::connect(&b, &QToolButton::clicked, [&] { seenByHandler << group.checkedButton(); });

    a.click();
    QCOMPARE(group.checkedButton(), &a);
    b.click(); // pressing b releases a, and b's handler already sees that
    QVERIFY(!a.isChecked());
    b.click(); // the pressed button is released: all up
    QCOMPARE(group.checkedButton(), nullptr);
    QCOMPARE(seenByHandler, (QList<QToolButton *>{&b, nullptr}));

    c.setChecked(true); // pressed by the program, not the user: the same rule
    a.setChecked(true);
    QVERIFY(!c.isChecked() && a.isChecked());
}

void TestImageControls::paintingButtons()
{
    Fixture f;
    ImageControls &c = f.controls;
    QVERIFY(c.btnStretch->isChecked() && !c.btnZoom100->isChecked());
    QCOMPARE(f.imager.PaintSizeMode(), 3);

    // Zooming starts from the stored factor and releases both size buttons.
    c.btnZoomIn->click();
    QCOMPARE(f.imager.PaintSizeMode(), 4);
    QCOMPARE(f.imager.PaintZoomFactor(), 130.0f);
    QVERIFY(!c.btnStretch->isChecked() && !c.btnZoom100->isChecked());

    // 100 % and fit leave the factor alone; the next step goes on from it.
    c.btnZoom100->click();
    QCOMPARE(f.imager.PaintSizeMode(), 0);
    QVERIFY(c.btnZoom100->isChecked());
    c.btnStretch->click();
    QVERIFY(c.btnStretch->isChecked() && !c.btnZoom100->isChecked());
    c.btnStretch->click(); // clicking the pressed button keeps it pressed
    QVERIFY(c.btnStretch->isChecked());
    QCOMPARE(f.imager.PaintSizeMode(), 3);
    c.btnZoomOut->click();
    QCOMPARE(f.imager.PaintZoomFactor(), 100.0f);

    for (int k = 0; k < 25; ++k)
        c.btnZoomOut->click();
    QCOMPARE(f.imager.PaintZoomFactor(), 1.0f);
    QCOMPARE(f.applies, 0); // painting needs no rebuild
}

void TestImageControls::adjustButtonsReportTheirGroups()
{
    Fixture f;
    ImageControls &c = f.controls;
    c.btnRotate90->click();
    c.btnRotate180->click();
    QCOMPARE(c.state().rotation, TRotation::Rotate180); // 180, never 90 + 180
    QVERIFY(!c.btnRotate90->isChecked());
    c.btnRotate180->click();
    QCOMPARE(c.state().rotation, TRotation::None);

    // The flips are independent switches, each released by its second click.
    c.btnFlipUD->click();
    c.btnFlipRL->click();
    QVERIFY(c.state().flipUD && c.state().flipRL);
    c.btnFlipUD->click();
    QVERIFY(!c.state().flipUD && c.state().flipRL);
    QCOMPARE(f.applies, 6); // every click rebuilds, pressing or releasing
}

void TestImageControls::trackBarsActOncePerPosition()
{
    Fixture f;
    ImageControls &c = f.controls;
    QCOMPARE(c.LastBrightnessPosition, -1);
    QCOMPARE(c.LastContrastPosition, -1);

    c.traBrightness->setValue(40);
    QCOMPARE(f.applies, 1);
    QCOMPARE(c.LastBrightnessPosition, 40);
    c.traBrightnessChange(); // a second change event at the same position
    QCOMPARE(f.applies, 1);
    c.traBrightness->setValue(25); // back to neutral is a change like any other
    QCOMPARE(f.applies, 2);
    QCOMPARE(c.state().brightnessPosition, 25);

    // The first event of a track bar always acts, even at 25.
    c.traContrastChange();
    QCOMPARE(f.applies, 3);
    c.traContrast->setValue(0);
    c.traContrastChange();
    QCOMPARE(f.applies, 4);
    QCOMPARE(c.state().contrastPosition, 0);
    QCOMPARE(c.LastContrastPosition, 0);
}

void TestImageControls::panelFlagIsItsOwn()
{
    Fixture f;
    QVERIFY(!f.controls.state().panelVisible);
    f.controls.panControls->show();
    // The parent (the whole left side) is hidden, as during a slide show: the adjustments
    // still apply.
    QVERIFY(!f.controls.panControls->isVisible());
    QVERIFY(f.controls.state().panelVisible);
}

QTEST_MAIN(TestImageControls)
#include "tst_imagecontrols.moc"

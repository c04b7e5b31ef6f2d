// The start-up measurement hook: with OXLUME_EXIT_AFTER_FIRST_PAINT=1, the first visible
// image area that paints an image ends the process with "first-paint <ms>".

#include "app/FirstPaint.h"
#include "common/ChildProcess.h"
#include "imaging/control/Imager.h"

#include <QApplication>
#include <QRegularExpression>
#include <QtTest>

#include <cstdio>

using namespace oxlume;
using namespace oxlume::imaging;

namespace {

QImage smallImage()
{
    QImage image(4, 2, QImage::Format_RGB32);
    image.fill(qRgb(9, 99, 199));
    return image;
}

// Child process: with the start-up measurement switched on, an empty or hidden control
// paints without ending the process; the first visible image ends it with exit code 0.
int firstPaintChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    TImager hidden;
    exitAfterFirstPaintIfAsked(hidden);
    hidden.setBitmapList(smallImage());
    hidden.viewport()->grab(); // painted, but not on screen
    TImager imager;
    exitAfterFirstPaintIfAsked(imager);
    imager.resize(40, 30);
    imager.show();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 200)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::fputs("empty painted\n", stdout);
    std::fflush(stdout);
    imager.setBitmapList(smallImage());
    clock.restart();
    while (clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return 3; // never ended
}

} // namespace

class TestFirstPaint : public QObject {
    Q_OBJECT
private slots:
    void firstPaintMeasurementEndsProcess();
};

void TestFirstPaint::firstPaintMeasurementEndsProcess()
{
    const test::ChildRun child =
        test::runChild({"OXLUME_TST_FIRST_PAINT=1", "OXLUME_EXIT_AFTER_FIRST_PAINT=1"});
    const QString out = QString::fromUtf8(child.out);
    const QString err = QString::fromUtf8(child.err);
    QVERIFY2(child.exitCode == 0, qPrintable(out + err));
    QCOMPARE(out, QStringLiteral("empty painted\n"));
    const QRegularExpressionMatch line =
        QRegularExpression(QStringLiteral("^first-paint (\\d+\\.\\d)$"),
                           QRegularExpression::MultilineOption)
            .match(err);
    QVERIFY2(line.hasMatch(), qPrintable(err));
    // From process start, so it includes at least the 200 ms of the empty paint.
    const double ms = line.captured(1).toDouble();
    QVERIFY2(ms >= 150 && ms < 30000, qPrintable(err));
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("OXLUME_TST_FIRST_PAINT"))
        return firstPaintChild(argc, argv);
    QApplication app(argc, argv);
    TestFirstPaint test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_firstpaint.moc"

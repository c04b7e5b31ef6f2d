// The window's layout rules: where the left side's fixed-position controls go for a width,
// how short the window may get with the panels shown, and where the window opens.

#include "viewer/SplitterLayout.h"
#include "viewer/WindowPlacement.h"

#include <QtTest>

using namespace oxlume;

class TestLayout : public QObject {
    Q_OBJECT
private slots:
    void toolsWidth_data();
    void toolsWidth();
    void minimumHeight_data();
    void minimumHeight();
    void savedPlacement_data();
    void savedPlacement();
    void placementOnScreen_data();
    void placementOnScreen();
};

void TestLayout::toolsWidth_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("strip");
    QTest::addColumn<int>("filter");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("rightColumn");
    QTest::addColumn<int>("hideButtons");
    QTest::addColumn<int>("hideControls");
    // Narrower than 150 lays out as 150, but the strips stay centred on the real width.
    QTest::newRow("100") << 100 << 31 << 134 << 71 << 79 << 137 << 149;
    QTest::newRow("155") << 155 << 59 << 139 << 73 << 81 << 142 << 149;
    QTest::newRow("300") << 300 << 131 << 284 << 146 << 154 << 287 << 287;
}

void TestLayout::toolsWidth()
{
    QFETCH(int, width);
    const ToolsLayout layout = LayoutForToolsWidth(width);
    QTEST(layout.stripLeft, "strip");
    QTEST(layout.filterWidth, "filter");
    QTEST(layout.buttonWidth, "button");
    QTEST(layout.rightColumnLeft, "rightColumn");
    QTEST(layout.hideButtonsLeft, "hideButtons");
    QTEST(layout.hideControlsLeft, "hideControls");
}

void TestLayout::minimumHeight_data()
{
    QTest::addColumn<bool>("list");
    QTest::addColumn<bool>("controls");
    QTest::addColumn<bool>("buttons");
    QTest::addColumn<int>("grown"); // percent of the design size: the buttons and the list
    QTest::addColumn<int>("expected");
    // Controls 117, buttons 112, a hidden panel's strip 8, the list at least 40.
    QTest::newRow("default panels fit the least height") << true << false << true << 100 << 240;
    QTest::newRow("controls and buttons") << true << true << true << 100 << 117 + 40 + 112;
    QTest::newRow("controls only") << true << true << false << 100 << 240;
    QTest::newRow("list side hidden") << false << true << true << 100 << 240;
    QTest::newRow("large font") << true << false << true << 300 << 8 + 120 + 336;
}

void TestLayout::minimumHeight()
{
    QFETCH(bool, list);
    QFETCH(bool, controls);
    QFETCH(bool, buttons);
    QFETCH(int, grown);
    QTEST(MinimumWindowHeight(list, controls, buttons, kButtonsPanelHeight * grown / 100,
                              kListMinimumHeight * grown / 100),
          "expected");
}

void TestLayout::savedPlacement_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry"); // null: the text is refused
    QTest::addColumn<bool>("maximised");
    QTest::newRow("normal") << QStringLiteral("40,50,500,350,0") << QRect(40, 50, 500, 350)
                            << false;
    QTest::newRow("maximised, negative place")
        << QStringLiteral("-1920,0,800,600,1") << QRect(-1920, 0, 800, 600) << true;
    QTest::newRow("empty") << QString() << QRect() << false;
    QTest::newRow("four numbers") << QStringLiteral("1,2,3,4") << QRect() << false;
    QTest::newRow("zero width") << QStringLiteral("1,2,0,4,0") << QRect() << false;
    QTest::newRow("trailing text") << QStringLiteral("1,2,3,4,0x") << QRect() << false;
    QTest::newRow("state not 0 or 1") << QStringLiteral("1,2,3,4,2") << QRect() << false;
    QTest::newRow("number too large") << QStringLiteral("1,2,99999999999,4,0") << QRect() << false;
}

void TestLayout::savedPlacement()
{
    QFETCH(QString, text);
    QFETCH(QRect, geometry);
    QFETCH(bool, maximised);
    const std::optional<SavedPlacement> parsed = parsePlacement(text.toStdString());
    QCOMPARE(parsed.has_value(), !geometry.isNull());
    if (!parsed)
        return;
    QCOMPARE(parsed->geometry, geometry);
    QCOMPARE(parsed->maximised, maximised);
    QCOMPARE(QString::fromStdString(formatPlacement(*parsed)), text); // and back
}

void TestLayout::placementOnScreen_data()
{
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QRect>("expected");
    // Two screens side by side: 1920 x 1050 available, then 1280 x 1024 on the right.
    QTest::newRow("on the first screen") << QRect(100, 100, 800, 600) << QRect(100, 100, 800, 600);
    QTest::newRow("on the second screen")
        << QRect(2000, 100, 800, 600) << QRect(2000, 100, 800, 600);
    QTest::newRow("mostly off, a corner on")
        << QRect(-700, -500, 800, 600) << QRect(-700, -500, 800, 600);
    QTest::newRow("a sliver on: pulled back")
        << QRect(-790, 100, 800, 600) << QRect(560, 225, 800, 600);
    QTest::newRow("on no screen") << QRect(5000, 3000, 800, 600) << QRect(560, 225, 800, 600);
    QTest::newRow("too large as well") << QRect(5000, 3000, 3000, 2000) << QRect(0, 0, 1920, 1050);
    // Stored at a smaller scale than today's: fitted onto the screen it is on.
    QTest::newRow("larger than its screen")
        << QRect(100, 100, 2400, 1800) << QRect(0, 0, 1920, 1050);
    QTest::newRow("taller than the second screen")
        << QRect(2000, 100, 800, 1200) << QRect(2000, 0, 800, 1024);
}

void TestLayout::placementOnScreen()
{
    QFETCH(QRect, geometry);
    const QList<QRect> screens{QRect(0, 0, 1920, 1050), QRect(1920, 0, 1280, 1024)};
    QTEST(pulledOnScreen(geometry, screens), "expected");
    // A first start: two thirds of the screen, centred.
    QCOMPARE(firstStartGeometry(screens.front(), QSize(400, 240)), QRect(320, 175, 1280, 700));
    QCOMPARE(firstStartGeometry(QRect(0, 0, 500, 300), QSize(400, 240)).size(), QSize(400, 240));
}

QTEST_APPLESS_MAIN(TestLayout)
#include "tst_layout.moc"

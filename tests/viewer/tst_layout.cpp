// The left side's layout rules: where its fixed-position controls go for a width, and how
// short the window may get with the panels shown.

#include "viewer/SplitterLayout.h"

#include <QtTest>

using namespace oxlume;

class TestLayout : public QObject {
    Q_OBJECT
private slots:
    void toolsWidth_data();
    void toolsWidth();
    void minimumHeight_data();
    void minimumHeight();
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
    QTest::addColumn<int>("expected");
    // Controls 117, buttons 112, a hidden panel's strip 8, the list at least 40.
    QTest::newRow("default panels fit the least height") << true << false << true << 240;
    QTest::newRow("controls and buttons") << true << true << true << 117 + 40 + 112;
    QTest::newRow("controls only") << true << true << false << 240;
    QTest::newRow("list side hidden") << false << true << true << 240;
}

void TestLayout::minimumHeight()
{
    QFETCH(bool, list);
    QFETCH(bool, controls);
    QFETCH(bool, buttons);
    QTEST(MinimumWindowHeight(list, controls, buttons), "expected");
}

QTEST_APPLESS_MAIN(TestLayout)
#include "tst_layout.moc"

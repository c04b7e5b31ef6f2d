// The Tip of the Day: the cycle through the tips within a run and across runs, when Next
// gives up, and what closing does to "Show Tips".

#include "dialogs/TipForm.h"
#include "guidance/TipLocal.h"
#include "guidance/TipSettings.h"

#include "common/Modal.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <QtTest>

using namespace oxlume;

namespace {

QString tip(int index)
{
    return QString::fromStdString(GetTip(index));
}

} // namespace

class TstTipForm : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        ShowTipsSetting = true;
        NextTipIndex = 0;
    }

    // Shows the first tip, presses Next until it is disabled (or `presses` times), closes:
    // which tips were shown, and what "Next Tip" holds for the next run.
    void cycle_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("presses");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("last");
        QTest::addColumn<bool>("nextEnabled");
        QTest::addColumn<int>("saved");
        QTest::newRow("first run, all tips") << 0 << 10 << 0 << 10 << false << 0;
        QTest::newRow("closed at tip 4") << 4 << 0 << 4 << 4 << true << 5;
        QTest::newRow("from tip 7 round") << 7 << 10 << 7 << 6 << false << 7;
        QTest::newRow("from tip 7, three on") << 7 << 3 << 7 << 10 << true << 0;
        QTest::newRow("stored 11") << 11 << 0 << 0 << 0 << true << 1;
        QTest::newRow("stored -1") << -1 << 1 << 0 << 1 << true << 2;
    }
    void cycle()
    {
        QFETCH(int, stored);
        QFETCH(int, presses);
        QFETCH(int, first);
        QFETCH(int, last);
        QFETCH(bool, nextEnabled);
        QFETCH(int, saved);

        NextTipIndex = stored;
        QWidget window;
        window.show();
        TfrmTip *shown = test::runWithModal<TfrmTip>(
            [&] { ShowTipOfTheDay(&window); },
            [&](TfrmTip *dialog) {
                QCOMPARE(dialog->lblTip->text(), tip(first));
                QCOMPARE(dialog->focusWidget(), dialog->btnClose);
                for (int i = 0; i < presses; ++i) {
                    QVERIFY(dialog->btnNext->isEnabled());
                    QTest::mouseClick(dialog->btnNext, Qt::LeftButton);
                }
                QCOMPARE(dialog->lblTip->text(), tip(last));
                QCOMPARE(dialog->btnNext->isEnabled(), nextEnabled);
            },
            [](TfrmTip *dialog) { QTest::mouseClick(dialog->btnClose, Qt::LeftButton); });
        QVERIFY(shown);
        QCOMPARE(shown, TipDialog());
        QCOMPARE(NextTipIndex, saved);
    }

    // Every way of closing writes the box into "Show Tips"; with it off, nothing shows and
    // "Next Tip" stays as it was.
    void showTipsFollowsTheBox_data()
    {
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("unticked, Close") << false << false;
        QTest::newRow("unticked, Esc") << false << true;
        QTest::newRow("ticked, Esc") << true << true;
    }
    void showTipsFollowsTheBox()
    {
        QFETCH(bool, ticked);
        QFETCH(bool, byEscape);
        NextTipIndex = 3;
        QWidget window;
        window.show();
        const TfrmTip *shown = test::runWithModal<TfrmTip>(
            [&] { ShowTipOfTheDay(&window); },
            [&](TfrmTip *dialog) { dialog->chkShowTips->setChecked(ticked); },
            [&](TfrmTip *dialog) {
                if (byEscape)
                    QTest::keyClick(dialog, Qt::Key_Escape);
                else
                    QTest::mouseClick(dialog->btnClose, Qt::LeftButton);
            });
        QVERIFY(shown);
        QCOMPARE(ShowTipsSetting.raw(), ticked ? -1 : 0);
        QCOMPARE(NextTipIndex, 4);

        const TfrmTip *again = test::runWithModal<TfrmTip>(
            [&] { ShowTipOfTheDay(&window); }, {}, [](TfrmTip *dialog) { dialog->accept(); });
        QCOMPARE(again != nullptr, ticked);
        QCOMPARE(NextTipIndex, ticked ? 5 : 4);
    }
};

QTEST_MAIN(TstTipForm)
#include "tst_tipform.moc"

// The one-time hint dialog: when it shows, where, how it is laid out, and what closing it
// does to the stored switches. The modal dialog is driven from a polling timer.

#include "dialogs/HintForm.h"
#include "guidance/HintSettings.h"
#include "platform/Errors.h"

#include "common/Modal.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <cmath>
#include <functional>

using namespace oxlume;

namespace {

constexpr quint32 kOwnBit = 1u << 31, kOtherBit = 1u << 2;

enum class CloseBy { Button, Escape, CloseBox };

THintInfo hint(std::int32_t bit, bool canDisable = true, bool alwaysShow = false,
               std::string heading = {})
{
    return THintInfo{std::move(heading), "Some hint text.", canDisable, alwaysShow, bit};
}

void closeDialog(TfrmHint *dialog, CloseBy how)
{
    switch (how) {
    case CloseBy::Button: QTest::mouseClick(dialog->btnClose, Qt::LeftButton); break;
    case CloseBy::Escape: QTest::keyClick(dialog, Qt::Key_Escape); break;
    case CloseBy::CloseBox: dialog->close(); break;
    }
}

// Runs show(); if the hint dialog opens, hands it to whileOpen and then closes it (unless
// whileOpen already did). Returns whether the dialog opened.
bool runModal(const std::function<void()> &show,
              const std::function<void(TfrmHint *)> &whileOpen = {}, CloseBy how = CloseBy::Button)
{
    return test::runWithModal<TfrmHint>(show, whileOpen,
                                        [how](TfrmHint *dialog) { closeDialog(dialog, how); });
}

} // namespace

class TstHintForm : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        DisableAllHintsSetting = false;
        HintDisabledMask = 0;
    }

    void showsUnlessSwitchedOff_data()
    {
        QTest::addColumn<bool>("disableAll");
        QTest::addColumn<quint32>("mask");
        QTest::addColumn<bool>("alwaysShow");
        QTest::addColumn<bool>("shown");
        QTest::newRow("fresh settings") << false << 0u << false << true;
        QTest::newRow("another hint's bit") << false << (1u << 4) << false << true;
        QTest::newRow("own bit") << false << (1u << 7) << false << false;
        QTest::newRow("all hints off") << true << 0u << false << false;
        QTest::newRow("always shown despite own bit") << false << (1u << 7) << true << true;
        QTest::newRow("always shown despite all off") << true << 0u << true << true;
    }
    void showsUnlessSwitchedOff()
    {
        QFETCH(bool, disableAll);
        QFETCH(quint32, mask);
        QFETCH(bool, alwaysShow);
        QFETCH(bool, shown);
        DisableAllHintsSetting = disableAll;
        HintDisabledMask = mask;
        QCOMPARE(runModal([&] { ShowOneTimeHint(hint(7, true, alwaysShow), nullptr); }), shown);
        QCOMPARE(HintDisabledMask, mask);
    }

    void placement_data()
    {
        QTest::addColumn<QRect>("window"); // empty: no window given
        // Odd differences in both directions: the halves drop the remainder toward zero.
        QTest::newRow("centred on the window") << QRect(100, 80, 600, 450);
        QTest::newRow("window smaller than dialog") << QRect(200, 150, 100, 100);
        QTest::newRow("window off the left") << QRect(-300, 120, 500, 300);
        QTest::newRow("window off the top") << QRect(150, -200, 500, 300);
        // (0, 0) is where a new dialog already is: the move must not be lost.
        QTest::newRow("window off the top-left") << QRect(-300, -200, 500, 300);
        QTest::newRow("no window") << QRect();
    }
    void placement()
    {
        QFETCH(QRect, window);
        QWidget main;
        QRect area = QGuiApplication::primaryScreen()->geometry();
        if (!window.isEmpty()) {
            main.setGeometry(window);
            main.show();
            QVERIFY(QTest::qWaitForWindowExposed(&main));
            area = main.frameGeometry();
        }
        QRect placed;
        QVERIFY(runModal([&] { ShowOneTimeHint(hint(3), window.isEmpty() ? nullptr : &main); },
                         [&](TfrmHint *d) { placed = d->frameGeometry(); }));
        const auto centred = [](int start, int length, int own) {
            return std::max(0, start + int(std::trunc((length - own) / 2.0)));
        };
        QCOMPARE(placed.topLeft(), QPoint(centred(area.x(), area.width(), placed.width()),
                                          centred(area.y(), area.height(), placed.height())));
        if (window.x() < 0)
            QCOMPARE(placed.x(), 0); // not negative, although the window's centre would be
        if (window.y() < 0)
            QCOMPARE(placed.y(), 0);
    }

    void headingRule()
    {
        // One dialog serves every hint, so a heading must come back after a hint without one.
        for (const std::string heading : {"Did you know...", "", "Tip"}) {
            int headingTop = -1, hintTop = -1;
            QString shownHeading, shownText;
            QVERIFY(runModal([&] { ShowOneTimeHint(hint(5, true, false, heading), nullptr); },
                             [&](TfrmHint *d) {
                                 headingTop = d->lblHeading->y();
                                 hintTop = d->lblHint->y();
                                 shownHeading = d->lblHeading->text();
                                 shownText = d->lblHint->text();
                             }));
            QCOMPARE(shownHeading, QString::fromStdString(heading));
            QCOMPARE(shownText, QStringLiteral("Some hint text."));
            QCOMPARE(hintTop - headingTop, heading.empty() ? 0 : 32);
        }
    }

    void closingOnlyEverSetsTheBit_data()
    {
        QTest::addColumn<bool>("canDisable");
        QTest::addColumn<quint32>("maskBefore");
        QTest::addColumn<bool>("tick");
        QTest::addColumn<int>("closeBy");
        QTest::addColumn<quint32>("maskAfter");
        QTest::newRow("ticked, Close")
            << true << kOtherBit << true << int(CloseBy::Button) << (kOwnBit | kOtherBit);
        QTest::newRow("ticked, Esc") << true << 0u << true << int(CloseBy::Escape) << kOwnBit;
        QTest::newRow("ticked, close box")
            << true << 0u << true << int(CloseBy::CloseBox) << kOwnBit;
        QTest::newRow("left unticked") << true << 0u << false << int(CloseBy::Button) << 0u;
        QTest::newRow("unticked never clears")
            << true << kOwnBit << false << int(CloseBy::Button) << kOwnBit;
        // A box the user cannot see cannot switch the hint off, whatever its state.
        QTest::newRow("hidden box ticked") << false << 0u << true << int(CloseBy::Button) << 0u;
    }
    void closingOnlyEverSetsTheBit()
    {
        QFETCH(bool, canDisable);
        QFETCH(quint32, maskBefore);
        QFETCH(bool, tick);
        QFETCH(int, closeBy);
        QFETCH(quint32, maskAfter);
        HintDisabledMask = maskBefore;
        TfrmHint *dialog = nullptr;
        // AlwaysShow, so that the hint also opens with its bit already set.
        QVERIFY(runModal([&] { ShowOneTimeHint(hint(31, canDisable, true), nullptr); },
                         [&](TfrmHint *d) {
                             dialog = d;
                             QCOMPARE(d->chkDontShowHint->isVisible(), canDisable);
                             if (canDisable)
                                 QCOMPARE(d->chkDontShowHint->isChecked(), maskBefore == kOwnBit);
                             d->chkDontShowHint->setChecked(tick);
                         },
                         CloseBy(closeBy)));
        QCOMPARE(HintDisabledMask, maskAfter);
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QVERIFY(!dialog->parent()); // ownerless, and the same object for every hint
        QCOMPARE(HintDialog(), dialog);
    }

    void badNumbersAreInternalErrors_data()
    {
        QTest::addColumn<bool>("local");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("unit");
        QTest::newRow("bit -1") << false << -1 << QStringLiteral("HintForm");
        QTest::newRow("bit 32") << false << 32 << QStringLiteral("HintForm");
        QTest::newRow("local hint 1") << true << 1 << QStringLiteral("HintLocal");
    }
    void badNumbersAreInternalErrors()
    {
        QFETCH(bool, local);
        QFETCH(int, number);
        QFETCH(QString, unit);
        bool opened = false;
        try {
            opened = runModal([&] {
                if (local)
                    ShowLocalHint(number, nullptr);
                else
                    ShowOneTimeHint(hint(number, true, true), nullptr);
            });
            QFAIL("no assertion raised");
        } catch (const AssertionFailure &e) {
            QCOMPARE(QString::fromStdString(e.unit()), unit);
            QVERIFY(QByteArray(e.what()).startsWith("Assertion failure (" + unit.toLatin1() +
                                                    ", line "));
        }
        QVERIFY(!opened);
        QCOMPARE(HintDisabledMask, 0u);
    }

    void localHintZeroIsTheHiddenListHint()
    {
        QString text;
        QVERIFY(runModal([&] { ShowLocalHint(0, nullptr); },
                         [&](TfrmHint *d) {
                             text = d->lblHint->text();
                             QTest::mouseClick(d->chkDontShowHint, Qt::LeftButton, {},
                                               QPoint(8, d->chkDontShowHint->height() / 2));
                         }));
        QCOMPARE(text, QString::fromStdString(HiddenListHint.Text));
        QCOMPARE(HintDisabledMask, 1u); // ticked by a real click: the next time it stays away
        QVERIFY(!runModal([&] { ShowLocalHint(0, nullptr); }));
    }
};

QTEST_MAIN(TstHintForm)
#include "tst_hintform.moc"

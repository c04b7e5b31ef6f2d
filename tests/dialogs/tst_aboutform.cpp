// The About box: one retained, ownerless dialog, and the command line that its icon reveals
// on exactly the third double-click of the process.

#include "dialogs/AboutForm.h"

#include "common/Modal.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include <functional>

using namespace oxlume;

namespace {

// Runs ShowAboutBox(), hands the open dialog to whileOpen, then closes it with its button.
// Returns the dialog that opened (null if none did).
TfrmAbout *openAbout(const std::function<void(TfrmAbout *)> &whileOpen = {})
{
    return test::runWithModal<TfrmAbout>(ShowAboutBox, whileOpen, [](TfrmAbout *dialog) {
        QTest::mouseClick(dialog->btnClose, Qt::LeftButton);
    });
}

} // namespace

class TstAboutForm : public QObject {
    Q_OBJECT

private slots:
    void oneOwnerlessDialogCentredOnTheScreen()
    {
        QRect frame;
        TfrmAbout *first = openAbout([&](TfrmAbout *d) { frame = d->frameGeometry(); });
        QVERIFY(first);
        QVERIFY(!first->parent());
        const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((frame.center() - screenCentre).manhattanLength() <= 2);
        QCOMPARE(openAbout(), first);
        QCOMPARE(AboutBox(), first);
    }

    // The count is process-wide and never reset, so the whole story is one test.
    void thirdDoubleClickRevealsTheCommandLine()
    {
        SetProcessArguments({"/opt/oxlume/bin/oxlume", "/home/me/Pictures/a <b> & c.jpg"});
        const QString reveal =
            QStringLiteral("/opt/oxlume/bin/oxlume /home/me/Pictures/a <b> & c.jpg ");
        QString description;

        // Two double-clicks in the first opening, the third in the second: they add up.
        openAbout([&](TfrmAbout *d) {
            description = d->lblLong->text();
            QTest::mouseDClick(d->Image1, Qt::LeftButton);
            QTest::mouseDClick(d->Image1, Qt::LeftButton);
            QCOMPARE(d->lblLong->text(), description);
        });
        QVERIFY(description.startsWith(QStringLiteral("Oxlume, also known as Project Marzel")));
        QCOMPARE(CommandLineRevealCount, 2);
        openAbout([&](TfrmAbout *d) {
            QTest::mouseClick(d->Image1, Qt::LeftButton); // single clicks do not count
            QTest::mouseDClick(d->Image1, Qt::LeftButton);
            QCOMPARE(d->lblLong->text(), reveal);
        });
        QCOMPARE(CommandLineRevealCount, 3);

        // Later double-clicks change nothing, and the text stays for later openings.
        SetProcessArguments({"/elsewhere/oxlume"});
        openAbout([&](TfrmAbout *d) {
            QCOMPARE(d->lblLong->text(), reveal);
            QTest::mouseDClick(d->Image1, Qt::LeftButton);
            QCOMPARE(d->lblLong->text(), reveal);
        });
        QCOMPARE(CommandLineRevealCount, 4);
    }

    void initTestCase()
    {
        // Until the main block stores the raw bytes, the application's own list stands in.
        const std::vector<std::string> arguments = ProcessArguments();
        QCOMPARE(arguments.size(), std::size_t(QCoreApplication::arguments().size()));
        QVERIFY(QByteArray::fromStdString(arguments.at(0)).endsWith("tst_dialogs_aboutform"));
    }
};

QTEST_MAIN(TstAboutForm)
#include "tst_aboutform.moc"

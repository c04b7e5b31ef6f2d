// The Options dialog: what a show loads, what OK stores and in which cases it waits for the
// decoder or touches the associations, what Cancel leaves, and the custom-folder browser.

#include "dialogs/OptionsForm.h"
#include "guidance/TipSettings.h"
#include "shell/FileNameFunctions.h"

#include "common/Modal.h"
#include "common/TestEnv.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QtTest>

#include <vector>

using namespace oxlume;

namespace {

// Stands in for the running program: counts the waits and association changes, and gives
// the browser's answer.
struct Program {
    int waits = 0;
    std::vector<bool> associationChanges;
    std::optional<std::string> pick;

    OptionsHooks hooks()
    {
        OptionsHooks h;
        h.waitForDecode = [this] { ++waits; };
        h.changeAssociations = [this](bool install) -> Result<void> {
            associationChanges.push_back(install);
            return {};
        };
        h.browse = [this](QWidget *, const std::string &) { return pick; };
        return h;
    }
};

void showAndClose(TfrmOptions &dialog, bool ok)
{
    dialog.show();
    if (ok)
        QTest::mouseClick(dialog.btnOk, Qt::LeftButton);
    else
        QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
}

} // namespace

class TstOptionsForm : public QObject {
    Q_OBJECT

private slots:
    void init() { ShowTipsSetting = true; }

    // OK on what a show loaded: in-range values and booleans keep their meaning (the
    // assigned ones now -1), out-of-range values become the nearest choice, and neither the
    // decoder lock nor the associations are touched.
    void okStoresWhatIsShown_data()
    {
        QTest::addColumn<int>("speed");
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("storedTrue"); // how a true boolean was stored
        QTest::addColumn<int>("shownSpeed");
        QTest::addColumn<int>("shownMethod");
        QTest::addColumn<int>("shownStart");
        QTest::newRow("in range, true as -1") << 108 << 1 << 2 << -1 << 108 << 1 << 2;
        QTest::newRow("true stored as 1") << 124 << 0 << 0 << 1 << 124 << 0 << 0;
        QTest::newRow("out of range") << 7 << 9 << 0x103 << 1 << 100 << 2 << 3;
        QTest::newRow("above the scale") << 125 << 2 << 255 << 5 << 124 << 2 << 3;
    }
    void okStoresWhatIsShown()
    {
        QFETCH(int, speed);
        QFETCH(int, method);
        QFETCH(int, start);
        QFETCH(int, storedTrue);
        QFETCH(int, shownSpeed);
        QFETCH(int, shownMethod);
        QFETCH(int, shownStart);

        const LongBool yes = LongBool::fromRaw(storedTrue);
        TOptions options;
        options.UseWorkThread = yes;
        options.FileAssociations = yes;
        options.SlideShowSpeed = speed;
        options.SlideMethod = TSlideMethod(std::uint8_t(method));
        options.StartDirectory = TStartDirectory(std::uint8_t(start));
        options.SlideStopOnMouse = yes;
        options.SlideFullScreen = false;
        options.SlideShowLoop = yes;
        ShowTipsSetting = yes;
        Program program;
        TfrmOptions dialog(options, program.hooks());
        showAndClose(dialog, true);

        QCOMPARE(program.waits, 0);
        QVERIFY(program.associationChanges.empty());
        QCOMPARE(options.UseWorkThread.raw(), storedTrue); // unchanged, so not assigned
        QCOMPARE(options.FileAssociations.raw(), storedTrue);
        QCOMPARE(ShowTipsSetting.raw(), -1);
        QCOMPARE(options.SlideStopOnMouse.raw(), -1);
        QCOMPARE(options.SlideFullScreen.raw(), 0);
        QCOMPARE(options.SlideShowLoop.raw(), -1);
        QCOMPARE(options.SlideShowSpeed, shownSpeed);
        QCOMPARE(int(options.SlideMethod), shownMethod);
        QCOMPARE(int(options.StartDirectory), shownStart);
    }

    // Switching the worker off waits for a running decode, switching it on does not; the
    // associations change only with their box, and a refused change keeps the setting.
    void okActsOnChangedBoxes_data()
    {
        QTest::addColumn<bool>("threadsBefore");
        QTest::addColumn<bool>("threadsAfter");
        QTest::addColumn<int>("waits");
        QTest::addColumn<bool>("assocBefore");
        QTest::addColumn<bool>("assocAfter");
        QTest::addColumn<bool>("assocFails");
        QTest::addColumn<bool>("assocStored");
        QTest::newRow("worker off, entries on")
            << true << false << 1 << false << true << false << true;
        QTest::newRow("worker on, entries off")
            << false << true << 0 << true << false << false << false;
        QTest::newRow("entries refused") << true << true << 0 << false << true << true << false;
    }
    void okActsOnChangedBoxes()
    {
        QFETCH(bool, threadsBefore);
        QFETCH(bool, threadsAfter);
        QFETCH(int, waits);
        QFETCH(bool, assocBefore);
        QFETCH(bool, assocAfter);
        QFETCH(bool, assocFails);
        QFETCH(bool, assocStored);

        TOptions options;
        options.UseWorkThread = threadsBefore;
        options.FileAssociations = assocBefore;
        Program program;
        OptionsHooks hooks = program.hooks();
        if (assocFails)
            hooks.changeAssociations = [&](bool install) -> Result<void> {
                program.associationChanges.push_back(install);
                return makeError("Cannot write /x/classes.reg: refused");
            };
        TfrmOptions dialog(options, hooks);
        dialog.show();
        dialog.chkUseThreads->setChecked(threadsAfter);
        dialog.chkFileAssociations->setChecked(assocAfter);
        QString message;
        test::runWithModal<QMessageBox>([&] { QTest::mouseClick(dialog.btnOk, Qt::LeftButton); },
                                        [&](QMessageBox *box) { message = box->text(); },
                                        [](QMessageBox *box) { box->accept(); });

        QCOMPARE(program.waits, waits);
        QCOMPARE(bool(options.UseWorkThread), threadsAfter);
        QCOMPARE(program.associationChanges, std::vector<bool>{assocAfter});
        QCOMPARE(bool(options.FileAssociations), assocStored);
        QCOMPARE(message.contains(QLatin1String("classes.reg")), assocFails);
        QVERIFY(!dialog.isVisible());
    }

    // Cancel and Esc keep every change made in the dialog out of the settings, except the
    // custom folder chosen with the browser, which the next show lists. A pick that is no
    // folder on disk stores the desktop.
    void cancelKeepsOnlyTheChosenFolder_data()
    {
        QTest::addColumn<bool>("browse");
        QTest::addColumn<QString>("pick"); // "-" cancels the browser
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("button"); // the Cancel button, else Esc
        const QString here = QDir::currentPath();
        const QString desktop = QString::fromStdString(DesktopPath());
        QTest::newRow("boxes and speed only") << false << QString() << "/old" << false;
        QTest::newRow("boxes and speed only, Cancel button")
            << false << QString() << "/old" << true;
        QTest::newRow("browser cancelled") << true << "-"
                                           << "/old" << false;
        QTest::newRow("existing folder") << true << here << here << false;
        QTest::newRow("existing folder, Cancel button") << true << here << here << true;
        QTest::newRow("virtual folder") << true << QString() << desktop << false;
        QTest::newRow("missing folder") << true << "/no/such/folder" << desktop << false;
    }
    void cancelKeepsOnlyTheChosenFolder()
    {
        QFETCH(bool, browse);
        QFETCH(QString, pick);
        QFETCH(QString, stored);
        QFETCH(bool, button);

        TOptions options;
        options.CustomDirectory = "/old";
        const TOptions before = options;
        Program program;
        if (pick != QLatin1String("-"))
            program.pick = pick.toStdString();
        TfrmOptions dialog(options, program.hooks());
        dialog.show();
        dialog.chkUseThreads->setChecked(false);
        dialog.chkFileAssociations->setChecked(true);
        dialog.chkShowTips->setChecked(false);
        dialog.startDirectoryItems->button(3)->setChecked(true);
        dialog.traSlideShowSpeed->setValue(120);
        dialog.slideMethodItems->button(2)->setChecked(true);
        dialog.chkSlideShowLoop->setChecked(true);
        if (browse)
            QTest::mouseClick(dialog.btnChangeFolder, Qt::LeftButton);
        if (button)
            QTest::mouseClick(dialog.btnCancel, Qt::LeftButton);
        else
            QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());

        QCOMPARE(QString::fromStdString(options.CustomDirectory), stored);
        QCOMPARE(options.UseWorkThread.raw(), before.UseWorkThread.raw());
        QCOMPARE(options.FileAssociations.raw(), before.FileAssociations.raw());
        QCOMPARE(ShowTipsSetting.raw(), -1);
        QCOMPARE(options.StartDirectory, before.StartDirectory);
        QCOMPARE(options.SlideShowSpeed, before.SlideShowSpeed);
        QCOMPARE(options.SlideMethod, before.SlideMethod);
        QCOMPARE(options.SlideShowLoop.raw(), before.SlideShowLoop.raw());
        QCOMPARE(program.waits, 0);
        QVERIFY(program.associationChanges.empty());

        dialog.show();
        QCOMPARE(dialog.startDirectoryItemText(3), QStringLiteral("Load custom folder: ") + stored);
        QVERIFY(!dialog.chkSlideShowLoop->isChecked());
        QVERIFY(dialog.chkShowTips->isChecked());
        dialog.reject();
    }

    // The label names the interval of the track bar's position as it moves.
    void speedLabel_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("text");
        QTest::newRow("low end") << 100 << "Update every tenth second";
        QTest::newRow("one second") << 105 << "Update every second";
        QTest::newRow("high end") << 124 << "Update every 120 seconds";
    }
    void speedLabel()
    {
        QFETCH(int, position);
        QFETCH(QString, text);
        TOptions options;
        Program program;
        TfrmOptions dialog(options, program.hooks());
        dialog.show();
        QCOMPARE(dialog.lblSpeed->text(), QStringLiteral("Update every 4 seconds"));
        dialog.traSlideShowSpeed->setValue(position);
        QCOMPARE(dialog.lblSpeed->text(), text);
        dialog.reject();
    }

    // A dialog opens on the page it was closed on, with the focus on that page's first
    // control; a new one opens on General.
    void reopensOnLastPage()
    {
        TOptions options;
        Program program;
        TfrmOptions dialog(options, program.hooks());
        dialog.show();
        QCOMPARE(dialog.pagOptions->currentWidget(), dialog.tabGeneral);
        QCOMPARE(dialog.focusWidget(), dialog.chkUseThreads);
        dialog.pagOptions->setCurrentWidget(dialog.tabSlideShow);
        dialog.reject();
        dialog.show();
        QCOMPARE(dialog.pagOptions->currentWidget(), dialog.tabSlideShow);
        QCOMPARE(dialog.focusWidget(), dialog.traSlideShowSpeed);
        dialog.reject();
    }

    // The real entries follow the box through ticking and unticking twice; a classes hive
    // that cannot be written gets an error box naming it, keeps the setting and leaves
    // no desktop entry behind.
    void associationsFollowTheBox_data()
    {
        QTest::addColumn<bool>("hiveWritable");
        QTest::newRow("writable") << true;
        QTest::newRow("hive refused") << false;
    }
    void associationsFollowTheBox()
    {
        QFETCH(bool, hiveWritable);
        test::ScopedXdgHome home;
        const QString hive = home.path() + QStringLiteral("/data/oxlume/classes.reg");
        const QString entry = home.path() + QStringLiteral("/data/applications/oxlume.desktop");
        if (!hiveWritable)
            QVERIFY(QDir().mkpath(hive)); // a folder where the file should be
        TOptions options;
        TfrmOptions dialog(options, defaultOptionsHooks());
        for (const bool tick : {true, false, true, false}) {
            dialog.show();
            dialog.chkFileAssociations->setChecked(tick);
            QString message;
            test::runWithModal<QMessageBox>(
                [&] { QTest::mouseClick(dialog.btnOk, Qt::LeftButton); },
                [&](QMessageBox *box) { message = box->text(); },
                [](QMessageBox *box) { box->accept(); });
            QCOMPARE(bool(options.FileAssociations), hiveWritable && tick);
            QCOMPARE(QFileInfo::exists(entry), hiveWritable && tick);
            QCOMPARE(message.contains(hive), !hiveWritable && tick);
        }
    }
};

QTEST_MAIN(TstOptionsForm)
#include "tst_optionsform.moc"

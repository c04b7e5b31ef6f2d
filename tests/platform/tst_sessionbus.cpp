// Starting without a session bus: the bus cannot be launched while the guard lives, and the
// environment is as it was afterwards; a user's own bus is left alone.

#include "platform/SessionBus.h"

#include "common/Files.h"
#include "common/TestEnv.h"

#include <QtTest>

using namespace oxlume;

class TstSessionBus : public QObject {
    Q_OBJECT

private slots:
    void launchingIsBarredOnlyWithoutABus_data()
    {
        QTest::addColumn<QByteArray>("address"); // "-": unset
        QTest::addColumn<bool>("userBusSocket");
        QTest::addColumn<QByteArray>("during");

        QTest::newRow("no bus") << QByteArray("-") << false << QByteArray("disabled:");
        QTest::newRow("empty address") << QByteArray("") << false << QByteArray("disabled:");
        QTest::newRow("address given")
            << QByteArray("unix:path=/run/b") << false << QByteArray("unix:path=/run/b");
        QTest::newRow("user bus socket") << QByteArray("-") << true << QByteArray("-");
    }

    void launchingIsBarredOnlyWithoutABus()
    {
        QFETCH(QByteArray, address);
        QFETCH(bool, userBusSocket);
        QFETCH(QByteArray, during);
        test::ScopedXdgHome home;
        QVERIFY(home.isValid());
        if (address == "-")
            home.env().unset("DBUS_SESSION_BUS_ADDRESS");
        else
            home.env().set("DBUS_SESSION_BUS_ADDRESS", address);
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        QVERIFY(QDir().mkpath(QString::fromUtf8(runtime)));
        if (userBusSocket)
            test::touch(runtime.toStdString() + "/bus");
        const auto now = [] {
            return qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS")
                       ? qgetenv("DBUS_SESSION_BUS_ADDRESS")
                       : QByteArray("-");
        };
        {
            const platform::NoBusAutolaunch guard;
            QCOMPARE(now(), during);
        }
        QCOMPARE(now(), address);
    }
};

QTEST_GUILESS_MAIN(TstSessionBus)
#include "tst_sessionbus.moc"

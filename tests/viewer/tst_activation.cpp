// The pieces of bringing the window forward that do not need a window manager: the time a
// startup ID carries, and the message that ends its launch feedback.
#include "viewer/Activation.h"

#include <QTest>

using namespace oxlume;

class TestActivation : public QObject {
    Q_OBJECT
private slots:
    void startupIdTime_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<uint>("time");
        QTest::newRow("launcher") << "xdg-open-4021-host-oxlume-1_TIME22911124" << 22911124u;
        QTest::newRow("last _TIME counts") << "a_TIME5_TIME77" << 77u;
        QTest::newRow("digits end it") << "x_TIME12abc" << 12u;
        QTest::newRow("none") << "0a1b2c3d" << 0u;
        QTest::newRow("no digits") << "x_TIME" << 0u;
        QTest::newRow("Wayland token") << "b6c2b3e4-0f8b-4f6c-9a7e" << 0u;
        QTest::newRow("past 32 bits") << "x_TIME4294967296" << 0u;
        QTest::newRow("32-bit maximum") << "x_TIME4294967295" << 4294967295u;
    }
    void startupIdTime()
    {
        QFETCH(QString, id);
        QFETCH(uint, time);
        QCOMPARE(oxlume::startupIdTime(id.toStdString()), time);
    }

    void removeMessageEscapesAndEndsWithZero()
    {
        using namespace std::string_literals;
        QCOMPARE(startupRemoveMessage("id_TIME1"), "remove: ID=\"id_TIME1\"\0"s);
        QCOMPARE(startupRemoveMessage("a\"b\\c"), "remove: ID=\"a\\\"b\\\\c\"\0"s);
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "tst_activation.moc"

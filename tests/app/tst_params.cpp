#ifndef Q_MOC_RUN
#include "app/ParamsFunctions.h"
#include "platform/Errors.h"
#endif

#include <QtTest>

using namespace oxlume;

using Args = std::vector<std::string>;
Q_DECLARE_METATYPE(Args)

static Args args(const QStringList &list)
{
    Args out;
    for (const QString &a : list)
        out.push_back(a.toStdString());
    return out;
}

class TestParams : public QObject {
    Q_OBJECT
private slots:
    void programSwitches_data();
    void programSwitches();
    void positionals_data();
    void positionals();
    void valueKinds();
    void badKindOrIndex();
};

void TestParams::programSwitches_data()
{
    QTest::addColumn<QStringList>("argv");
    QTest::addColumn<bool>("uninstall");
    QTest::addColumn<bool>("newinst");
    QTest::newRow("none") << QStringList{} << false << false;
    QTest::newRow("one dash") << QStringList{QStringLiteral("-uninstall")} << true << false;
    QTest::newRow("two dashes, capitals")
        << QStringList{QStringLiteral("--NEWINST")} << false << true;
    QTest::newRow("mixed case") << QStringList{QStringLiteral("-UnInStAlL")} << true << false;
    QTest::newRow("both") << QStringList{QStringLiteral("-newinst"), QStringLiteral("-uninstall")}
                          << true << true;
    QTest::newRow("no prefix is a path")
        << QStringList{QStringLiteral("uninstall")} << false << false;
    QTest::newRow("slash is a path") << QStringList{QStringLiteral("/uninstall")} << false << false;
    QTest::newRow("three dashes") << QStringList{QStringLiteral("---newinst")} << false << false;
    QTest::newRow("switch turned off")
        << QStringList{QStringLiteral("-newinst=-")} << false << false;
    QTest::newRow("any other value is on")
        << QStringList{QStringLiteral("-newinst=yes")} << false << true;
}

void TestParams::programSwitches()
{
    QFETCH(QStringList, argv);
    QFETCH(bool, uninstall);
    QFETCH(bool, newinst);
    ParseCommandLine(Args{"-uninstall", "-newinst"}); // every parse starts afresh
    ParseCommandLine(args(argv));
    QCOMPARE(SwitchGiven(kUninstallSwitch, false), uninstall);
    QCOMPARE(SwitchGiven(kNewInstanceSwitch, false), newinst);
    QVERIFY(SwitchGiven("missing", true));
    QCOMPARE(FindOption("uninstall", TParamKind::Switch), 0);
    QCOMPARE(FindOption("newinst", TParamKind::Switch), 1);
    QCOMPARE(FindOption("NewInst", TParamKind::Switch), -1); // callers spell names exactly
    QCOMPARE(FindOption("newinst", TParamKind::Text), -1);
}

void TestParams::positionals_data()
{
    QTest::addColumn<QStringList>("argv");
    QTest::addColumn<QStringList>("positional");
    QTest::newRow("two paths, order kept")
        << QStringList{QStringLiteral("/a/b.jpg"), QStringLiteral("c.jpg")}
        << QStringList{QStringLiteral("/a/b.jpg"), QStringLiteral("c.jpg")};
    QTest::newRow("blanks inside one argument") << QStringList{QStringLiteral("/my pics/a b.jpg")}
                                                << QStringList{QStringLiteral("/my pics/a b.jpg")};
    QTest::newRow("lone dash and unknown options ignored")
        << QStringList{QStringLiteral("-"), QStringLiteral("--"), QStringLiteral("-verbose"),
                       QStringLiteral("-file.jpg"), QStringLiteral("x.jpg")}
        << QStringList{QStringLiteral("x.jpg")};
    QTest::newRow("empty argument skipped")
        << QStringList{QString(), QStringLiteral("x.jpg")} << QStringList{QStringLiteral("x.jpg")};
    QTest::newRow("switch between paths")
        << QStringList{QStringLiteral("a"), QStringLiteral("-newinst"), QStringLiteral("b")}
        << QStringList{QStringLiteral("a"), QStringLiteral("b")};
}

void TestParams::positionals()
{
    QFETCH(QStringList, argv);
    QFETCH(QStringList, positional);
    ParseCommandLine(args(argv));
    QCOMPARE(ParamSettings.PositionalCount, positional.size());
    QCOMPARE(ParamSettings.Positional, args(positional));
    QCOMPARE(FirstPositional(ParamSettings),
             positional.isEmpty() ? std::string() : positional.first().toStdString());
}

void TestParams::valueKinds()
{
    std::array<TParamOption, 3> table{{{"count", TParamKind::Integer, false, 0, false, {}},
                                       {"title", TParamKind::Text, false, 0, false, {}},
                                       {"fast", TParamKind::Switch, false, 0, false, {}}}};
    TParamSettings settings;
    ParseCommandLine(table, settings, Args{"-count=-12abc", "--title=a=b c", "-fast"});
    QVERIFY(table[0].Given && table[1].Given && table[2].Given);
    QCOMPARE(table[0].IntValue, -12);
    QCOMPARE(table[1].TextValue, std::string("a=b c"));
    QVERIFY(table[2].SwitchValue);

    ParseCommandLine(table, settings, Args{"-count", "-fast=-", "-title"});
    QCOMPARE(table[0].IntValue, 0);
    QCOMPARE(table[1].TextValue, std::string());
    QVERIFY(table[2].Given && !table[2].SwitchValue);
    QVERIFY(!SwitchGiven(table, "fast", true)); // given and off beats the default

    std::string value;
    QCOMPARE(MatchOption(table, settings, "-TITLE=x", value), 1);
    QCOMPARE(value, std::string("x"));
    QCOMPARE(MatchOption(table, settings, "-nothing=x", value), -1);
    QCOMPARE(value, std::string());
}

void TestParams::badKindOrIndex()
{
    std::array<TParamOption, 1> table{{{"odd", static_cast<TParamKind>(7), false, 0, false, {}}}};
    try {
        ApplyOptionValue(table, 0, "1");
        QFAIL("no assertion");
    } catch (const AssertionFailure &e) {
        QCOMPARE(e.unit(), std::string("ParamsFunctions"));
    }
    QVERIFY_THROWS_EXCEPTION(RangeCheckError, ApplyOptionValue(table, 1, "1"));
}

QTEST_APPLESS_MAIN(TestParams)
#include "tst_params.moc"

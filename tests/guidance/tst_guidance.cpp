// The tip and hint tables and their stored values (no dialogs).

#include "guidance/HintLocal.h"
#include "guidance/HintSettings.h"
#include "guidance/TipLocal.h"
#include "guidance/TipSettings.h"
#include "platform/Errors.h"
#include "platform/RegistryValues.h"

#include "common/TestEnv.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace oxlume;

namespace {

const std::string kKey = "SOFTWARE\\Kestrune\\Marzel";

std::uint32_t storedDword(const char *name)
{
    HKEY key = nullptr;
    std::uint32_t v = 0xdeadbeef;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, kKey, &key) == ERROR_SUCCESS) {
        QueryDwordValue(key, name, v);
        RegCloseKey(key);
    }
    return v;
}

void storeDword(const char *name, std::uint32_t value)
{
    HKEY key = nullptr;
    QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, kKey, &key), ERROR_SUCCESS);
    QCOMPARE(SetDwordValue(key, name, value), ERROR_SUCCESS);
    RegCloseKey(key);
}

} // namespace

class TstGuidance : public QObject {
    Q_OBJECT

private:
    std::optional<test::ScopedXdgHome> m_dir;

private slots:
    void init()
    {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
    }

    void cleanup() { m_dir.reset(); }

    void tipTableHasElevenTipsAndChecksIndexes()
    {
        QCOMPARE(TipCount, 11);
        QCOMPARE(
            GetTip(0),
            std::string("You can right-click anywhere on the main window to see a popup menu."));
        QCOMPARE(GetTip(3).back(), '\''); // the one tip without a closing full stop
        QVERIFY(GetTip(9).rfind("Oxlume runs with one execution thread", 0) == 0);
        QCOMPARE(GetTip(10).back(), '.');
        for (int k = 0; k < TipCount; ++k) // texts speak of this desktop, not of another system
            QVERIFY2(GetTip(k).find("Windows") == std::string::npos, GetTip(k).c_str());
        QVERIFY_THROWS_EXCEPTION(RangeCheckError, GetTip(11));
        QVERIFY_THROWS_EXCEPTION(RangeCheckError, GetTip(-1));
        QCOMPARE(ValidTipIndex(10), 10);
        QCOMPARE(ValidTipIndex(11), 0);
        QCOMPARE(ValidTipIndex(-5), 0);
    }

    void tipValuesLoadAndSave()
    {
        ShowTipsSetting = false;
        NextTipIndex = 7;
        LoadTipSettings(kKey); // no key yet: defaults, and the key now exists
        QVERIFY(ShowTipsSetting);
        QCOMPARE(NextTipIndex, 0);

        storeDword("Show Tips", 1);
        storeDword("Next Tip", 42); // out of range: kept as it is, the dialog copes
        LoadTipSettings(kKey);
        QCOMPARE(ShowTipsSetting.raw(), 1);
        QCOMPARE(NextTipIndex, 42);
        SaveTipSettings(kKey);
        QCOMPARE(storedDword("Show Tips"), 1u);
        QCOMPARE(storedDword("Next Tip"), 42u);

        ShowTipsSetting = false;
        NextTipIndex = 5;
        SaveTipSettings(kKey);
        LoadTipSettings(kKey);
        QVERIFY(!ShowTipsSetting);
        QCOMPARE(NextTipIndex, 5);
        ShowTipsSetting = true;
        SaveTipSettings(kKey);
        QCOMPARE(storedDword("Show Tips"), 0xffffffffu);
    }

    void hintValuesLoadAndSave()
    {
        LoadHintSettings(kKey);
        QVERIFY(!DisableAllHintsSetting);
        QCOMPARE(HintDisabledMask, 0u);
        storeDword("Disable All Hints", 1);
        storeDword("Hint Disabled", 0x80000001u);
        LoadHintSettings(kKey);
        QVERIFY(DisableAllHintsSetting);
        QCOMPARE(HintDisabledMask, 0x80000001u);
        DisableAllHintsSetting = false;
        HintDisabledMask = 4;
        SaveHintSettings(kKey);
        QCOMPARE(storedDword("Disable All Hints"), 0u);
        QCOMPARE(storedDword("Hint Disabled"), 4u);
    }

    void hintSwitches()
    {
        QCOMPARE(LocalHint(0).Text, HiddenListHint.Text);
        QVERIFY(HiddenListHint.Heading.empty());
        QVERIFY(HiddenListHint.CanDisable && !HiddenListHint.AlwaysShow);
        QCOMPARE(HiddenListHint.BitNumber, 0);

        DisableAllHintsSetting = false;
        HintDisabledMask = 0;
        QVERIFY(!HintSuppressed(HiddenListHint));
        DisableHint(HiddenListHint);
        QCOMPARE(HintDisabledMask, 1u);
        QVERIFY(HintSuppressed(HiddenListHint));

        THintInfo always = HiddenListHint;
        always.AlwaysShow = true;
        always.BitNumber = 31;
        HintDisabledMask = 0x80000000u;
        DisableAllHintsSetting = true;
        QVERIFY(!HintSuppressed(always));
        HintDisabledMask = 0;
        QVERIFY(HintSuppressed(HiddenListHint)); // all hints off

        THintInfo bad = HiddenListHint;
        bad.BitNumber = 32;
        try {
            HintSuppressed(bad);
            QFAIL("no assertion for bit 32");
        } catch (const AssertionFailure &e) {
            QCOMPARE(e.unit(), std::string("HintForm"));
        }
        try {
            LocalHint(1);
            QFAIL("no assertion for hint 1");
        } catch (const AssertionFailure &e) {
            QCOMPARE(e.unit(), std::string("HintLocal"));
        }
    }
};

QTEST_GUILESS_MAIN(TstGuidance)
#include "tst_guidance.moc"

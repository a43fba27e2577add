#include "runs/cue_flags.h"

#include <QtTest>

using lyrane::CueFlag;
using lyrane::CueFlagKind;
using lyrane::CueMeasure;

Q_DECLARE_METATYPE(CueMeasure)

namespace {

// A clip that looks right: 10 characters in a second, in a slot of two.
CueMeasure plain() {
    CueMeasure cue;
    cue.clipMs = 1000;
    cue.slotMs = 2000;
    cue.characters = 10;
    cue.speechMs = 1000;
    return cue;
}

QStringList names(const QList<CueFlag>& flags) {
    QStringList out;
    for (const CueFlag& flag : flags) {
        out.append(lyrane::cueFlagName(flag.kind) + QLatin1Char('=') + QString::number(flag.value));
    }
    return out;
}

} // namespace

class CueFlagsTest : public QObject {
    Q_OBJECT

private slots:
    void flags_data() {
        QTest::addColumn<CueMeasure>("cue");
        QTest::addColumn<QStringList>("flags");
        const auto with = [](auto change) {
            CueMeasure cue = plain();
            change(cue);
            return cue;
        };
        // clang-format off
        QTest::newRow("plain") << plain() << QStringList{};
        QTest::newRow("pushed half a second") << with([](CueMeasure& c) { c.delayMs = 500; }) << QStringList{};
        QTest::newRow("pushed more") << with([](CueMeasure& c) { c.delayMs = 501; }) << QStringList{"pushed_later=501"};
        QTest::newRow("sped up") << with([](CueMeasure& c) { c.speedUp = 1.25; }) << QStringList{"sped_up=1.25"};
        QTest::newRow("over its slot") << with([](CueMeasure& c) { c.clipMs = 2300; c.speechMs = 2300; c.characters = 23; }) << QStringList{"longer_than_slot=300"};
        QTest::newRow("fast") << with([](CueMeasure& c) { c.characters = 15; }) << QStringList{"fast_speech=15"};
        QTest::newRow("within 40%") << with([](CueMeasure& c) { c.characters = 13; }) << QStringList{};
        QTest::newRow("slow") << with([](CueMeasure& c) { c.characters = 5; }) << QStringList{"slow_speech=5"};
        QTest::newRow("pause of a second") << with([](CueMeasure& c) { c.longestPauseMs = 1000; }) << QStringList{};
        QTest::newRow("longer pause") << with([](CueMeasure& c) { c.longestPauseMs = 1200; }) << QStringList{"pause_inside=1200"};
        QTest::newRow("full scale") << with([](CueMeasure& c) { c.fullScaleSamples = 3; }) << QStringList{"full_scale=3"};
        QTest::newRow("silent clip") << with([](CueMeasure& c) { c.speechMs = 0; }) << QStringList{};
        // clang-format on
    }
    // Each row among four plain cues, so the median is the plain cue's rate.
    void flags() {
        QFETCH(CueMeasure, cue);
        QFETCH(QStringList, flags);
        const QList<QList<CueFlag>> all = lyrane::flagCues({plain(), cue, plain(), plain()});
        QCOMPARE(all.size(), 4);
        QCOMPARE(names(all[1]), flags);
        QVERIFY(all[0].isEmpty() && all[2].isEmpty() && all[3].isEmpty());
    }

    void summary() {
        const QList<CueFlag> pushed{{CueFlagKind::PushedLater, 800}};
        const QList<CueFlag> both{{CueFlagKind::PushedLater, 900}, {CueFlagKind::SpedUp, 1.2}};
        QCOMPARE(lyrane::flaggedLine({{}, {}}, QString()), QString());
        QCOMPARE(
            lyrane::flaggedLine({pushed, {}, both}, QString()),
            QStringLiteral("Flagged: 2 of 3 cues (2 pushed later, 1 sped up); see --review\n"));
        QCOMPARE(lyrane::flaggedLine({{}, both}, QStringLiteral("r.html")),
                 QStringLiteral("Flagged: 1 of 2 cues (1 pushed later, 1 sped up); see r.html\n"));
    }
};

QTEST_GUILESS_MAIN(CueFlagsTest)
#include "test_cue_flags.moc"

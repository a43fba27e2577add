#include "runs/dialogue_fit.h"

#include <QtTest>

using namespace lyrane;

namespace {

// "1000-2000,3000-4000"
QList<TimeSpan> spans(const QString& text) {
    QList<TimeSpan> result;
    for (const QString& item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList ends = item.split(QLatin1Char('-'));
        result.append({ends[0].toLongLong(), ends[1].toLongLong()});
    }
    return result;
}

// "cue:length,..."
QList<DescriptionToFit> descriptions(const QString& text) {
    QList<DescriptionToFit> result;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QStringList parts = item.split(QLatin1Char(':'));
        result.append({parts[0].toLongLong(), parts[1].toLongLong()});
    }
    return result;
}

// Each fit as "outcome@start+length", with "/covered@from" over dialogue, "x1.25" sped up and
// "/at+length" of the pause it makes.
QString describe(const QList<DescriptionFit>& fits) {
    static const char* names[] = {"cue", "shift", "speed", "cover", "pause"};
    QStringList parts;
    for (const DescriptionFit& fit : fits) {
        QString part = QStringLiteral("%1@%2+%3")
                           .arg(QLatin1String(names[int(fit.outcome)]))
                           .arg(fit.startMs)
                           .arg(fit.lengthMs);
        if (fit.outcome == FitOutcome::SpedUp) {
            part += QStringLiteral("x%1").arg(fit.speedUp, 0, 'f', 2);
        }
        if (fit.outcome == FitOutcome::CoversDialogue) {
            part += QStringLiteral("/%1@%2").arg(fit.coveredMs).arg(fit.coveredFromMs);
        }
        if (fit.outcome == FitOutcome::Paused) {
            part += QStringLiteral("/%1+%2").arg(fit.pauseAtMs).arg(fit.pauseMs);
        }
        parts.append(part);
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace

class DialogueFitTest : public QObject {
    Q_OBJECT

private slots:
    void fits_data() {
        QTest::addColumn<QString>("dialogue");
        QTest::addColumn<QString>("clips");
        QTest::addColumn<qint64>("maxShift");
        QTest::addColumn<double>("maxSpeedUp");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<qint64>("frame"); // > 0: the programme pauses, held on this grid
        // clang-format off
        QTest::newRow("no dialogue") << "" << "0:500,100:500" << qint64(2000) << 1.0 << "cue@0+500 shift@500+500" << qint64(0);
        QTest::newRow("clear at its cue") << "0-1000,3000-4000" << "1000:2000" << qint64(2000) << 1.0 << "cue@1000+2000" << qint64(0);
        QTest::newRow("ends where dialogue starts") << "3000-4000" << "2000:1000" << qint64(0) << 1.0 << "cue@2000+1000" << qint64(0);
        QTest::newRow("moved past a line") << "1000-2000,5000-6000" << "1500:1000" << qint64(2000) << 1.0 << "shift@2000+1000" << qint64(0);
        QTest::newRow("gap too short, next one") << "1000-2000,2500-3000,6000-7000" << "1000:1000" << qint64(2000) << 1.0 << "shift@3000+1000" << qint64(0);
        QTest::newRow("shift too small") << "1000-2000,2500-3000" << "1000:1000" << qint64(1999) << 1.0 << "cover@1000+1000/1000@1000" << qint64(0);
        QTest::newRow("shift of exactly the need") << "1000-2000" << "1500:600" << qint64(500) << 1.0 << "shift@2000+600" << qint64(0);
        QTest::newRow("zero shift covers") << "1000-2000" << "1500:600" << qint64(0) << 1.0 << "cover@1500+600/500@1500" << qint64(0);
        QTest::newRow("covers two lines") << "1000-1200,1500-1700" << "900:1000" << qint64(0) << 1.0 << "cover@900+1000/400@1000" << qint64(0);
        QTest::newRow("sped up in its gap") << "0-1000,2000-3000" << "1000:1250" << qint64(0) << 1.5 << "speed@1000+1000x1.25" << qint64(0);
        QTest::newRow("too fast to fit") << "0-1000,2000-3000" << "1000:1600" << qint64(0) << 1.5 << "cover@1000+1600/600@2000" << qint64(0);
        QTest::newRow("shift wins over speed") << "1000-2000" << "500:800" << qint64(2000) << 1.5 << "shift@2000+800" << qint64(0);
        QTest::newRow("inside dialogue, no speed") << "0-3000" << "1000:500" << qint64(0) << 1.5 << "cover@1000+500/500@1000" << qint64(0);
        QTest::newRow("after the clip before") << "3000-4000" << "0:2500,1000:400" << qint64(2000) << 1.0 << "cue@0+2500 shift@2500+400" << qint64(0);
        QTest::newRow("pushed past the shift") << "3000-4000" << "0:2800,500:400" << qint64(2000) << 1.0 << "cue@0+2800 cover@2800+400/200@3000" << qint64(0);
        QTest::newRow("the clip before pushes it into a gap") << "3000-4000" << "0:3100,3200:500" << qint64(2000) << 1.0 << "cover@0+3100/100@3000 shift@4000+500" << qint64(0);
        QTest::newRow("unsorted, overlapping dialogue") << "5000-6000,1000-2500,2000-3000" << "1500:1000" << qint64(2000) << 1.0 << "shift@3000+1000" << qint64(0);
        QTest::newRow("touching lines are one") << "1000-2000,2000-3000" << "1000:500" << qint64(1999) << 1.0 << "cover@1000+500/500@1000" << qint64(0);
        QTest::newRow("empty clip") << "0-3000" << "1000:0" << qint64(0) << 1.0 << "cue@1000+0" << qint64(0);
        QTest::newRow("paused where the line starts") << "0-1000,2000-3000" << "1000:1600" << qint64(0) << 1.0 << "pause@1000+1600/2000+600" << qint64(1);
        QTest::newRow("paused on the frame before") << "0-1000,2000-3000" << "1000:1600" << qint64(0) << 1.0 << "pause@1000+1600/1800+800" << qint64(300);
        QTest::newRow("speed still comes first") << "0-1000,2000-3000" << "1000:1250" << qint64(0) << 1.5 << "speed@1000+1000x1.25" << qint64(1);
        QTest::newRow("waits for the line to end") << "0-3000,3500-4000" << "2500:1000" << qint64(600) << 1.0 << "pause@3000+1000/3500+500" << qint64(1);
        QTest::newRow("mid-line past the shift") << "0-3000" << "1000:500" << qint64(0) << 1.0 << "pause@1000+500/1000+500" << qint64(1);
        QTest::newRow("the next goes on from the pause") << "0-1000,2000-3000" << "1000:1600,1500:300" << qint64(0) << 1.0 << "pause@1000+1600/2000+600 pause@2000+300/2000+300" << qint64(1);
        // clang-format on
    }
    void fits() {
        QFETCH(QString, dialogue);
        QFETCH(QString, clips);
        QFETCH(qint64, maxShift);
        QFETCH(double, maxSpeedUp);
        QFETCH(QString, expected);
        FitLimits limits{maxShift, maxSpeedUp, {}};
        QFETCH(qint64, frame);
        if (frame > 0) {
            limits.holdPoint = [frame](qint64 timeMs) {
                return timeMs / frame * frame;
            };
        }
        const QList<DescriptionFit> fits =
            fitDescriptions(mergedSpans(spans(dialogue)), descriptions(clips), limits);
        QCOMPARE(describe(fits), expected);
    }

    void gaps_data() {
        QTest::addColumn<qint64>("time");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("end");
        // clang-format off
        QTest::newRow("before the first line") << qint64(100) << qint64(0) << qint64(1000);
        QTest::newRow("between lines") << qint64(2500) << qint64(2000) << qint64(3000);
        QTest::newRow("at a line's end") << qint64(2000) << qint64(2000) << qint64(3000);
        QTest::newRow("inside a line") << qint64(1500) << qint64(1500) << qint64(1500);
        QTest::newRow("after the last line") << qint64(5000) << qint64(4000) << qint64(-1);
        // clang-format on
    }
    void gaps() {
        QFETCH(qint64, time);
        QFETCH(qint64, start);
        QFETCH(qint64, end);
        const TimeSpan gap = gapAt(spans(QStringLiteral("1000-2000,3000-4000")), time);
        QCOMPARE(gap.startMs, start);
        QCOMPARE(gap.endMs, end);
    }

    // Many descriptions against a long dialogue track: every fit clear of dialogue and of the
    // description before it, as the placement rules promise.
    void fitsNeverOverlapWhenClear() {
        QList<TimeSpan> dialogue;
        for (qint64 k = 0; k < 3000; ++k) {
            dialogue.append({k * 3000, k * 3000 + 1000 + (k % 7) * 200});
        }
        QList<DescriptionToFit> clips;
        for (qint64 k = 0; k < 1500; ++k) {
            clips.append({k * 6000 + (k % 5) * 300, 600 + (k % 3) * 200});
        }
        const QList<TimeSpan> merged = mergedSpans(dialogue);
        const QList<DescriptionFit> fits = fitDescriptions(merged, clips, FitLimits{2000, 1.0, {}});
        qint64 previousEnd = 0;
        for (const DescriptionFit& fit : fits) {
            QVERIFY(fit.startMs >= previousEnd);
            previousEnd = fit.startMs + fit.lengthMs;
            const TimeSpan gap = gapAt(merged, fit.startMs);
            QCOMPARE(fit.outcome == FitOutcome::CoversDialogue,
                     gap.endMs != -1 && fit.startMs + fit.lengthMs > gap.endMs);
        }
    }
};

QTEST_GUILESS_MAIN(DialogueFitTest)
#include "test_dialogue_fit.moc"

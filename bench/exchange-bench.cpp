// Times the audio description exchange formats on a generated two-hour narration of 1500
// descriptions: reading a DAPT script and a CSV script of them, writing the DAPT script (clips
// linked, then embedded, and reading that back), and writing the stems, beside the 16-bit WAV of
// the same timeline and a plain write of as many bytes as the stems hold. Prints wall time and peak
// RSS. Built and run by bench/exchange-bench.sh.
#include "audio/stems_folder.h"
#include "audio/streamed_timeline.h"
#include "audio/timeline_plan.h"
#include "subtitles/dapt_writer.h"
#include "subtitles/subtitle_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

using namespace lyrane;

namespace {

long peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Wall and CPU time since the last report.
void report(const char* step, const QElapsedTimer& timer) {
    static double cpuBefore = 0;
    const double cpu = cpuSeconds();
    std::printf("%-34s %8.3f s wall %8.3f s CPU   peak RSS %6ld MiB\n", step,
                double(timer.nsecsElapsed()) / 1e9, cpu - cpuBefore, peakRssMiB());
    cpuBefore = cpu;
    std::fflush(stdout);
}

void fail(const char* what, const QString& error) {
    std::fprintf(stderr, "%s failed: %s\n", what, qPrintable(error));
    std::exit(1);
}

qint64 folderBytes(const QString& path) {
    qint64 total = 0;
    for (const QFileInfo& file : QDir(path).entryInfoList(QDir::Files)) {
        total += file.size();
    }
    return total;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (app.arguments().size() < 2) {
        std::fprintf(stderr, "usage: exchange-bench OUTPUT_DIR [DESCRIPTIONS]\n");
        return 2;
    }
    const QDir dir(app.arguments().at(1));
    const int count = app.arguments().size() > 2 ? app.arguments().at(2).toInt() : 1500;
    constexpr int rate = 44100;
    constexpr qint64 spacingMs = 4800; // 1500 descriptions span two hours

    // The descriptions: a script of each kind, and the clips as a timeline plan.
    DaptScript script;
    script.language = QStringLiteral("en");
    script.agents = {{QStringLiteral("narrator"), QStringLiteral("Narrator")}};
    QByteArray csv = "In,Out,Text,Speaker\n";
    QList<qint64> lengths;
    QList<qint64> starts;
    QList<qint64> ends;
    for (int i = 0; i < count; ++i) {
        const qint64 lengthMs = 3000 + (i % 7) * 300;
        DaptEvent event;
        event.id = QStringLiteral("d%1").arg(i + 1);
        event.beginMs = i * spacingMs;
        event.endMs = event.beginMs + lengthMs;
        event.agentId = QStringLiteral("narrator");
        event.text = QStringLiteral("Description %1: a door opens, & rain falls on the <old> roof.")
                         .arg(i + 1);
        event.clipLink = QStringLiteral("stems/%1.wav").arg(i + 1, 4, 10, QLatin1Char('0'));
        event.ducking = DaptDucking();
        script.events << event;
        const auto timecode = [](qint64 ms) {
            return QStringLiteral("%1:%2:%3:%4")
                .arg(ms / 3600000, 2, 10, QLatin1Char('0'))
                .arg(ms / 60000 % 60, 2, 10, QLatin1Char('0'))
                .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
                .arg(ms % 1000 / 40, 2, 10, QLatin1Char('0'));
        };
        csv += QStringLiteral("%1,%2,\"%3\",Narrator\n")
                   .arg(timecode(event.beginMs), timecode(event.endMs), event.text)
                   .toUtf8();
        lengths << lengthMs * rate / 1000;
        starts << event.beginMs;
        ends << event.endMs + 500;
    }
    QString error;
    const std::optional<TimelinePlan> plan =
        planTimelineFromLengths(lengths, rate, starts, ends, ends.last() + 2000, 0, &error);
    if (!plan) {
        fail("plan", error);
    }
    // Seven clips of speech length, made once: the clips' own making is not what is timed.
    QList<AudioBuffer> made;
    for (int i = 0; i < 7 && i < count; ++i) {
        AudioBuffer clip;
        clip.sampleRate = rate;
        const double step = 2.0 * M_PI * (180.0 + i * 20.0) / rate;
        for (qint64 k = 0; k < lengths[i]; ++k) {
            clip.samples << 0.6 * std::sin(step * double(k));
        }
        made << clip;
    }
    const TimelineClipLoader load = [&](qsizetype j, AudioBuffer& clip, QString*) {
        clip = made[j % 7];
        return true;
    };

    const QString daptPath = dir.filePath(QStringLiteral("script.ttml"));
    const QString csvPath = dir.filePath(QStringLiteral("script.csv"));
    QFile csvFile(csvPath);
    if (!csvFile.open(QIODevice::WriteOnly) || csvFile.write(csv) != csv.size()) {
        fail("CSV", csvFile.errorString());
    }
    csvFile.close();
    QElapsedTimer timer;
    timer.start();
    if (!saveDaptDocument(script, daptPath, DaptClipBytes(), &error)) {
        fail("DAPT", error);
    }
    report("write DAPT (clips linked)", timer);

    SubtitleReadingOptions options;
    options.frameRate = parseFrameRate(u"25");
    for (const QString& path : {daptPath, csvPath}) {
        timer.restart();
        const std::optional<SubtitleFile> file = readSubtitleFile(path, QString(), options, &error);
        if (!file || file->cues.size() != count) {
            fail("read", error);
        }
        report(path == daptPath ? "read DAPT script" : "read CSV script", timer);
    }

    timer.restart();
    if (!writeStreamedTimelineWav(*plan, lengths, OutputLevel(), load,
                                  dir.filePath(QStringLiteral("narration.wav")), &error)) {
        fail("WAV", error);
    }
    report("narration WAV (16-bit, 44.1 kHz)", timer);

    StemsSource stems;
    stems.plan = *plan;
    stems.lengths = lengths;
    stems.load = load;
    for (int i = 0; i < count; ++i) {
        stems.clips << StemClip{i + 1, script.events[i].text};
    }
    const QString stemsPath = dir.filePath(QStringLiteral("stems"));
    timer.restart();
    if (!writeStemsFolder(stems, stemsPath, &error)) {
        fail("stems", error);
    }
    report("stems (24-bit, 48 kHz)", timer);
    const qint64 stemBytes = folderBytes(stemsPath);

    // The same files written plainly, in 64 KiB pieces, and synced alike at the end.
    timer.restart();
    const QDir plain(dir.filePath(QStringLiteral("plain")));
    QDir().mkpath(plain.path());
    const QByteArray piece(1 << 16, '\x55');
    QStringList written;
    for (const QFileInfo& stem : QDir(stemsPath).entryInfoList(QDir::Files)) {
        QFile file(plain.filePath(stem.fileName()));
        if (!file.open(QIODevice::WriteOnly)) {
            fail("plain", file.errorString());
        }
        for (qint64 at = 0; at < stem.size(); at += piece.size()) {
            file.write(piece.constData(), qMin<qint64>(piece.size(), stem.size() - at));
        }
        written << file.fileName();
    }
    for (const QString& path : std::as_const(written)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || ::fsync(file.handle()) != 0) {
            fail("sync", file.errorString());
        }
    }
    report("plain write of the same files", timer);

    for (DaptEvent& event : script.events) {
        event.embedClip = true;
    }
    timer.restart();
    const DaptClipBytes embed = [&](qsizetype index, QString* why) -> std::optional<QByteArray> {
        QFile clip(QDir(stemsPath).filePath(script.events[index].clipLink.mid(6)));
        if (!clip.open(QIODevice::ReadOnly)) {
            *why = clip.errorString();
            return std::nullopt;
        }
        return clip.readAll();
    };
    if (!saveDaptDocument(script, dir.filePath(QStringLiteral("embedded.ttml")), embed, &error)) {
        fail("embedded DAPT", error);
    }
    report("write DAPT (clips embedded)", timer);
    timer.restart();
    const std::optional<SubtitleFile> embedded =
        readSubtitleFile(dir.filePath(QStringLiteral("embedded.ttml")), QString(), options, &error);
    if (!embedded || embedded->cues.size() != count) {
        fail("read embedded DAPT", error);
    }
    report("read DAPT script (clips embedded)", timer);
    std::printf("timeline %.1f min; stems %.0f MiB in %d files; DAPT %lld KiB, embedded %lld MiB\n",
                double(plan->totalSamples) / rate / 60.0, double(stemBytes) / 1048576.0, count + 1,
                QFileInfo(daptPath).size() / 1024,
                QFileInfo(dir.filePath(QStringLiteral("embedded.ttml"))).size() / 1048576);
    return 0;
}

// Writes a generated two-hour, 1,500-cue speech-like narration to MP3 with one encoder (the
// single-threaded writing) and with the chunked encoder on N threads, and prints both times,
// the ratio, the seams and fall-backs, what FFmpeg and LAME's decoder give back, and the
// difference between the two files around each seam against the files' mean.
// Built and run by bench/mp3-bench.sh.
#include "audio/mp3_codec.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

using namespace lyrane;

namespace {

constexpr int kRate = 44100;
constexpr double kCueSeconds = 4.8; // 1,500 cues in two hours: 3.6 s of speech, then a pause

// Cues of speech-like sound: voiced syllables (a gliding pitch with harmonics, breath noise),
// some unvoiced, a pause after each. A few dozen cues are made once and strung together in a
// scrambled order at different levels, so the producer costs no more than the timeline's
// renderer does and the encoders are what is measured. The same samples every time.
class Narration {
public:
    // `roomTone`: noise at about -60 dBFS under everything, so the pauses are never silent
    // and two encoders never come to the same state in them.
    Narration(qint64 samples, bool roomTone) : m_left(samples) {
        std::mt19937 random(7);
        std::normal_distribution<double> noise(0, 1);
        m_room.resize(roomTone ? 44101 : 1, 0);
        for (qint16& sample : m_room) {
            sample = roomTone ? qint16(std::lround(30 * noise(random))) : 0;
        }
        const qint64 cue = qint64(kCueSeconds * kRate);
        m_cues.resize(size_t(kCues * cue));
        for (qint64 i = 0; i < qint64(m_cues.size()); ++i) {
            const int which = int(i / cue);
            const double t = double(i % cue) / kRate;
            const int syllable = int(t / 0.37) + which;
            const bool spoken = t < 3.6 && syllable % 7 != 6;
            const double level = spoken ? 0.5 * (0.6 + 0.4 * std::sin(2 * M_PI * 3.1 * t)) : 0;
            m_breath = 0.7 * m_breath + 0.3 * noise(random);
            const double pitch =
                110 + 4 * which + 30 * std::sin(2 * M_PI * 0.5 * t) + 10 * (syllable % 3);
            double voiced = 0;
            for (int h = 1; h < 12 && syllable % 5 != 4; ++h) {
                voiced += std::sin(2 * M_PI * pitch * h * t) / h;
            }
            m_cues[size_t(i)] = toPcm16(level * (0.35 * voiced + 0.25 * m_breath));
        }
    }

    qint64 fill(qint16* out, qint64 count) {
        count = std::min(count, m_left);
        const qint64 cue = qint64(kCueSeconds * kRate);
        for (qint64 k = 0; k < count; ++k, ++m_index) {
            const qint64 number = m_index / cue;
            const qint64 which = (number * 7919) % kCues;
            const int gain = 20 + int((number * 31) % 13); // 20/32 to 32/32
            out[k] = qint16(m_cues[size_t(which * cue + m_index % cue)] * gain / 32 +
                            m_room[size_t(m_index % qint64(m_room.size()))]);
        }
        m_left -= count;
        return count;
    }

private:
    static constexpr qint64 kCues = 24;
    std::vector<qint16> m_cues;
    std::vector<qint16> m_room;
    qint64 m_left;
    qint64 m_index = 0;
    double m_breath = 0;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

bool writeNarration(qint64 samples, bool roomTone, const QString& path,
                    const Mp3WriteOptions& options, Timing* timing) {
    QElapsedTimer timer;
    timer.start();
    const double cpu = cpuSeconds();
    QString error;
    const bool written = writeMp3File(
        kRate, kMp3BitRate, path,
        [samples, roomTone](const Pcm16Sink& sink) {
            Narration narration(samples, roomTone);
            std::vector<qint16> block(8192);
            for (qint64 n; (n = narration.fill(block.data(), qint64(block.size()))) > 0;) {
                if (!sink(block.data(), n)) {
                    return false;
                }
            }
            return true;
        },
        &error, options);
    timing->wall = double(timer.elapsed()) / 1000.0;
    timing->cpu = cpuSeconds() - cpu;
    if (!written) {
        std::fprintf(stderr, "writing %s failed: %s\n", qPrintable(path), qPrintable(error));
    }
    return written;
}

// Decodes `mp3` to raw 16-bit samples in `raw` with `program`; what it printed on its error
// stream goes to `messages`.
bool decodeTo(const QStringList& command, const QString& raw, QByteArray* messages) {
    QProcess process;
    process.setStandardOutputFile(raw);
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(-1) || process.exitCode() != 0) {
        return false;
    }
    *messages = process.readAllStandardError();
    return true;
}

qint64 samplesIn(const QString& raw, qint64 header) {
    return (QFile(raw).size() - header) / 2;
}

// Differences between the two decodings (and each against the input), around the seams (the
// two frames either side of each) and elsewhere, read in step.
void seamFigures(const QString& single, const QString& chunked, qint64 samples, bool roomTone,
                 const QList<qint64>& seams) {
    QFile a(single);
    QFile b(chunked);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly)) {
        return;
    }
    std::vector<char> near(size_t(samples), 0);
    for (const qint64 seam : seams) {
        const qint64 from = std::max<qint64>(0, (seam - 2) * 1152 - 576);
        const qint64 to = std::min(samples, (seam + 2) * 1152 - 576);
        std::fill(near.begin() + from, near.begin() + to, 1);
    }
    std::vector<double> perSeam(size_t(seams.size()), 0);
    double sums[2][3] = {}; // [near][chunked-single, single-input, chunked-input]
    qint64 counts[2] = {};
    Narration narration(samples, roomTone);
    std::vector<qint16> x(65536), y(65536), input(65536);
    size_t seam = 0;
    for (qint64 at = 0; at < samples;) {
        const qint64 n = narration.fill(input.data(), qint64(input.size()));
        a.read(reinterpret_cast<char*>(x.data()), n * 2);
        b.read(reinterpret_cast<char*>(y.data()), n * 2);
        for (qint64 k = 0; k < n; ++k) {
            const int w = near[size_t(at + k)];
            const double d = double(y[k]) - x[k];
            sums[w][0] += d * d;
            sums[w][1] += (double(x[k]) - input[k]) * (double(x[k]) - input[k]);
            sums[w][2] += (double(y[k]) - input[k]) * (double(y[k]) - input[k]);
            ++counts[w];
            while (seam < size_t(seams.size()) && at + k >= (seams[int(seam)] + 2) * 1152 - 576) {
                ++seam;
            }
            if (w && seam < perSeam.size()) {
                perSeam[seam] += d * d / (4 * 1152);
            }
        }
        at += n;
    }
    const auto rms = [&](int w, int which) {
        return std::sqrt(sums[w][which] / double(counts[w]));
    };
    const double all = std::sqrt((sums[0][0] + sums[1][0]) / double(counts[0] + counts[1]));
    std::printf("difference, chunked against single (16-bit steps RMS): around the seams %.2f, "
                "elsewhere %.2f, whole file %.2f\n",
                rms(1, 0), rms(0, 0), all);
    for (double& value : perSeam) {
        value = std::sqrt(value);
    }
    std::sort(perSeam.begin(), perSeam.end());
    if (!perSeam.empty()) {
        const auto count =
            std::count_if(perSeam.begin(), perSeam.end(), [](double v) { return v == 0; });
        std::printf("per seam: %lld of %zu with no difference at all; median %.2f, 90th %.2f, "
                    "max %.2f\n",
                    static_cast<long long>(count), perSeam.size(), perSeam[perSeam.size() / 2],
                    perSeam[perSeam.size() * 9 / 10], perSeam.back());
    }
    std::printf("error against the input: single %.2f around the seams, %.2f elsewhere; "
                "chunked %.2f, %.2f\n",
                rms(1, 1), rms(0, 1), rms(1, 2), rms(0, 2));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: mp3-bench OUTPUT_DIR [HOURS] [THREADS] [--jobs-check] "
                             "[--room-tone]\n");
        return 2;
    }
    const QString dir = args.at(1);
    const double hours = args.size() > 2 ? args.at(2).toDouble() : 2.0;
    const int threads = args.size() > 3 ? args.at(3).toInt() : 2;
    const qint64 samples = qint64(hours * 3600 * kRate);
    const bool roomTone = args.contains(QStringLiteral("--room-tone"));
    std::printf("narration: %.2f h, %lld samples, %d cues%s\n", hours,
                static_cast<long long>(samples), int(hours * 3600 / kCueSeconds),
                roomTone ? ", room tone under it" : "");

    const QString single = dir + QStringLiteral("/single.mp3");
    const QString chunked = dir + QStringLiteral("/chunked.mp3");
    Mp3WriteOptions one;
    one.plan = Mp3ChunkPlan::whole();
    one.threads = 1;
    Mp3WriteOptions many;
    many.threads = threads;
    Mp3SeamCounts seams;
    many.seams = &seams;
    Timing singleTime;
    Timing chunkedTime;
    if (!writeNarration(samples, roomTone, single, one, &singleTime) ||
        !writeNarration(samples, roomTone, chunked, many, &chunkedTime)) {
        return 1;
    }
    std::printf("single encoder:          %7.2f s wall, %7.2f s CPU\n", singleTime.wall,
                singleTime.cpu);
    std::printf("chunked, %2d threads:     %7.2f s wall, %7.2f s CPU   (%.2fx faster, "
                "%.2fx the CPU)\n",
                threads, chunkedTime.wall, chunkedTime.cpu, singleTime.wall / chunkedTime.wall,
                chunkedTime.cpu / singleTime.cpu);
    std::printf("seams %d, fall-backs (pair encoded again as one) %d; peak RSS %ld MiB\n",
                seams.seams, seams.fallbacks, peakRssMiB());
    if (args.contains(QStringLiteral("--jobs-check"))) {
        Mp3WriteOptions alone;
        alone.threads = 1;
        Timing aloneTime;
        const QString path = dir + QStringLiteral("/chunked-1.mp3");
        if (!writeNarration(samples, roomTone, path, alone, &aloneTime)) {
            return 1;
        }
        QFile x(chunked);
        QFile y(path);
        const bool same = x.open(QIODevice::ReadOnly) && y.open(QIODevice::ReadOnly) &&
                          x.readAll() == y.readAll();
        std::printf("chunked, 1 thread:       %7.2f s wall, %7.2f s CPU; bytes %s\n",
                    aloneTime.wall, aloneTime.cpu, same ? "identical" : "DIFFER");
    }

    for (const QString& mp3 : {single, chunked}) {
        QByteArray ffmpegMessages;
        QByteArray lameMessages;
        const QString raw = mp3 + QStringLiteral(".raw");
        const QString wav = mp3 + QStringLiteral(".wav");
        const bool ffmpeg =
            decodeTo({QStringLiteral("ffmpeg"), QStringLiteral("-v"), QStringLiteral("error"),
                      QStringLiteral("-i"), mp3, QStringLiteral("-f"), QStringLiteral("s16le"),
                      QStringLiteral("-")},
                     raw, &ffmpegMessages);
        const bool lame = decodeTo({QStringLiteral("lame"), QStringLiteral("--quiet"),
                                    QStringLiteral("--decode"), mp3, QStringLiteral("-")},
                                   wav, &lameMessages);
        std::printf("%s: %lld bytes; ffmpeg %lld samples%s, lame --decode %lld samples\n",
                    qPrintable(QFileInfo(mp3).fileName()),
                    static_cast<long long>(QFile(mp3).size()),
                    static_cast<long long>(ffmpeg ? samplesIn(raw, 0) : -1),
                    ffmpegMessages.isEmpty() ? "" : qPrintable(" (said: " + ffmpegMessages + ")"),
                    static_cast<long long>(lame ? samplesIn(wav, 44) : -1));
        QFile::remove(wav);
    }
    seamFigures(single + QStringLiteral(".raw"), chunked + QStringLiteral(".raw"), samples,
                roomTone, seams.frames);
    return 0;
}

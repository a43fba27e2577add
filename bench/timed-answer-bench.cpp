// Times the reading of a with-timestamps answer of a two-minute clip: JSON, base64 and the
// alignment's checks (target: under 10 ms), beside base64 decoding alone, for a PCM answer at
// 44.1 kHz and an MP3 answer at 128 kbit/s.
#include "synthesis/timed_answer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSeconds = 120;
constexpr int kRuns = 20;

QByteArray answerBody(const QByteArray& audio) {
    // Speech runs at about fifteen characters a second.
    const int characters = 15 * kSeconds;
    QJsonArray text;
    QJsonArray starts;
    QJsonArray ends;
    for (int c = 0; c < characters; ++c) {
        text.append(c % 6 == 5 ? QStringLiteral(" ") : QStringLiteral("a"));
        starts.append(double(c) / 15.0);
        ends.append(double(c + 1) / 15.0);
    }
    const QJsonObject alignment{{QStringLiteral("characters"), text},
                                {QStringLiteral("character_start_times_seconds"), starts},
                                {QStringLiteral("character_end_times_seconds"), ends}};
    return QJsonDocument(
               QJsonObject{{QStringLiteral("audio_base64"), QString::fromLatin1(audio.toBase64())},
                           {QStringLiteral("alignment"), alignment},
                           {QStringLiteral("normalized_alignment"), alignment}})
        .toJson(QJsonDocument::Compact);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool bench(const char* name, int audioBytes) {
    QByteArray audio(audioBytes, '\0');
    for (int i = 0; i < audioBytes; ++i) {
        audio[i] = char((unsigned(i) * 7919u) >> 3);
    }
    const QByteArray body = answerBody(audio);
    const QByteArray encoded = audio.toBase64();
    std::vector<double> parseMs;
    std::vector<double> decodeMs;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer timer;
        timer.start();
        QString error;
        const std::optional<lyrane::TimedAnswer> answer = lyrane::parseTimedAnswer(body, &error);
        parseMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (!answer || answer->audio != audio) {
            std::fprintf(stderr, "bench: the answer did not read back: %s\n", qPrintable(error));
            return false;
        }
        timer.restart();
        const QByteArray::FromBase64Result decoded =
            QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
        decodeMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (!decoded) {
            return false;
        }
    }
    std::printf("%-14s %2d s: %5.1f MB of JSON; whole answer median %6.2f ms (min %6.2f), "
                "base64 alone %6.2f ms\n",
                name, kSeconds, double(body.size()) / 1e6, median(parseMs),
                *std::min_element(parseMs.begin(), parseMs.end()), median(decodeMs));
    return true;
}

} // namespace

int main() {
    const bool done = bench("mp3_44100_128", 128000 / 8 * kSeconds) &&
                      bench("pcm_24000", 24000 * 2 * kSeconds) &&
                      bench("pcm_44100", 44100 * 2 * kSeconds);
    return done ? 0 : 1;
}

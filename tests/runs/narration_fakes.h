#pragma once

// A speech service of the tests' own, with no network and no key, and the cues the narration
// tests speak.

#include "cache/aws_runner.h"
#include "runs/narration_input.h"
#include "synthesis/speech_service.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cmath>
#include <functional>

namespace lyrane::test {

// Answers each text with `msPerCharacter` of a tone a character, so that the timeline has
// something to measure; refuses the request numbered `refuseRequest` (from 1) and any text
// that holds `refusedText`.
class FakeSpeech final : public SpeechService {
public:
    void synthesize(const TtsRequest& request, QObject* context,
                    std::function<void(const SynthesisResult&)> done) override {
        ++requests;
        SynthesisResult result;
        if (requests == refuseRequest ||
            (!refusedText.isEmpty() && request.text.contains(refusedText))) {
            result.error = QStringLiteral("voice refused");
            result.httpStatus = 400;
        } else {
            result.audio = toneFor(request.text);
            result.characterCost = request.text.size();
            result.requestId = QStringLiteral("request-%1").arg(requests);
        }
        postToEventLoop(context, [done, result] { done(result); });
        if (onRequest) {
            onRequest();
        }
    }

    int requests = 0;
    int refuseRequest = 0; // from 1; 0: none
    QString refusedText;
    int msPerCharacter = 60;
    std::function<void()> onRequest;

private:
    QByteArray toneFor(const QString& text) const {
        const qsizetype samples = qsizetype(text.size()) * 44100 * msPerCharacter / 1000;
        QByteArray pcm(samples * 2, Qt::Uninitialized);
        for (qsizetype i = 0; i < samples; ++i) {
            const auto value = qint16(8000.0 * std::sin(double(i) * 0.05));
            pcm[2 * i] = char(value & 0xff);
            pcm[2 * i + 1] = char((value >> 8) & 0xff);
        }
        return pcm;
    }
};

// One cue a text, every 3 s, each 2.5 s long.
inline void addCuesEvery3s(NarrationInput& input, const QStringList& texts) {
    for (int i = 0; i < texts.size(); ++i) {
        input.cues.append({qint64(i) * 3000, qint64(i) * 3000 + 2500, texts[i], QString()});
    }
    input.count = int(input.cues.size());
}

} // namespace lyrane::test

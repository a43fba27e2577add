#include "speech_engine.h"

#include <QObject>

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lyrane {

namespace {

// Fixed-layout messages between the engine and its helper process (same machine, same build).
struct SpeakRequest {
    qint32 rate = 0;
    qint32 pitch = 0;
    qint32 range = 0;
    qint32 volume = 0;
    quint32 voiceBytes = 0;
    quint32 fallbackBytes = 0;
    quint32 textBytes = 0;
};

struct SpeakReply {
    qint32 failed = 0; // 0: `size` samples follow; otherwise `size` bytes of UTF-8 message
    quint32 size = 0;
    quint32 marks = 0; // after the samples: this many SpeakMark
};

// One espeak-ng event the service reports: a word (position from 1, length) or a clause's end
// (length -1), at a time in milliseconds.
struct SpeakMark {
    qint32 position = 0;
    qint32 length = 0;
    qint32 milliseconds = 0;
};

struct Utterance {
    std::vector<short> samples;
    std::vector<SpeakMark> marks;
};

constexpr quint32 kMaxVoiceBytes = 256;
constexpr quint32 kMaxTextBytes = 4u << 20;
constexpr quint32 kMaxSamples = 1u << 30;
constexpr quint32 kMaxMessageBytes = 4096;

bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        // MSG_NOSIGNAL: a helper that died must give an error here, not kill the service.
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool readAll(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool replyFailure(int fd, const std::string& message) {
    SpeakReply reply;
    reply.failed = 1;
    reply.size = static_cast<quint32>(message.size());
    return writeAll(fd, &reply, sizeof reply) && writeAll(fd, message.data(), message.size());
}

int collectSamples(short* wav, int count, espeak_EVENT* events) {
    auto* utterance = static_cast<Utterance*>(events->user_data);
    if (utterance == nullptr)
        return 0;
    if (wav != nullptr && count > 0)
        utterance->samples.insert(utterance->samples.end(), wav, wav + count);
    for (const espeak_EVENT* event = events; event->type != espeakEVENT_LIST_TERMINATED; ++event) {
        if (event->type == espeakEVENT_WORD)
            utterance->marks.push_back(
                {event->text_position, event->length, event->audio_position});
        else if (event->type == espeakEVENT_END)
            utterance->marks.push_back({event->text_position, -1, event->audio_position});
    }
    return 0;
}

// Runs in a fresh fork of the helper: speaks once and answers. Every parameter is set here, so
// nothing depends on what the helper did before.
bool speakAndReply(int fd, const SpeakRequest& request, const std::string& voice,
                   const std::string& fallback, const std::string& text) {
    if (espeak_SetVoiceByName(voice.c_str()) != EE_OK &&
        (fallback.empty() || espeak_SetVoiceByName(fallback.c_str()) != EE_OK))
        return replyFailure(fd, "unknown espeak-ng voice " + voice);
    espeak_SetParameter(espeakRATE, request.rate, 0);
    espeak_SetParameter(espeakVOLUME, request.volume, 0);
    espeak_SetParameter(espeakPITCH, request.pitch, 0);
    espeak_SetParameter(espeakRANGE, request.range, 0);
    espeak_SetParameter(espeakPUNCTUATION, espeakPUNCT_NONE, 0);
    espeak_SetParameter(espeakCAPITALS, 0, 0);
    espeak_SetParameter(espeakWORDGAP, 0, 0);

    Utterance utterance;
    if (espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                     &utterance) != EE_OK) {
        return replyFailure(fd, "espeak-ng could not speak the text");
    }
    const std::vector<short>& samples = utterance.samples;
    if (samples.size() > kMaxSamples || utterance.marks.size() > kMaxTextBytes)
        return replyFailure(fd, "the utterance is too long");

    SpeakReply reply;
    reply.size = static_cast<quint32>(samples.size());
    reply.marks = static_cast<quint32>(utterance.marks.size());
    return writeAll(fd, &reply, sizeof reply) &&
           writeAll(fd, samples.data(), samples.size() * sizeof(short)) &&
           writeAll(fd, utterance.marks.data(), utterance.marks.size() * sizeof(SpeakMark));
}

[[noreturn]] void runHelper(int fd) {
    // The service may die without closing the socket properly; do not outlive it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);

    const int rate =
        espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
    if (rate != SpeechEngine::kSampleRate) {
        replyFailure(fd, rate < 0 ? std::string("espeak-ng could not be initialised")
                                  : "espeak-ng speaks at an unexpected rate of " +
                                        std::to_string(rate) + " Hz");
        ::_exit(1);
    }
    espeak_SetSynthCallback(collectSamples);
    const SpeakReply ready;
    if (!writeAll(fd, &ready, sizeof ready))
        ::_exit(1);

    for (;;) {
        SpeakRequest request;
        if (!readAll(fd, &request, sizeof request))
            ::_exit(0); // the service closed the socket: normal shutdown
        if (request.voiceBytes > kMaxVoiceBytes || request.fallbackBytes > kMaxVoiceBytes ||
            request.textBytes > kMaxTextBytes)
            ::_exit(1);
        std::string voice(request.voiceBytes, '\0');
        std::string fallback(request.fallbackBytes, '\0');
        std::string text(request.textBytes, '\0');
        if (!readAll(fd, voice.data(), voice.size()) ||
            !readAll(fd, fallback.data(), fallback.size()) ||
            !readAll(fd, text.data(), text.size()))
            ::_exit(0);

        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(speakAndReply(fd, request, voice, fallback, text) ? 0 : 1);
        if (child < 0) {
            if (!replyFailure(fd, std::string("could not start a speech process: ") +
                                      std::strerror(errno)))
                ::_exit(1);
            continue;
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        // A child that answered exits with 0; otherwise it died before answering.
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0) &&
            !replyFailure(fd, "the speech process failed"))
            ::_exit(1);
    }
}

} // namespace

SpeechEngine::~SpeechEngine() {
    stop();
}

bool SpeechEngine::start(QString* error) {
    std::lock_guard<std::mutex> lock(mutex);
    if (socketFd >= 0)
        return true;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        if (error)
            *error = QObject::tr("could not create the speech engine socket: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int savedErrno = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        if (error)
            *error = QObject::tr("could not start the speech engine: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(savedErrno)));
        return false;
    }
    if (pid == 0) {
        ::close(fds[0]);
        runHelper(fds[1]);
    }
    ::close(fds[1]);
    socketFd = fds[0];
    helperPid = pid;

    SpeakReply ready;
    if (!readAll(socketFd, &ready, sizeof ready) || ready.failed != 0) {
        QString message = QObject::tr("the speech engine stopped during start-up");
        if (ready.failed != 0 && ready.size <= kMaxMessageBytes) {
            QByteArray text(static_cast<int>(ready.size), '\0');
            if (readAll(socketFd, text.data(), ready.size))
                message = QString::fromUtf8(text);
        }
        if (error)
            *error = message;
        ::close(socketFd);
        socketFd = -1;
        while (::waitpid(helperPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        helperPid = -1;
        return false;
    }
    return true;
}

void SpeechEngine::stop() {
    std::lock_guard<std::mutex> lock(mutex);
    if (socketFd >= 0) {
        ::close(socketFd); // the helper sees end of file and exits
        socketFd = -1;
    }
    if (helperPid > 0) {
        while (::waitpid(helperPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        helperPid = -1;
    }
}

std::optional<AudioBuffer> SpeechEngine::synthesize(const QString& text, const VoiceProfile& voice,
                                                    double speed, QString* error) {
    std::optional<SpokenText> spoken = speak(text, voice, speed, error);
    if (!spoken)
        return std::nullopt;
    return std::move(spoken->audio);
}

std::optional<SpokenText> SpeechEngine::speak(const QString& text, const VoiceProfile& voice,
                                              double speed, QString* error) {
    const auto fail = [error](const QString& message) -> std::optional<SpokenText> {
        if (error)
            *error = message;
        return std::nullopt;
    };
    if (!(speed > 0.0) || !std::isfinite(speed))
        return fail(QObject::tr("invalid speaking speed %1").arg(speed));
    const QByteArray textBytes = text.toUtf8();
    if (static_cast<quint32>(textBytes.size()) > kMaxTextBytes)
        return fail(QObject::tr("the text is too long"));
    if (voice.espeakName.isEmpty() ||
        static_cast<quint32>(voice.espeakName.size()) > kMaxVoiceBytes ||
        static_cast<quint32>(voice.fallbackName.size()) > kMaxVoiceBytes)
        return fail(QObject::tr("invalid espeak-ng voice name"));

    SpeakRequest request;
    request.rate = static_cast<qint32>(std::clamp(
        std::lround(kNormalRate * speed), long(espeakRATE_MINIMUM), long(espeakRATE_MAXIMUM)));
    request.pitch = std::clamp(voice.pitch, 0, 100);
    request.range = std::clamp(voice.range, 0, 100);
    request.volume = std::clamp(voice.volume, 0, 200);
    request.voiceBytes = static_cast<quint32>(voice.espeakName.size());
    request.fallbackBytes = static_cast<quint32>(voice.fallbackName.size());
    request.textBytes = static_cast<quint32>(textBytes.size());

    std::lock_guard<std::mutex> lock(mutex);
    if (socketFd < 0)
        return fail(QObject::tr("the speech engine is not running"));
    // After a broken exchange the stream cannot be trusted any more: give up on the helper.
    const auto broken = [this, &fail]() {
        ::close(socketFd);
        socketFd = -1;
        return fail(QObject::tr("the speech engine stopped unexpectedly"));
    };
    SpeakReply reply;
    if (!writeAll(socketFd, &request, sizeof request) ||
        !writeAll(socketFd, voice.espeakName.constData(), request.voiceBytes) ||
        !writeAll(socketFd, voice.fallbackName.constData(), request.fallbackBytes) ||
        !writeAll(socketFd, textBytes.constData(), request.textBytes) ||
        !readAll(socketFd, &reply, sizeof reply)) {
        return broken();
    }
    if (reply.failed != 0) {
        if (reply.size > kMaxMessageBytes)
            return broken();
        QByteArray message(static_cast<int>(reply.size), '\0');
        if (!readAll(socketFd, message.data(), reply.size))
            return broken();
        return fail(QObject::tr("speech synthesis failed: %1").arg(QString::fromUtf8(message)));
    }
    if (reply.size > kMaxSamples || reply.marks > kMaxTextBytes)
        return broken();
    std::vector<short> samples(reply.size);
    std::vector<SpeakMark> marks(reply.marks);
    if (!readAll(socketFd, samples.data(), samples.size() * sizeof(short)) ||
        !readAll(socketFd, marks.data(), marks.size() * sizeof(SpeakMark)))
        return broken();

    SpokenText spoken;
    AudioBuffer& buffer = spoken.audio;
    buffer.sampleRate = kSampleRate;
    buffer.samples.reserve(static_cast<qsizetype>(samples.size()));
    for (const short value : samples)
        buffer.samples.append(fromPcm16(value));
    for (const SpeakMark& mark : marks) {
        const double seconds = mark.milliseconds / 1000.0;
        if (mark.length < 0)
            spoken.clauseEnds.push_back(seconds);
        else if (mark.position > 0)
            spoken.words.push_back({mark.position - 1, mark.length, seconds});
    }
    return spoken;
}

} // namespace lyrane

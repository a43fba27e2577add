#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

// How the service's answer for a format is laid out.
enum class AudioKind {
    Pcm, // headerless signed 16-bit little-endian mono samples
    Wav, // a RIFF/WAVE file holding such samples
    Mp3, // an MP3 stream
};

// One of the service's output formats that lyrane can store and decode.
struct ServiceOutputFormat {
    QString name; // as the user gave it; sent to the service unchanged
    AudioKind kind = AudioKind::Pcm;
    int sampleRate = 0;
    int bitRateKbps = 0; // MP3 only; 0 for the bare "mp3_44100", which leaves it to the service

    // The cache file's extension: ".mp3" for MP3, ".wav" for PCM and WAV, which are both
    // stored as WAV files.
    QString cacheExtension() const;
};

// The format for a `--format` value, letter case ignored; nullopt for anything the service
// does not offer or lyrane cannot store (ulaw, alaw, opus, unknown rates).
std::optional<ServiceOutputFormat> parseOutputFormat(const QString& name);

// How a format name is asked for and stored, also for a name parseOutputFormat refuses (a
// request built by a tool or a test): that format when it is accepted, else MP3 for a name
// starting with "mp3" and PCM at 44100 Hz for any other, letter case ignored.
ServiceOutputFormat storedOutputFormat(const QString& name);
bool outputFormatIsMp3(const QString& name);

// Every accepted name in lower case, PCM first, then WAV, then MP3.
QStringList acceptedOutputFormatNames();

// The refusal of an unaccepted `--format` value, with its line end.
QString outputFormatRefusal();

// Why an answer does not hold what was asked.
enum class AnswerFault {
    OddPcmLength,      // PCM (or WAV data) that is not a whole number of 16-bit samples
    UnreadableWav,     // not a RIFF/WAVE file, or its chunks are cut short
    WavFormatMismatch, // a WAV of another encoding, channel count, bit depth or rate
    UndecodableMp3,    // an MP3 stream that does not decode to its end, or holds no audio
    TooLongForWav,     // more samples than a WAV file's 32-bit sizes can describe
};

// The checked answer: the bytes of the cache file, or why the answer was refused.
struct CheckedAnswer {
    std::optional<QByteArray> cacheBytes;            // engaged when the answer holds what was asked
    AnswerFault fault = AnswerFault::UndecodableMp3; // meaningful only when cacheBytes is empty
    QString error;                                   // for the user, when cacheBytes is empty
    double seconds = 0;                              // the audio's length, when accepted
};

// Checks the service's answer against the format asked for and gives the bytes to cache.
// PCM and WAV answers both become the 44-byte-header mono 16-bit WAV file that the clip
// writer makes of raw PCM at that rate (samples through its 16-bit conversion), so a WAV
// answer and a PCM answer of the same sound cache the same bytes. MP3 answers are decoded
// in full and stored unchanged, whatever their rate and channel count: the timeline resamples
// and down-mixes them. An empty answer is the silent clip of a blank text: an empty WAV file,
// or an empty MP3 file.
CheckedAnswer checkServiceAnswer(const ServiceOutputFormat& format, const QByteArray& answer);

} // namespace lyrane

#pragma once

#include "audio/audio_buffer.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace lyrane {

// Receives 16-bit samples in order; returns false to stop.
using Pcm16Sink = std::function<bool(const qint16* samples, qint64 count)>;

// Reads the first channel of a 16-bit PCM WAV file.
std::optional<AudioBuffer> readWav(const QString& path, QString* error);
// Writes a mono 16-bit WAV file, replacing the target only once it is whole.
bool writeWav(const AudioBuffer& buffer, const QString& path, QString* error);
bool writePcm16MonoAsWav(const QByteArray& data, int sampleRate, const QString& path,
                         QString* error);

// Early versions cached raw 16-bit mono PCM under a .wav name, without a header. Reading such a
// clip never writes it; the cache's upgrade step is the one place that rewrites it as WAV.
std::optional<QByteArray> readLegacyPcmFile(const QString& path, QString* error);
// A legacy clip's bytes as the samples of the WAV file its upgrade writes (each value through
// the 16-bit conversion), so a clip sounds the same before and after its upgrade.
std::optional<AudioBuffer> decodeLegacyPcm(const QByteArray& bytes, int sampleRate, QString* error);
// Why a legacy clip could not be decoded or upgraded: what its header lacks, then `reason`.
QString legacyPcmConversionError(const QByteArray& bytes, const QString& reason);

// Builds the 44-byte header; false if the data would not fit 32-bit sizes.
bool makeWavHeader(qint64 sampleCount, int sampleRate, QByteArray* header, QString* error);
// The bytes writePcm16MonoAsWav writes for even-length 16-bit mono PCM: the 44-byte header, then
// each sample through the 16-bit conversion. Fails as makeWavHeader does.
std::optional<QByteArray> pcm16MonoWavBytes(const QByteArray& pcm, int sampleRate, QString* error);

// Streams a WAV file of sampleCount samples: produce hands every sample to the sink it is
// given. The target is replaced only once the file is whole.
bool writeWavFile(qint64 sampleCount, int sampleRate, const QString& path,
                  const std::function<bool(const Pcm16Sink&)>& produce, QString* error);

// What a WAV header declares about its data.
struct WavLayout {
    qint32 sampleRate = 0;
    quint16 channels = 0;
    quint32 dataSize = 0; // as declared; the file may hold less
};

// Opens the file, checks the header and finds the data chunk, leaving the file at its first
// byte. *notWave is set when the file is not RIFF/WAVE at all.
bool readWavHeader(QFile& file, const QString& path, WavLayout* layout, QString* error,
                   bool* notWave = nullptr);

// Checks a WAV file as a stored clip must be: a header readWavHeader accepts and a data chunk
// the file holds whole.
bool checkWholeWavFile(const QString& path, QString* error);

// Whether a file under a WAV name is a headerless clip of an early version: nothing in it looks
// like a WAV header, neither "WAVE" after the RIFF size (nor a RIFF header cut before it) nor a
// "fmt " chunk. A file that cannot be opened is none.
bool isHeaderlessPcmFile(const QString& path);

// The encoding number of plain integer PCM in a WAV format chunk.
constexpr quint16 kWavePcmEncoding = 1;

// A RIFF/WAVE file held in memory.
struct WavContents {
    quint16 encoding = 0; // an extensible format chunk's sub-format
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    QByteArray data; // the data chunk's bytes; all that follow its header when its size is unknown
};

// Why bytes are not a readable RIFF/WAVE file.
enum class WavFault {
    NotWav,           // no RIFF/WAVE header
    FormatCutShort,   // a format chunk shorter than 16 bytes, or longer than what follows it
    DataBeforeFormat, // the data chunk comes before any format chunk
    DataCutShort,     // the data chunk declares more bytes than follow it
    NoDataChunk,
    NoFormatChunk,
};

struct ParsedWav {
    std::optional<WavContents> wav;
    WavFault fault = WavFault::NotWav; // meaningful only when wav is empty
    qint64 heldBytes = 0;              // DataCutShort: the bytes the data chunk holds
    quint32 declaredBytes = 0;         // DataCutShort: the bytes it declares
};

// Parses a whole RIFF/WAVE file held in memory, with the same walk over its chunks as
// readWavHeader.
ParsedWav parseWavBytes(const QByteArray& bytes);

} // namespace lyrane

// libFuzzer target: subtitle text of any shape through both parsers, bytes of any shape through
// the file reader (decoding and encoding detection included), and any text through the caption
// writer, which lyrane must read back as written.

#include "fuzz_input_file.h"
#include "subtitles/caption_writer.h"
#include "subtitles/cue.h"
#include "subtitles/subtitle_file.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace {

// A failure must say why.
void checkOutcome(const std::optional<lyrane::SubtitleFile>& file, const QString& error) {
    if (!file && error.isEmpty()) {
        __builtin_trap();
    }
}

// What the reader makes of a text written as a caption: its lines trimmed, blank ones dropped,
// the rest joined with spaces.
QString asReadBack(QString text) {
    QStringList lines;
    for (const QString& line :
         text.replace(QLatin1Char('\r'), QLatin1Char('\n')).split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty()) {
            lines << line.trimmed();
        }
    }
    return lines.join(QLatin1Char(' '));
}

void checkCaptionReadsBack(const QString& text) {
    const QString expected = asReadBack(text);
    if (expected.isEmpty()) {
        return;
    }
    const QString speaker = QStringLiteral("Anna <&> {\\an8}");
    for (const auto format : {lyrane::CaptionFormat::WebVtt, lyrane::CaptionFormat::Srt}) {
        const bool srt = format == lyrane::CaptionFormat::Srt;
        const QString written =
            (srt ? QString() : QStringLiteral("WEBVTT\n\n")) +
            lyrane::captionCueText({0, 1000, QStringLiteral("Before."), {}, {}}, format, 1) +
            lyrane::captionCueText({1000, 2000, text, speaker, {}}, format, 2) +
            lyrane::captionCueText({2000, 3000, QStringLiteral("After."), {}, {}}, format, 3);
        QString error;
        const std::optional<lyrane::SubtitleFile> read = lyrane::parseSubtitleContent(
            written, srt ? lyrane::SubtitleFormat::Srt : lyrane::SubtitleFormat::WebVtt, &error);
        if (!read || read->cues.size() != 3 || read->cues[1].text != expected ||
            read->cues[1].speaker != (srt ? QString() : speaker) ||
            read->cues[2].text != QLatin1String("After.")) {
            __builtin_trap();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString content =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString error;
    const auto cues = lyrane::parseSubtitleContent(content, lyrane::SubtitleFormat::WebVtt, &error);
    if (!cues && error.isEmpty()) {
        __builtin_trap();
    }
    error.clear();
    checkOutcome(lyrane::parseSubtitleContent(content, lyrane::SubtitleFormat::Srt, &error), error);

    const QString path = lyrane::fuzz::writeInputFile(data, size, size % 2 ? "srt" : "vtt");
    error.clear();
    const std::optional<lyrane::SubtitleFile> file =
        lyrane::readSubtitleFile(path, QString(), &error);
    checkOutcome(file, error);
    for (const lyrane::Cue& cue : file ? file->cues : QList<lyrane::Cue>()) {
        if (!cue.text.isValidUtf16()) {
            __builtin_trap(); // no unpaired surrogate reaches the service
        }
    }

    checkCaptionReadsBack(content);
    return 0;
}

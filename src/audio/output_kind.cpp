#include "audio/output_kind.h"

#include <QFileInfo>

namespace lyrane {

namespace {

bool endsWithIgnoringCase(const QString& text, const char* suffix) {
    return text.endsWith(QLatin1String(suffix), Qt::CaseInsensitive);
}

} // namespace

bool isMp3OutputPath(const QString& path) {
    return endsWithIgnoringCase(path, ".mp3");
}

QString narrationOutputPath(const QString& path) {
    if (isMp3OutputPath(path) || endsWithIgnoringCase(path, ".wav")) {
        return path;
    }
    return path + QStringLiteral(".wav");
}

std::optional<MixedOutputKind> mixedOutputKindForPath(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("wav")) {
        return MixedOutputKind::Wav;
    }
    if (suffix == QLatin1String("mp3")) {
        return MixedOutputKind::Mp3;
    }
    if (suffix == QLatin1String("m4a")) {
        return MixedOutputKind::M4a;
    }
    if (isVideoOutputPath(path)) {
        return MixedOutputKind::Video;
    }
    return std::nullopt;
}

bool isVideoOutputPath(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("mp4") || suffix == QLatin1String("mov") ||
           suffix == QLatin1String("mkv");
}

QString mixedOutputPath(const QString& path) {
    return mixedOutputKindForPath(path) ? path : path + QStringLiteral(".wav");
}

} // namespace lyrane

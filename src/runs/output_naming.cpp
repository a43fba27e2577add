#include "runs/output_naming.h"

#include <QDir>
#include <QFileInfo>

namespace lyrane {

namespace {
bool endsWithIgnoringCase(const QString& text, const char* suffix) {
    return text.endsWith(QLatin1String(suffix), Qt::CaseInsensitive);
}
} // namespace

OutputTarget outputTarget(const QString& outputOption) {
    if (endsWithIgnoringCase(outputOption, ".mp3")) {
        return {outputOption, true};
    }
    if (endsWithIgnoringCase(outputOption, ".wav")) {
        return {outputOption, false};
    }
    return {outputOption + QStringLiteral(".wav"), false};
}

QString batchOutputPath(const QString& inputFile, const QString& outputOption) {
    const QString extension = endsWithIgnoringCase(outputOption, ".mp3") ? QStringLiteral(".mp3")
                                                                         : QStringLiteral(".wav");
    const QFileInfo input(inputFile);
    QString output = input.dir().filePath(input.completeBaseName() + extension);
    if (QFileInfo(output) == input) {
        output = inputFile + extension; // never overwrite the subtitles themselves
    }
    return output;
}

} // namespace lyrane

#include "runs/output_naming.h"

#include "audio/output_kind.h"

#include <QDir>
#include <QFileInfo>

namespace lyrane {

OutputTarget outputTarget(const QString& outputOption) {
    return {narrationOutputPath(outputOption), isMp3OutputPath(outputOption)};
}

QString batchOutputPath(const QString& inputFile, const QString& outputOption) {
    const QString extension =
        isMp3OutputPath(outputOption) ? QStringLiteral(".mp3") : QStringLiteral(".wav");
    const QFileInfo input(inputFile);
    QString output = input.dir().filePath(input.completeBaseName() + extension);
    if (QFileInfo(output) == input) {
        output = inputFile + extension; // never overwrite the subtitles themselves
    }
    return output;
}

} // namespace lyrane

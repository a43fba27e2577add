#include "cli/application.h"

#include "runs/single_text_run.h"
#include "runs/subtitle_run.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

extern "C" {
#include <libavutil/log.h>
}

namespace lyrane {

void configureApplication() {
    QCoreApplication::setApplicationName(QStringLiteral("lyrane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LYRANE_VERSION));
    // Decoding problems reach the user as lyrane's own messages; the library's console
    // chatter would only interleave with the progress lines.
    av_log_set_level(AV_LOG_QUIET);

    const QDir programDir(QCoreApplication::applicationDirPath());
    QStringList libraryPaths = QCoreApplication::libraryPaths();
    for (const char* relative : {"../lib/qt6/plugins", "../plugins"}) {
        const QString candidate = QDir::cleanPath(programDir.filePath(QLatin1String(relative)));
        if (QFileInfo(candidate).isDir() && !libraryPaths.contains(candidate)) {
            QCoreApplication::addLibraryPath(candidate);
            libraryPaths.append(candidate);
        }
    }
}

int dispatchRun(const Config& config) {
    if (!config.vttFile.isEmpty()) {
        return runSubtitleFile(config);
    }
    if (!config.sayText.isEmpty() || !config.textFile.isEmpty()) {
        return runSingleText(config);
    }
    return runBatch(config);
}

} // namespace lyrane

#include "cli/application.h"

#include "runs/batch_run.h"
#include "runs/console.h"
#include "runs/report_merge.h"
#include "runs/single_text_run.h"
#include "runs/subtitle_run.h"
#include "runs/voice_listing.h"
#include "serve/serve_run.h"

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

int dispatchRun(const RunConfiguration& config) {
    switch (config.mode) {
    case RunMode::PrintCacheDirectory:
        printOutput(config.cacheDirectory + QLatin1Char('\n'));
        return 0;
    case RunMode::ListVoices:
        return listAccountVoices(config);
    case RunMode::ListDictionaries:
        return listAccountDictionaries(config);
    case RunMode::SingleText:
        return runSingleText(config, standardRunContext());
    case RunMode::Batch:
        return runBatch(config, standardRunContext());
    case RunMode::Subtitles:
        return config.servePort ? serveLiveReview(config, standardRunContext())
                                : runSubtitleFile(config, standardRunContext());
    case RunMode::MergeReports:
        return mergeRunReports(config);
    }
    return 1;
}

} // namespace lyrane

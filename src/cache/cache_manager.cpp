#include "cache/cache_manager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace lyrane {

CacheManager::CacheManager(const QString& cacheDir, Directory directory) : cacheDir(cacheDir) {
    // A directory that cannot be created shows up as a failure of the first write.
    if (directory == Directory::Create) {
        QDir().mkpath(cacheDir);
    }
}

QString CacheManager::getCachePath(const QString& key, const QString& extension) const {
    return cacheDir + QLatin1Char('/') + key + extension;
}

int CacheManager::removeStaleTemporaries(const QDateTime& olderThan) const {
    // A clip (or a part of a joined clip, or an alignment) is named by its 32-digit key and
    // extension; temporaries add a suffix of six.
    static const QRegularExpression temporary(
        QStringLiteral("^[0-9a-f]{32}(?:\\.part-[0-9]+of[0-9]+)?"
                       "\\.(?:wav|mp3|align\\.json)\\.(?:s3-)?[A-Za-z0-9]{6}$"));
    int removed = 0;
    const QFileInfoList entries =
        QDir(cacheDir).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (temporary.match(entry.fileName()).hasMatch() && entry.lastModified() < olderThan &&
            QFile::remove(entry.filePath())) {
            ++removed;
        }
    }
    return removed;
}

} // namespace lyrane

#include "cache/cache_manager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>
#include <QSaveFile>

namespace lyrane {

namespace {

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

} // namespace

CacheManager::CacheManager(const QString& cacheDir, Directory directory) : cacheDir(cacheDir) {
    // A directory that cannot be created shows up as a failure of the first write.
    if (directory == Directory::Create) {
        QDir().mkpath(cacheDir);
    }
}

QString CacheManager::getCachePath(const QString& key, const QString& extension) const {
    return cacheDir + QLatin1Char('/') + key + extension;
}

bool CacheManager::exists(const QString& key, const QString& extension) const {
    return QFileInfo::exists(getCachePath(key, extension));
}

std::optional<QByteArray> CacheManager::read(const QString& key, const QString& extension,
                                             QString* error) const {
    const QString path = getCachePath(key, extension);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error,
                 QObject::tr("failed to read cached file %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        setError(error,
                 QObject::tr("failed to read cached file %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    return data;
}

bool CacheManager::write(const QString& key, const QString& extension, const QByteArray& data,
                         QString* error) const {
    const QString path = getCachePath(key, extension);
    // Written beside the target and renamed over it on commit; an unfinished write is
    // discarded with the object, so a clip file is always whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error,
                 QObject::tr("failed to write cache file %1: %2").arg(path, file.errorString()));
        return false;
    }
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        setError(error, QObject::tr("failed to write all data to cache file %1").arg(path));
        return false;
    }
    if (!file.commit()) {
        setError(error,
                 QObject::tr("failed to write cache file %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

int CacheManager::removeStaleTemporaries(const QDateTime& olderThan) const {
    // A clip is named by its 32-digit key and extension; temporaries add a suffix of six.
    static const QRegularExpression temporary(
        QStringLiteral("^[0-9a-f]{32}\\.(?:wav|mp3)\\.(?:s3-)?[A-Za-z0-9]{6}$"));
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

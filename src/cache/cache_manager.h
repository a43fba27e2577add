#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace lyrane {

// Content-addressed clip store: one file per clip, named by the MD5 content key.
class CacheManager {
public:
    explicit CacheManager(const QString& cacheDir);

    QString calculateChecksum(const QString& text, const QString& previousText,
                              const QString& nextText, const QString& voiceId, double speed) const;
    QString getCachePath(const QString& key, const QString& extension) const;
    bool exists(const QString& key, const QString& extension) const;
    std::optional<QByteArray> read(const QString& key, const QString& extension,
                                   QString* error) const;
    // Written to a temporary file and renamed into place, so a clip is whole or absent.
    bool write(const QString& key, const QString& extension, const QByteArray& data,
               QString* error) const;
    QString directory() const { return cacheDir; }

private:
    QString cacheDir;
};

} // namespace lyrane

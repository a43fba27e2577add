#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace lyrane {

// Content-addressed clip store: one file per clip, named by an opaque key (the synthesis
// layer's content key) and its extension.
class CacheManager {
public:
    // LookOnly leaves a missing directory missing: for naming and finding clips without a run.
    enum class Directory { Create, LookOnly };
    explicit CacheManager(const QString& cacheDir, Directory directory = Directory::Create);

    QString getCachePath(const QString& key, const QString& extension) const;
    QString directory() const { return cacheDir; }

    // Removes what interrupted runs left beside the clips: downloads from the mirror
    // ("<clip>.s3-XXXXXX") and unfinished writes ("<clip>.XXXXXX") last changed before
    // `olderThan`; younger ones may belong to a run still going. Returns how many went.
    int removeStaleTemporaries(const QDateTime& olderThan) const;

private:
    QString cacheDir;
};

} // namespace lyrane

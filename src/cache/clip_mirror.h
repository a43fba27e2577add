#pragma once

#include <QString>

#include <functional>

class QObject;

namespace lyrane {

// A shared copy of the clip cache, asked asynchronously. Each operation calls `done` once,
// from the event loop; ending `context` ends the operation and drops the callback.
class ClipMirror {
public:
    virtual ~ClipMirror() = default;

    virtual QString objectKey(const QString& key, const QString& extension) const = 0;
    // `found` is false when the mirror answered that the object is absent.
    virtual void
    existsAsync(const QString& objectKey, QObject* context,
                std::function<void(bool ok, bool found, const QString& error)> done) const = 0;
    // Fetches the object to `localPath` when it exists; the file appears whole or not at all.
    virtual void downloadIfExistsAsync(
        const QString& objectKey, const QString& localPath, QObject* context,
        std::function<void(bool ok, bool downloaded, const QString& error)> done) const = 0;
    virtual void uploadFileAsync(const QString& objectKey, const QString& localPath,
                                 const QString& contentType, QObject* context,
                                 std::function<void(bool ok, const QString& error)> done) const = 0;
};

} // namespace lyrane

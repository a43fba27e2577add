#pragma once

// The readers under test take a path: each input is written to one scratch file per process
// first, named with the suffix the reader dispatches on.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <unistd.h>

namespace lyrane::fuzz {

inline QString writeInputFile(const uint8_t* data, size_t size, const char* suffix) {
    // In memory where the system offers it: a file per input is most of a run's time on disk.
    static const QDir dir =
        QDir(QStringLiteral("/dev/shm")).exists() ? QDir(QStringLiteral("/dev/shm")) : QDir::temp();
    static const QString path = dir.filePath(
        QStringLiteral("lyrane-fuzz-%1.%2").arg(::getpid()).arg(QLatin1String(suffix)));
    // Removed when the fuzzer exits.
    static const struct Remover {
        ~Remover() { QFile::remove(path); }
    } remover;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size)) {
        qFatal("cannot write the fuzz input to %s", qPrintable(path));
    }
    return path;
}

} // namespace lyrane::fuzz

#include "audio/atomic_output.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace lyrane {

namespace {

constexpr qint64 kStaleAfterSeconds = 3600;

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

AtomicOutput::AtomicOutput(const QString& target) : target(target) {
    const QFileInfo info(target);
    isDirect = info.exists() && !info.isFile();
    if (isDirect) {
        path = target;
        return;
    }
    removeStaleOutputTemporaries(target);
    path = info.absolutePath() + QStringLiteral("/.") + info.fileName() +
           QStringLiteral(".%1-%2.part")
               .arg(QCoreApplication::applicationPid())
               .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

AtomicOutput::~AtomicOutput() {
    if (!isDirect && !committed) {
        std::remove(QFile::encodeName(path).constData());
    }
}

bool AtomicOutput::open(QFile& file) {
    file.setFileName(path);
    // The temporary is a name of its own: never another run's, never through a planted link.
    return file.open(QIODevice::WriteOnly | (isDirect ? QIODevice::Truncate : QIODevice::NewOnly));
}

bool AtomicOutput::commit(QString* reason) {
    if (isDirect) {
        committed = true;
        return true;
    }
    const QByteArray from = QFile::encodeName(path);
    const QByteArray to = QFile::encodeName(target);
    // The replacement keeps the permissions of the file it replaces.
    struct stat existing {};
    if (::stat(to.constData(), &existing) == 0) {
        ::chmod(from.constData(), existing.st_mode & 07777);
    }
    if (std::rename(from.constData(), to.constData()) != 0) {
        if (reason) {
            *reason = systemError();
        }
        return false;
    }
    committed = true;
    return true;
}

bool AtomicOutput::finish(QFile& file, QString* reason) {
    // Flushed to the disk before the rename, so the name never points at a file still empty.
    if (!file.flush() || (!isDirect && ::fsync(file.handle()) != 0)) {
        if (reason) {
            *reason = file.error() != QFileDevice::NoError ? file.errorString() : systemError();
        }
        return false;
    }
    file.close();
    return commit(reason);
}

int removeStaleFiles(const QString& directory, const QString& pattern, const QDateTime& olderThan) {
    const QRegularExpression names(pattern);
    int removed = 0;
    const QFileInfoList entries = QDir(directory).entryInfoList(
        QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (names.match(entry.fileName()).hasMatch() && entry.lastModified() < olderThan &&
            QFile::remove(entry.filePath())) {
            ++removed;
        }
    }
    return removed;
}

void removeStaleOutputTemporaries(const QString& target) {
    removeStaleFiles(QFileInfo(target).absolutePath(),
                     QStringLiteral("^\\..+\\.[0-9]+-[0-9a-f]+\\.part$"),
                     QDateTime::currentDateTime().addSecs(-kStaleAfterSeconds));
}

void removeStaleTemporaryFiles() {
    removeStaleFiles(QDir::tempPath(), QStringLiteral("^lyrane-"),
                     QDateTime::currentDateTime().addSecs(-kStaleAfterSeconds));
}

} // namespace lyrane

#include "audio/patch_journal.h"

#include "audio/atomic_output.h"
#include "audio/audio_error.h"
#include "audio/render_record.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QObject>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lyrane {

using audio_detail::fail;

namespace {

// Layout, all numbers 64-bit little-endian: the heading; the target's device and inode; each patch
// as 'P', offset, length and its bytes; then 'E', the final size, the record's length and bytes;
// last the BLAKE2b-256 of everything before it.
constexpr char kHeading[] = "lyrane patch journal 1\n";
constexpr qint64 kHeadingBytes = sizeof kHeading - 1;
constexpr qint64 kHashBytes = 32;
constexpr char kPatchTag = 'P';
constexpr char kEndTag = 'E';
constexpr qint64 kCopyChunk = qint64(1) << 20;

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray number(qint64 value) {
    QByteArray bytes(8, Qt::Uninitialized);
    qToLittleEndian<qint64>(value, bytes.data());
    return bytes;
}

struct FileIdentity {
    qint64 device = 0;
    qint64 inode = 0;
    bool patchable = false; // a regular file with one name
};

std::optional<FileIdentity> identityOf(const QString& path) {
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity{qint64(status.st_dev), qint64(status.st_ino),
                        S_ISREG(status.st_mode) && status.st_nlink == 1};
}

// The directory's entries (a rename, a removal) reach the disk before anything that relies on
// them.
bool syncDirectoryOf(const QString& path) {
    const QByteArray directory = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// A sealed journal read back: where each patch's bytes lie in it, and what follows them.
struct ReadJournal {
    FileIdentity target;
    struct Entry {
        qint64 at = 0; // in the journal
        qint64 offset = 0;
        qint64 length = 0;
    };
    QList<Entry> entries;
    qint64 finalSize = 0;
    QByteArray recordBody;
};

bool readNumber(QFile& file, qint64* value) {
    char bytes[8];
    if (file.read(bytes, 8) != 8) {
        return false;
    }
    *value = qFromLittleEndian<qint64>(bytes);
    return true;
}

// The journal, when it is whole: its hash matches and every part is where it should be.
std::optional<ReadJournal> readJournal(QFile& file) {
    const qint64 size = file.size();
    if (size < kHeadingBytes + 2 * 8 + 1 + 2 * 8 + kHashBytes) {
        return std::nullopt;
    }
    QCryptographicHash hash(QCryptographicHash::Blake2b_256);
    QByteArray chunk;
    for (qint64 at = 0; at < size - kHashBytes; at += kCopyChunk) {
        chunk = file.read(qMin(kCopyChunk, size - kHashBytes - at));
        if (chunk.isEmpty()) {
            return std::nullopt;
        }
        hash.addData(chunk);
    }
    if (file.read(kHashBytes) != hash.result() || !file.seek(0) ||
        file.read(kHeadingBytes) != QByteArray(kHeading, kHeadingBytes)) {
        return std::nullopt;
    }
    ReadJournal journal;
    if (!readNumber(file, &journal.target.device) || !readNumber(file, &journal.target.inode)) {
        return std::nullopt;
    }
    for (;;) {
        char tag = 0;
        if (!file.getChar(&tag)) {
            return std::nullopt;
        }
        if (tag == kEndTag) {
            break;
        }
        ReadJournal::Entry entry;
        if (tag != kPatchTag || !readNumber(file, &entry.offset) ||
            !readNumber(file, &entry.length) || entry.offset < 0 || entry.length < 0 ||
            entry.length > size - file.pos()) {
            return std::nullopt;
        }
        entry.at = file.pos();
        journal.entries.append(entry);
        file.seek(entry.at + entry.length);
    }
    qint64 bodyLength = 0;
    if (!readNumber(file, &journal.finalSize) || !readNumber(file, &bodyLength) ||
        journal.finalSize < 0 || bodyLength != size - kHashBytes - file.pos()) {
        return std::nullopt;
    }
    journal.recordBody = file.read(bodyLength);
    return journal;
}

// Copies the journal's patches into the target and brings it to its final size, on the disk.
bool applyJournal(QFile& journalFile, const ReadJournal& journal, const QString& target,
                  QString* error) {
    QFile file(target);
    if (!file.open(QIODevice::ReadWrite)) {
        return fail(error, QObject::tr("failed to open %1: %2").arg(target, file.errorString()));
    }
    for (const ReadJournal::Entry& entry : journal.entries) {
        if (!journalFile.seek(entry.at) || !file.seek(entry.offset)) {
            return fail(error,
                        QObject::tr("failed to patch %1: %2").arg(target, file.errorString()));
        }
        for (qint64 done = 0; done < entry.length;) {
            const QByteArray bytes = journalFile.read(qMin(kCopyChunk, entry.length - done));
            if (bytes.isEmpty() || file.write(bytes) != bytes.size()) {
                return fail(error,
                            QObject::tr("failed to patch %1: %2").arg(target, file.errorString()));
            }
            done += bytes.size();
        }
    }
    if ((file.size() != journal.finalSize && !file.resize(journal.finalSize)) || !file.flush() ||
        ::fsync(file.handle()) != 0) {
        return fail(error, QObject::tr("failed to patch %1: %2").arg(target, file.errorString()));
    }
    return true;
}

} // namespace

QString patchJournalPath(const QString& target) {
    const QFileInfo info(target);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() +
           QStringLiteral(".journal");
}

bool patchableInPlace(const QString& path) {
    const std::optional<FileIdentity> identity = identityOf(path);
    return identity && identity->patchable;
}

PatchJournal::PatchJournal(const QString& target) : target(target) {}
PatchJournal::~PatchJournal() = default;

bool PatchJournal::write(const QByteArray& bytes) {
    hash->addData(bytes);
    return file.write(bytes) == bytes.size();
}

bool PatchJournal::begin(QString* error) {
    const std::optional<FileIdentity> identity = identityOf(target);
    if (!identity || !identity->patchable) {
        return fail(error, QObject::tr("%1 is no regular file with one name").arg(target));
    }
    output = std::make_unique<AtomicOutput>(patchJournalPath(target));
    hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Blake2b_256);
    if (!output->open(file) || !write(QByteArray(kHeading, kHeadingBytes)) ||
        !write(number(identity->device) + number(identity->inode))) {
        return fail(error, QObject::tr("failed to write %1: %2")
                               .arg(patchJournalPath(target), file.errorString()));
    }
    return true;
}

bool PatchJournal::add(qint64 offset, const char* bytes, qint64 count, QString* error) {
    if (!output || offset < 0 || count < 0 || !write(kPatchTag + number(offset) + number(count)) ||
        !write(QByteArray::fromRawData(bytes, count))) {
        return fail(error, QObject::tr("failed to write %1: %2")
                               .arg(patchJournalPath(target), file.errorString()));
    }
    return true;
}

bool PatchJournal::seal(qint64 finalSize, const QByteArray& recordBody, QString* error) {
    QString reason;
    if (!output || !write(kEndTag + number(finalSize) + number(recordBody.size())) ||
        !write(recordBody) || file.write(hash->result()) != kHashBytes ||
        !output->finish(file, &reason) || !syncDirectoryOf(target)) {
        return fail(error, QObject::tr("failed to write %1: %2")
                               .arg(patchJournalPath(target),
                                    reason.isEmpty() ? file.errorString() : reason));
    }
    output.reset();
    return true;
}

bool PatchJournal::apply(qint64 finalSize, const QByteArray& recordBody, QString* error) {
    if (!seal(finalSize, recordBody, error)) {
        return false;
    }
    switch (replayPatchJournal(target, error)) {
    case JournalReplay::Replayed:
        return true;
    case JournalReplay::Failed:
        return false;
    case JournalReplay::None:
    case JournalReplay::Stale:
        break;
    }
    return fail(error, QObject::tr("%1 was replaced while it was patched").arg(target));
}

bool patchFile(const QString& target, const QList<FilePatch>& patches, qint64 finalSize,
               const QByteArray& recordBody, QString* error) {
    PatchJournal journal(target);
    if (!journal.begin(error)) {
        return false;
    }
    for (const FilePatch& patch : patches) {
        if (!journal.add(patch.offset, patch.bytes.constData(), patch.bytes.size(), error)) {
            return false;
        }
    }
    return journal.apply(finalSize, recordBody, error);
}

JournalReplay replayPatchJournal(const QString& target, QString* error) {
    const QString path = patchJournalPath(target);
    QFile journalFile(path);
    if (!journalFile.exists()) {
        return JournalReplay::None;
    }
    if (!journalFile.open(QIODevice::ReadOnly)) {
        fail(error, QObject::tr("failed to read %1: %2").arg(path, journalFile.errorString()));
        return JournalReplay::Failed;
    }
    const std::optional<ReadJournal> journal = readJournal(journalFile);
    if (!journal) {
        // Sealed journals are whole: this one was damaged, and what the file holds is unknown.
        fail(error, QObject::tr("%1 is damaged").arg(path));
        return JournalReplay::Failed;
    }
    const std::optional<FileIdentity> now = identityOf(target);
    if (!now || now->device != journal->target.device || now->inode != journal->target.inode) {
        journalFile.close();
        QFile::remove(path);
        return JournalReplay::Stale;
    }
    if (!applyJournal(journalFile, *journal, target, error) ||
        !writeOutputRecord(target, journal->recordBody, error)) {
        return JournalReplay::Failed;
    }
    journalFile.close();
    if (!QFile::remove(path)) {
        fail(error, QObject::tr("failed to remove %1: %2").arg(path, systemError()));
        return JournalReplay::Failed;
    }
    syncDirectoryOf(target);
    return JournalReplay::Replayed;
}

} // namespace lyrane

#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <memory>

namespace lyrane {

class AtomicOutput;

// Bytes that replace those of a file at `offset`.
struct FilePatch {
    qint64 offset = 0;
    QByteArray bytes;
};

// Changes a file in place so that a kill at any moment leaves the old file or, once the next
// run has replayed the journal, the new one; never a mix. The patches are first written whole
// to a journal beside the file (".NAME.journal"), flushed to the disk and put in place by a
// rename; then copied into the file, which is flushed; then the file's record is written
// (writeOutputRecord, with the body given) and the journal removed. The journal names the
// file by device and inode, so one left beside a file replaced since is not applied to it.
//
//   PatchJournal journal(path);
//   journal.begin(&error);
//   journal.add(offset, bytes, count, &error);   // as often as needed, in any order
//   journal.apply(finalSize, recordBody, &error);
//
// Patches are applied in the order added; what an uncommitted journal holds goes with it.
class PatchJournal {
public:
    explicit PatchJournal(const QString& target);
    ~PatchJournal();
    PatchJournal(const PatchJournal&) = delete;
    PatchJournal& operator=(const PatchJournal&) = delete;

    // Starts the journal for the target as it is now: a regular file with one name.
    bool begin(QString* error);
    bool add(qint64 offset, const char* bytes, qint64 count, QString* error);
    // Seals the journal: whole and on the disk beside the target, so that from here on the
    // change is made, by this run or, after a kill, by the next one's replay.
    bool seal(qint64 finalSize, const QByteArray& recordBody, QString* error);
    // Seals the journal and applies it: the target then holds the patches and is `finalSize`
    // bytes long (cut or extended with zeros), and `recordBody` is its record.
    bool apply(qint64 finalSize, const QByteArray& recordBody, QString* error);

private:
    QString target;
    std::unique_ptr<AtomicOutput> output;
    QFile file;
    std::unique_ptr<QCryptographicHash> hash;
    bool write(const QByteArray& bytes);
};

// The same for patches held in memory, as a list of overwrites.
bool patchFile(const QString& target, const QList<FilePatch>& patches, qint64 finalSize,
               const QByteArray& recordBody, QString* error);

// What a run found beside its output before writing it.
enum class JournalReplay {
    None,     // no journal
    Replayed, // a sealed journal, applied to its file and removed
    Stale,    // a journal for a file since replaced, or not sealed: removed unapplied
    Failed,   // a journal for this file that could not be applied: left for the next run
};

// Finishes what a killed run left: applies the journal beside `target` when it was sealed
// for the file that is there now, writes the record it carries and removes it.
JournalReplay replayPatchJournal(const QString& target, QString* error);

// The journal's file beside `target`.
QString patchJournalPath(const QString& target);

// Whether `path` can be patched in place: a regular file, not a link, with one name (patching
// a file with several names would change them all).
bool patchableInPlace(const QString& path);

} // namespace lyrane

#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

// The voices given to speakers with --voices: "Anna=Miravel,Ben=Dostan", or "@FILE" with one
// pair a line ("#" starts a comment). Speaker names are compared without regard to letter case
// or to how much whitespace separates their words.
class VoiceMap {
public:
    struct Entry {
        QString speaker; // as written
        QString voice;   // as written: a built-in name, a voice identifier or an account voice
    };

    // Parses the value of --voices. On failure `error` holds one line, ending in "\n".
    static std::optional<VoiceMap> parse(const QString& argument, QString* error);
    // Parses pairs held in text; `origin` names where they came from in messages.
    static std::optional<VoiceMap> parsePairs(const QString& pairs, const QString& origin,
                                              QString* error);
    // Parses the file form: one pair a line, blank lines and comments skipped.
    static std::optional<VoiceMap> parseFile(const QString& path, QString* error);

    // The voice given to `speaker`; nullopt when the speaker is not in the map.
    std::optional<QString> voiceFor(const QString& speaker) const;
    // The speakers the map gives no voice, each once, in the order they first appear; empty
    // names (cues without a speaker) are passed over.
    QStringList unmappedSpeakers(const QStringList& speakers) const;
    bool isEmpty() const { return entries_.isEmpty(); }
    // The pairs in the order given, each speaker once.
    const QList<Entry>& entries() const { return entries_; }

private:
    // Adds a pair, or explains in `problem` why it cannot be added.
    bool add(const QString& pair, QString* problem);

    QList<Entry> entries_;
    QHash<QString, qsizetype> indexByKey;
};

// "Speaker Ben has no voice in --voices; using Brenn\n"
QString unmappedSpeakerLine(const QString& speaker, const QString& voice);
// The line under a cue's text in the dry-run listing: "  Speaker: Anna (voice Miravel)\n".
QString speakerListingLine(const QString& speaker, const QString& voice);

} // namespace lyrane

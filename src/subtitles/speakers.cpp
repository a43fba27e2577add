#include "subtitles/speakers.h"

#include <QHash>
#include <QStringView>

namespace lyrane {

namespace {

constexpr int kMaxNameWords = 4;

enum class LabelForm { None, Bracketed, Colon };

struct Label {
    LabelForm form = LabelForm::None;
    QString name;       // simplified
    QStringView spoken; // what follows the label, trimmed
};

bool isNameCharacter(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-') ||
           c == QLatin1Char('.') || c == QLatin1Char('\'') || c == QChar(0x2019);
}

// One to four words of name characters separated by whitespace. `capitalised` asks that every
// word start with a letter that is not lower-case, as speaker lines of transcripts are written;
// otherwise the name only needs a letter somewhere, which keeps "[1]" and "[00]" out.
bool isName(QStringView name, bool capitalised) {
    if (name.isEmpty() || name.front().isSpace() || name.back().isSpace()) {
        return false;
    }
    int words = 0;
    bool hasLetter = false;
    bool atWordStart = true;
    for (const QChar c : name) {
        if (c.isSpace()) {
            atWordStart = true;
            continue;
        }
        if (!isNameCharacter(c)) {
            return false;
        }
        if (atWordStart) {
            if (++words > kMaxNameWords) {
                return false;
            }
            if (capitalised && (!c.isLetter() || c.isLower())) {
                return false;
            }
            atWordStart = false;
        }
        hasLetter = hasLetter || c.isLetter();
    }
    return hasLetter;
}

// The label must be followed by whitespace and something to say; a cue that is nothing but a
// label ("[Music]") is left as it is.
std::optional<QStringView> spokenAfter(QStringView text, qsizetype labelEnd) {
    const QStringView rest = text.mid(labelEnd);
    if (rest.isEmpty() || !rest.front().isSpace()) {
        return std::nullopt;
    }
    const QStringView spoken = rest.trimmed();
    if (spoken.isEmpty()) {
        return std::nullopt;
    }
    return spoken;
}

Label label(LabelForm form, QStringView name, QStringView spoken) {
    return Label{form, name.toString().simplified(), spoken};
}

// "[Name] ...", "[Name]: ..." and "(Name): ...".
Label bracketedLabel(QStringView text) {
    const QChar open = text.front();
    const QChar close = open == QLatin1Char('[') ? QLatin1Char(']') : QLatin1Char(')');
    const qsizetype closing = text.indexOf(close);
    if (closing < 0) {
        return {};
    }
    const QStringView name = text.mid(1, closing - 1);
    if (!isName(name, false)) {
        return {};
    }
    const bool colon = closing + 1 < text.size() && text[closing + 1] == QLatin1Char(':');
    if (open == QLatin1Char('(') && !colon) {
        return {}; // "(laughs) ..." is a stage direction, not a speaker
    }
    const std::optional<QStringView> spoken = spokenAfter(text, closing + (colon ? 2 : 1));
    return spoken ? label(LabelForm::Bracketed, name, *spoken) : Label{};
}

// "Name: ...". Whether it counts is decided over the whole file.
Label colonLabel(QStringView text) {
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon <= 0) {
        return {};
    }
    const QStringView name = text.left(colon);
    if (!isName(name, true)) {
        return {};
    }
    const std::optional<QStringView> spoken = spokenAfter(text, colon + 1);
    return spoken ? label(LabelForm::Colon, name, *spoken) : Label{};
}

Label leadingLabel(QStringView text) {
    text = text.trimmed();
    if (text.isEmpty()) {
        return {};
    }
    if (text.front() == QLatin1Char('[') || text.front() == QLatin1Char('(')) {
        return bracketedLabel(text);
    }
    return colonLabel(text);
}

QString nameKey(const QString& name) {
    return name.toCaseFolded();
}

} // namespace

std::optional<SpeakerLabels> parseSpeakerLabels(const QString& value) {
    if (value == QLatin1String("on")) {
        return SpeakerLabels::On;
    }
    if (value == QLatin1String("off")) {
        return SpeakerLabels::Off;
    }
    return std::nullopt;
}

QList<SpeakerCue> findSpeakers(const QList<SpeakerCueInput>& cues, SpeakerLabels labels) {
    const bool readLabels = labels == SpeakerLabels::On;

    // First pass: what kinds of speaker marks the file uses, and how often each "Name:" occurs.
    bool marksSpeakers = false; // voice spans or bracketed labels
    QHash<QString, int> colonLabelCues;
    for (const SpeakerCueInput& cue : cues) {
        if (!cue.voiceSpanSpeaker.trimmed().isEmpty()) {
            marksSpeakers = true;
            continue;
        }
        if (!readLabels) {
            continue;
        }
        const Label found = leadingLabel(cue.text);
        if (found.form == LabelForm::Bracketed) {
            marksSpeakers = true;
        } else if (found.form == LabelForm::Colon) {
            ++colonLabelCues[nameKey(found.name)];
        }
    }

    // Second pass: each cue's speaker, named as written where that speaker first counts.
    QHash<QString, QString> firstSpelling;
    const auto speakerNamed = [&firstSpelling](const QString& name) {
        const QString key = nameKey(name);
        const auto it = firstSpelling.constFind(key);
        if (it != firstSpelling.constEnd()) {
            return *it;
        }
        firstSpelling.insert(key, name);
        return name;
    };

    QList<SpeakerCue> result;
    result.reserve(cues.size());
    for (const SpeakerCueInput& cue : cues) {
        const QString voiceSpan = cue.voiceSpanSpeaker.simplified();
        if (!voiceSpan.isEmpty()) {
            result.append({speakerNamed(voiceSpan), cue.text.trimmed()});
            continue;
        }
        if (readLabels) {
            const Label found = leadingLabel(cue.text);
            const bool counts = found.form == LabelForm::Bracketed ||
                                (found.form == LabelForm::Colon &&
                                 (marksSpeakers || colonLabelCues.value(nameKey(found.name)) >= 2));
            if (counts) {
                result.append({speakerNamed(found.name), found.spoken.toString()});
                continue;
            }
        }
        result.append({QString(), cue.text.trimmed()});
    }
    return result;
}

} // namespace lyrane

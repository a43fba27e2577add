#pragma once

#include <QString>
#include <QStringList>

namespace lyrane {

// The model used when none is asked for.
inline constexpr const char* kDefaultModelId = "eleven_multilingual_v2";

// What lyrane knows of a speech model.
struct ModelInfo {
    QString id;
    bool known = false;             // listed in the table; unknown ids get the cautious values
    int characterLimit = 5000;      // characters one request may carry
    double creditsPerCharacter = 1; // Flash and Turbo bill half a credit per character
};

// The table's entry for `id`, or the cautious values (5,000 characters, 1 credit each) for an
// id it does not list.
ModelInfo modelInfo(const QString& id);

// The listed ids, the default first.
QStringList knownModelIds();

enum class ModelIdCheck {
    Known,   // listed in the table
    Unknown, // well-formed but not listed: sent as given, after a warning
    Invalid, // not a model identifier at all: refused before any request
};

// An identifier is lower-case ASCII letters, digits and underscores, not empty.
ModelIdCheck checkModelId(const QString& id);

// The warning for an unknown but well-formed id, with its line end.
QString unknownModelWarning(const QString& id);

} // namespace lyrane

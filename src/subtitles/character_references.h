#pragma once

#include <QString>
#include <QStringView>

#include <cstddef>

namespace lyrane {

// One of the HTML standard's named character references: its name without '&' and ';', and
// the one or two code points it stands for.
struct NamedCharacterReference {
    const char* name;
    char32_t first;
    char16_t second; // 0 for a name that stands for one code point
};

// Every name of the HTML standard that is written with its ';', sorted by name (generated into
// character_reference_table.cpp by make_character_reference_table.py).
extern const NamedCharacterReference namedCharacterReferences[];
extern const std::size_t namedCharacterReferenceCount;

// Decodes the character reference that starts at text[at] == '&' into `out` and returns the
// position after it: a name of the HTML standard's table, in its letter case ("&AMP;",
// "&notin;"), or a decimal or hexadecimal number ("&#233;", "&#xE9;") with HTML's replacements
// for code points that are not characters. Only a reference closed by ';' counts; anywhere else
// `at` is returned and nothing is written.
qsizetype decodeCharacterReference(QStringView text, qsizetype at, QString& out);

} // namespace lyrane

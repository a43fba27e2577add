#pragma once

#include <QString>
#include <QStringView>

namespace lyrane {

// The text of one TTML paragraph (a p and its spans) as it is presented, built from its
// character data in document order. Where xml:space is "default", white space (spaces, tabs,
// line feeds) collapses to one space across element boundaries and is dropped at the start
// and end of each line; where it is "preserve", it is kept, and line feeds break lines.
class TtmlParagraph {
public:
    void addCharacters(QStringView characters, bool preserve);
    // A br element.
    void addLineBreak();
    // The lines joined by single spaces, as lyrane speaks a cue of several lines.
    QString spokenText() const;

private:
    QString text;
    bool afterCollapsibleSpace = true; // so leading white space drops
};

} // namespace lyrane

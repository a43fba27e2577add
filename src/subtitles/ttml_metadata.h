#pragma once

#include <QString>
#include <QXmlStreamAttributes>
#include <QXmlStreamReader>

namespace lyrane {

// The name a ttm:agent element gives its agent: its ttm:name of type "alias" (a character's
// name), else "full", else any, white space made single spaces; empty without one. Reads the
// element to its end.
QString readAgentName(QXmlStreamReader& xml);

// The first attribute among `attributes` that asks for a speech rate or pitch
// (tta:speak="fast" or "slow", tta:rate, tta:pitch, a tts: attribute about a rate), as
// written: `tta:speak="fast"`; empty without one.
QString speechRateAttribute(const QXmlStreamAttributes& attributes);

} // namespace lyrane

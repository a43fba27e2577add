#pragma once

#include "audio/extended_programme.h"

#include <QList>
#include <QString>
#include <QtGlobal>

namespace lyrane {

// The --time-map file: the programme's length and the output's, then each pause with its
// programme time, duration and output time, so that other tracks can be moved to match.
// Written whole or not at all.
bool writeTimeMap(const QString& path, const QList<ProgrammePause>& pauses, qint64 programmeMs,
                  QString* error);

} // namespace lyrane

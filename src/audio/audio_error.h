#pragma once

// The audio library's one way of reporting a failure: the message goes to the caller's error
// slot when there is one; FFmpeg's own codes are spelled out by the library.

#include <QString>

namespace lyrane::audio_detail {

inline void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

// The same, false, for `return fail(error, ...)`.
inline bool fail(QString* error, const QString& message) {
    setError(error, message);
    return false;
}

} // namespace lyrane::audio_detail

#include "audio/ffmpeg_handles.h"

extern "C" {
#include <libavutil/error.h>
}

namespace lyrane {

QString ffmpegErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, text, sizeof text) < 0) {
        return QStringLiteral("error %1").arg(code);
    }
    return QString::fromUtf8(text);
}

} // namespace lyrane

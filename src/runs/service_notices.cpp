#include "runs/service_notices.h"

#include "synthesis/request_limits.h"
#include "synthesis/text_splitting.h"

#include <QObject>

namespace lyrane {

void sayServiceErrorTip(Console& console, ServiceErrorReason reason,
                        const ServiceErrorContext& context) {
    const QString tip = serviceErrorTip(reason, context);
    if (!tip.isEmpty()) {
        console.error(tip + QLatin1Char('\n'));
    }
}

QString windowLoweredLine(int inFlight) {
    return QObject::tr("Service allows fewer requests at once; now %1 in flight\n").arg(inFlight);
}

QString requestLengthRefusal(const TtsRequest& request, const QString& label) {
    const qsizetype length = requestCharacterCount(request.text);
    const int limit = requestCharacterLimit(request);
    if (length <= limit) {
        return QString();
    }
    return QObject::tr("%1 is %2 characters long; %3 allows at most %4 characters in one "
                       "request\n")
        .arg(label)
        .arg(length)
        .arg(requestModelId(request))
        .arg(limit);
}

} // namespace lyrane

#pragma once

#include "runs/run_context.h"
#include "synthesis/elevenlabs_client.h"
#include "synthesis/service_errors.h"

#include <QString>

namespace lyrane {

// Says the tip for a refusal's reason after its failure line; nothing for reasons without one.
void sayServiceErrorTip(Console& console, ServiceErrorReason reason,
                        const ServiceErrorContext& context);

// The line for a lowered number of requests in flight.
QString windowLoweredLine(int inFlight);

// The line that refuses a request whose text is over its model's per-request limit; empty
// when it is within it. `label` names the text, e.g. "Cue 12".
QString requestLengthRefusal(const TtsRequest& request, const QString& label);

} // namespace lyrane

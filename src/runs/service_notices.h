#pragma once

#include "synthesis/elevenlabs_client.h"
#include "synthesis/service_errors.h"

#include <QString>

namespace lyrane {

// Prints the tip for a refusal's reason after its failure line; nothing for reasons without one.
void printServiceErrorTip(ServiceErrorReason reason, const ServiceErrorContext& context);

// The line for a lowered number of requests in flight.
void printWindowLowered(int inFlight);

// False, after saying so, when the request's text is over its model's per-request limit.
// `label` names the text, e.g. "Cue 12"; the line said is kept in `failure`.
bool checkRequestLength(const TtsRequest& request, const QString& label, QString* failure);

} // namespace lyrane

#pragma once

#include "synthesis/elevenlabs_client.h"

#include <QString>

namespace lyrane {

// The model a request is sent to: the one place that says so for limits and messages.
QString requestModelId(const TtsRequest& request);

// The characters one request to its model may carry.
int requestCharacterLimit(const TtsRequest& request);

} // namespace lyrane

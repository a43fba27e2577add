#pragma once

#include "runs/run_configuration.h"

namespace lyrane {

// --list-voices: prints the account's voices on standard output. Needs the key, nothing else.
// Returns the exit status.
int listAccountVoices(const RunConfiguration& config);
// --list-dictionaries: the account's pronunciation dictionaries, in the same way.
int listAccountDictionaries(const RunConfiguration& config);

} // namespace lyrane

#pragma once

#include "runs/run_configuration.h"

namespace lyrane {

// --merge-reports: joins the reports of a batch's shards into config.reportFile, every file's
// entries and the totals summed. Reports of other settings, or holding the same file or the
// same shard, are refused with one line. Returns the exit status.
int mergeRunReports(const RunConfiguration& config);

} // namespace lyrane

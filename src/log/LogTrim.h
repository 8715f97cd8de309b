// Cutting the adaptor log back to its newest part.
#pragma once

#include <windows.h>

#include <string>

#include "log/LogCoordination.h"

namespace adaptor_log {

enum class TrimOutcome {
    kNothingToCut,  // the file is not longer than the limit (or than the part kept)
    kTrimmed,       // the file at the log path is now the newest part
    kFailed,        // the file at the log path is the old log, untouched
};

// Replaces the file at logPath with its bytes after the first line break at
// or after (length - keepBytes), if its length is above limitBytes. The copy
// is binary: whatever bytes the lines hold are kept as they are.
//
// The caller holds the writers' lock through hold, has claimed the trim
// (LogCoordination::TryBeginTrim) and has closed its own handle of the file.
// The long copy runs without the lock, so the other writers go on appending
// meanwhile (the log only ever grows at its end); the lock is taken again
// for the last step, which copies what they appended and puts the copy in
// the log's place. If the lock cannot be had again, the trim fails and
// hold is left without it.
TrimOutcome TrimLogFile(const std::wstring& logPath, ULONGLONG limitBytes, ULONGLONG keepBytes, CoordinationHold& hold);

// Forgets the counters and faults of the tests (adaptor_log_testing).
void ResetTrimTesting();

}  // namespace adaptor_log

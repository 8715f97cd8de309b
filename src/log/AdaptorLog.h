// The adaptor log: one diagnostic text file per process, written line by line
// through WriteLog from any thread.
#pragma once

#include <windows.h>

#include <string>

// Message levels.
enum LogLevel : int {
    LOG_ERROR = 1,    // "E": failures
    LOG_WARNING = 2,  // "W": warnings and non-critical conditions
    LOG_INFO = 3,     // "I": milestones
    LOG_VERBOSE = 4,  // "V": traces
};

// Writes one line "<date> <time> <level> <thread> <function>: <message>" if
// level is at most the trace level. format uses Microsoft printf semantics
// (%s takes a wide string). Safe from any thread, also before the log is
// started (it then writes nothing).
void WriteLog(int level, const char* function, const wchar_t* format, ...) noexcept;

// Builds the same line and sends it to the debugger output; no level filter.
void WriteDebugLog(int level, const char* function, const wchar_t* format, ...);

// Opens the log file fileName in directory (or in GetLogDir() when directory
// is null) and reads the size limits and the trace level from the registry.
// Returns 0 when the log path is set, -1 without a log directory, -2 when the
// log file is already open.
int InitLogFile(const wchar_t* fileName, const wchar_t* levelValueName, const wchar_t* directory);

// The trace level from the registry value valueName (0 to 5; 4 when missing).
int ReadTraceLevel(const wchar_t* valueName);

// The "LOGDIR" registry value, or the empty text.
std::wstring GetLogDir();

// The file name of path without its directory, in lower case, with every
// ".exe" and ".dll" removed.
std::wstring BaseNameWithoutExtension(const std::wstring& path);

// Hooks for the log's own tests; not reachable from a blade.
namespace adaptor_log_testing {
struct Limits {
    DWORD logLimit;
    DWORD logTrunc;
};
Limits CurrentLimits();
// Replaces the normalised limits, so that a test can trim a small file.
void OverrideLimits(DWORD logLimit, DWORD logTrunc);
int CurrentTraceLevel();
std::wstring CurrentLogPath();
// Closes the file, forgets the path and clears the hooks below, as at module
// load.
void Reset();

// A failure the next trims meet while they copy the newest part into their
// temporary file, once afterBytes bytes have gone through (read or written).
enum class CopyFault {
    kNone,
    kReadError,   // reading the log fails
    kWriteError,  // writing the copy fails
    kShortWrite,  // the copy takes only afterBytes bytes in all (a full disk)
    kFlushError,  // flushing the copy fails (afterBytes is not used)
};
void InjectCopyFault(CopyFault fault, ULONGLONG afterBytes);
// How many trims started copying since the last Reset.
unsigned TrimCopiesStarted();
// Moves the log's clock on, as if that much time had passed.
void AdvanceClock(ULONGLONG milliseconds);
// True when the log coordinates with other processes that write the same file.
bool SharesWithOtherProcesses();
// Makes the next trims sleep this long after their copy, while they do not
// hold the lock that the writers of the file share.
void DelayUnlockedCopy(DWORD milliseconds);
// Takes the lock that the writers of the log at logPath share and keeps it
// until the process ends, as a stuck writer would. False when it cannot be
// had.
bool HoldSharedLockOf(const std::wstring& logPath);
}  // namespace adaptor_log_testing

// The adaptor log. All state lives in one process-wide object guarded by the
// log lock; nothing else is locked or called under it except the C runtime,
// the registry, the file system and the lock that the processes writing the
// same file share (LogCoordination.h), so any code may log while it holds its
// own locks; that lock is waited for at most kCoordinationWaitMs, once.
//
// Each line goes to the file in one write through a handle opened for
// appending, under the lock that the processes writing the same file share:
// their lines never overwrite or split each other. The handle is not
// inheritable, so no child process keeps the log open.
//
// The log's directory and files are opened without following links
// (LogFileSafety.h); a directory or file that is a link, or a log file with
// a second hard link, turns the log off for the process, with one line to
// the debugger output saying why.
#include "log/AdaptorLog.h"

#include "log/LogTrim.h"
#include "log/LogCoordination.h"
#include "log/LogFileSafety.h"
#include "win/Registry.h"
#include "win/raii.h"

#include <shlwapi.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

namespace {

constexpr wchar_t kQuillonKey[] = L"SOFTWARE\\Corvalis\\Quillon";
constexpr wchar_t kTarnHostKey[] = L"SOFTWARE\\Corvalis\\Quillon\\TarnHost";
constexpr wchar_t kLogDirValue[] = L"LOGDIR";
constexpr wchar_t kLogLimitValue[] = L"LogLimit";
constexpr wchar_t kLogTruncValue[] = L"LogTrunc";

constexpr DWORD kDefaultLogLimit = 52428800;  // 50 MiB
constexpr DWORD kDefaultLogTrunc = 41943040;  // 40 MiB
constexpr int kDefaultTraceLevel = LOG_VERBOSE;

constexpr size_t kRegistryTextChars = MAX_PATH;

// A trim that failed is tried again only after the log has grown by another
// tenth of what a trim cuts, or after this long: the old log stays in use
// meanwhile, and a log that cannot be replaced (another program holds it
// open) does not cost a full copy per line.
constexpr ULONGLONG kTrimRetryDivisor = 10;
constexpr ULONGLONG kTrimRetryDelayMs = 60000;
// The file's length is asked of the file system when the count kept in the
// shared state passes the limit, and after this many bytes of lines; in
// between it is counted. The question costs about a third of a line's write:
// asking after each line would make logging that much slower. Lines of
// writers that do not share the state (older copies of the stub) are seen at
// the next question.
constexpr ULONGLONG kLengthCheckBytes = 64 * 1024;

constexpr wchar_t kLinePrefixFormat[] = L"%d%02d%02d %02d:%02d:%02d.%03d %s %5x %s: ";
// Room for everything in the prefix except the function name.
constexpr size_t kPrefixFixedChars = 64;
// The first formatting attempt of a message gets this much room; longer
// messages are measured and formatted again.
constexpr size_t kMessageChars = 1024;

struct LogState {
    win::CriticalSection lock;
    std::wstring logPath GUARDED_BY(lock);
    // The log's directory, held open without delete sharing while the log is
    // in use, so that it cannot be swapped for a link after it was checked.
    win::UniqueHandle directory GUARDED_BY(lock);
    // Opened for appending; none until opened, and again after a trim or
    // when the file left the log path.
    win::UniqueHandle file GUARDED_BY(lock);
    // The shared generation count when file was opened: another value means
    // that the file at the log path was replaced since.
    LONG fileGeneration GUARDED_BY(lock) = 0;
    // Bytes of lines written without the shared lock, not yet counted in the
    // shared length.
    ULONGLONG uncountedBytes GUARDED_BY(lock) = 0;
    adaptor_log::LogCoordination shared GUARDED_BY(lock);
    DWORD logLimit GUARDED_BY(lock) = kDefaultLogLimit;
    DWORD logTrunc GUARDED_BY(lock) = kDefaultLogTrunc;
    int traceLevel GUARDED_BY(lock) = kDefaultTraceLevel;
    ULONGLONG clockOffsetMs GUARDED_BY(lock) = 0;  // moved on by the tests only
    // Reused by every WriteLog call (under the lock) to spare an allocation
    // per line.
    std::wstring line GUARDED_BY(lock);
    std::wstring functionName GUARDED_BY(lock);
    std::string narrowLine GUARDED_BY(lock);
};

// Created at static initialisation, before any code of the module can log.
LogState g_log;

// Shared for reading, writing and deletion, so that neither other writers
// nor a trim are locked out.
adaptor_log::CheckedOpen OpenForAppending(const std::wstring& path) {
    return adaptor_log::OpenPlainFile(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      OPEN_ALWAYS);
}

// Keeps the limits sane whatever the registry says: a trim always frees at
// least a little and never keeps less than half of the limit.
adaptor_log_testing::Limits NormaliseLimits(DWORD logLimit, DWORD logTrunc) {
    if (logLimit == 0 || logLimit < kDefaultLogLimit) {
        return {kDefaultLogLimit, kDefaultLogTrunc};
    }
    if (logTrunc == 0 || logTrunc < logLimit / 2) logTrunc = logLimit / 2;
    if (logTrunc == logLimit) {
        logTrunc = static_cast<DWORD>(static_cast<ULONGLONG>(logLimit) * 4 / 5);
    } else if (logTrunc > logLimit) {
        return {kDefaultLogLimit, kDefaultLogTrunc};
    }
    return {logLimit, logTrunc};
}

const wchar_t* LevelLetter(int level) {
    static const wchar_t* const kLetters[] = {L"O", L"E", L"W", L"I", L"V", L"C"};
    if (level < 0 || level >= static_cast<int>(sizeof(kLetters) / sizeof(kLetters[0]))) {
        return L"X";
    }
    return kLetters[level];
}

// The ASCII function name in the system's narrow code page, widened.
void WidenFunctionName(const char* function, std::wstring& name) {
    name.clear();
    if (function == nullptr || *function == '\0') return;
    const int chars = MultiByteToWideChar(CP_ACP, 0, function, -1, nullptr, 0);
    if (chars <= 1) return;
    name.resize(static_cast<size_t>(chars));
    MultiByteToWideChar(CP_ACP, 0, function, -1, &name[0], chars);
    name.resize(static_cast<size_t>(chars - 1));
}

void FormatPrefix(std::wstring& line, int level, const std::wstring& functionName) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    line.resize(kPrefixFixedChars + functionName.size());
    const int written = _snwprintf(&line[0], line.size(), kLinePrefixFormat, now.wYear, now.wMonth, now.wDay, now.wHour,
                                   now.wMinute, now.wSecond, now.wMilliseconds, LevelLetter(level),
                                   static_cast<unsigned>(GetCurrentThreadId()), functionName.c_str());
    line.resize(written > 0 ? static_cast<size_t>(written) : 0);
}

// Appends the message formatted by the runtime's own wide printf (Microsoft
// semantics: %s takes a wide string). A message that does not fit the first
// attempt is measured and formatted again, so long messages are not cut.
void AppendMessage(std::wstring& line, const wchar_t* format, va_list args) {
    if (format == nullptr) return;
    const size_t offset = line.size();
    va_list measureArgs;
    va_list retryArgs;
    va_copy(measureArgs, args);
    va_copy(retryArgs, args);
    line.resize(offset + kMessageChars);
    int written = _vsnwprintf(&line[offset], kMessageChars, format, args);
    if (written < 0 || static_cast<size_t>(written) >= kMessageChars) {
        written = _vscwprintf(format, measureArgs);
        if (written > 0) {
            line.resize(offset + static_cast<size_t>(written) + 1);
            written = _vsnwprintf(&line[offset], static_cast<size_t>(written) + 1, format, retryArgs);
        }
    }
    va_end(retryArgs);
    va_end(measureArgs);
    line.resize(offset + (written > 0 ? static_cast<size_t>(written) : 0));
}

// The prefix and the message, without a line end; returns where the message
// starts.
size_t BuildLine(std::wstring& line, std::wstring& functionName, int level, const char* function, const wchar_t* format,
                 va_list args) {
    WidenFunctionName(function, functionName);
    FormatPrefix(line, level, functionName);
    const size_t messageStart = line.size();
    AppendMessage(line, format, args);
    return messageStart;
}

// Stores every line feed of a message as CR LF, as a text-mode write does.
void ExpandLineFeeds(std::wstring& line, size_t from) {
    for (size_t at = line.find(L'\n', from); at != std::wstring::npos; at = line.find(L'\n', at + 2)) {
        line.insert(at, 1, L'\r');
    }
}

// Converts the line by the runtime's current locale, in one call instead of
// one call per character as a wide write to a text stream would. A character
// that the locale cannot represent would make the runtime stop a wide write
// there, cutting the line and gluing the next one to it; it becomes '?'
// instead, so every line stays whole.
void ToLocaleText(const std::wstring& line, std::string& narrow) {
    // ASCII is itself in every locale's encoding; most lines are ASCII only.
    if (std::all_of(line.begin(), line.end(), [](wchar_t c) { return c < 0x80; })) {
        narrow.assign(line.begin(), line.end());
        return;
    }
    narrow.resize(line.size() * MB_CUR_MAX + 1);
    const size_t bytes = wcstombs(&narrow[0], line.c_str(), narrow.size());
    if (bytes != static_cast<size_t>(-1)) {
        narrow.resize(bytes);
        return;
    }
    narrow.clear();
    char character[MB_LEN_MAX];
    for (wchar_t c : line) {
        const int length = wctomb(character, c);
        if (length > 0) {
            narrow.append(character, static_cast<size_t>(length));
        } else {
            narrow.push_back('?');
        }
    }
}

void EraseEvery(std::wstring& text, const std::wstring& part) {
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at)) {
        text.erase(at, part.size());
    }
}

ULONGLONG LogClock() REQUIRES(g_log.lock) { return GetTickCount64() + g_log.clockOffsetMs; }

// Turns the log off for the life of the process: what is at the log's place
// is not a file the stub may write. Said once, to the debugger output.
void RefuseLog(const std::wstring& what, const std::wstring& why) REQUIRES(g_log.lock) {
    WriteDebugLog(LOG_ERROR, "InitLogFile", L"No adaptor log: %s refused, %s", what.c_str(), why.c_str());
    g_log.file.reset();
    g_log.shared.Detach();
    g_log.directory.reset();
    g_log.logPath.clear();
}

// Called with the log lock held (and the shared lock, when it could be had):
// opens the file at the log path unless the handle in hand still names it.
bool EnsureFileCurrent(bool sharedLockHeld) REQUIRES(g_log.lock) {
    const LONG generation = g_log.shared.state().generation;
    if (g_log.file && g_log.fileGeneration == generation) return true;
    adaptor_log::CheckedOpen opened = OpenForAppending(g_log.logPath);
    if (!opened.refusal.empty()) {
        RefuseLog(g_log.logPath, opened.refusal);
        return false;
    }
    g_log.file = std::move(opened.handle);
    g_log.fileGeneration = generation;
    if (!g_log.file || !sharedLockHeld) return static_cast<bool>(g_log.file);
    // Whoever opens a file first counts its length afresh.
    adaptor_log::SharedLogState& shared = g_log.shared.state();
    LARGE_INTEGER length;
    shared.length = GetFileSizeEx(g_log.file.get(), &length) ? static_cast<ULONGLONG>(length.QuadPart) : 0;
    shared.uncheckedBytes = 0;
    return true;
}

// Called with both locks held.
bool TrimDue(const adaptor_log::SharedLogState& shared) REQUIRES(g_log.lock) {
    if (shared.trimFailedAtLength == 0) return true;
    const ULONGLONG cutBytes = g_log.logLimit > g_log.logTrunc ? g_log.logLimit - g_log.logTrunc : 0;
    const ULONGLONG growth = std::max<ULONGLONG>(1, cutBytes / kTrimRetryDivisor);
    return shared.length >= shared.trimFailedAtLength + growth ||
           LogClock() - shared.trimFailedAtTick >= kTrimRetryDelayMs;
}

// Called with both locks held. One writer trims at a time; the others go on
// writing meanwhile and do not wait for it.
void TrimNow(adaptor_log::CoordinationHold& hold) REQUIRES(g_log.lock) {
    if (!g_log.shared.TryBeginTrim()) return;
    // The own handle would keep the file from being replaced; the next line
    // opens whichever file the log path names then.
    g_log.file.reset();
    const adaptor_log::TrimOutcome outcome =
        adaptor_log::TrimLogFile(g_log.logPath, g_log.logLimit, g_log.logTrunc, hold);
    g_log.shared.EndTrim();
    // Without the lock again (it could not be had back) the shared state is
    // not touched: the next trim decides afresh.
    if (!hold.held()) return;
    adaptor_log::SharedLogState& shared = g_log.shared.state();
    // Every writer's next line opens the new file and counts its length.
    if (outcome == adaptor_log::TrimOutcome::kTrimmed) InterlockedIncrement(&shared.generation);
    const bool failed = outcome == adaptor_log::TrimOutcome::kFailed;
    shared.trimFailedAtLength = failed ? shared.length : 0;
    shared.trimFailedAtTick = failed ? LogClock() : 0;
}

// Called with both locks held after a line was written: trims a log that
// grew past the limit, and lets go of a file that is no longer the log.
void CheckLogFile(DWORD written, adaptor_log::CoordinationHold& hold) REQUIRES(g_log.lock) {
    adaptor_log::SharedLogState& shared = g_log.shared.state();
    shared.length += written;
    shared.uncheckedBytes += written;
    if (shared.length <= g_log.logLimit && shared.uncheckedBytes < kLengthCheckBytes) return;
    FILE_STANDARD_INFO info;
    if (!GetFileInformationByHandleEx(g_log.file.get(), FileStandardInfo, &info, sizeof(info))) return;
    shared.uncheckedBytes = 0;
    if (info.DeletePending || info.NumberOfLinks == 0) {
        // Replaced by a writer that does not share the generation count.
        g_log.file.reset();
        return;
    }
    shared.length = static_cast<ULONGLONG>(info.EndOfFile.QuadPart);
    if (shared.length > g_log.logLimit && TrimDue(shared)) TrimNow(hold);
}

void WriteLine(int level, const char* function, const wchar_t* format, va_list args) REQUIRES(g_log.lock) {
    ExpandLineFeeds(g_log.line, BuildLine(g_log.line, g_log.functionName, level, function, format, args));
    g_log.line.append(L"\r\n");
    // The line was formatted once; it is written as it stands, so a '%'
    // that came in with an argument stays a '%'.
    ToLocaleText(g_log.line, g_log.narrowLine);

    // Without the shared lock (its holder did not let go in time) the line
    // is written all the same; only the shared counts and trims wait for it.
    adaptor_log::CoordinationHold hold(g_log.shared);
    if (!EnsureFileCurrent(hold.held())) return;
    DWORD written = 0;
    WriteFile(g_log.file.get(), g_log.narrowLine.data(), static_cast<DWORD>(g_log.narrowLine.size()), &written,
              nullptr);
    g_log.uncountedBytes += written;
    if (!hold.held()) return;
    CheckLogFile(static_cast<DWORD>(std::min<ULONGLONG>(g_log.uncountedBytes, MAXDWORD)), hold);
    g_log.uncountedBytes = 0;
}

}  // namespace

void WriteLog(int level, const char* function, const wchar_t* format, ...) noexcept {
    win::Lock hold(g_log.lock);
    if (level > g_log.traceLevel || g_log.logPath.empty()) return;
    va_list args;
    va_start(args, format);
    try {
        WriteLine(level, function, format, args);
    } catch (...) {
        // Out of memory for the line: it is dropped, the caller goes on.
    }
    va_end(args);
}

void WriteDebugLog(int level, const char* function, const wchar_t* format, ...) {
    std::wstring line;
    std::wstring functionName;
    va_list args;
    va_start(args, format);
    BuildLine(line, functionName, level, function, format, args);
    va_end(args);
    line.push_back(L'\n');
    OutputDebugStringW(line.c_str());
}

namespace {

// Called with the log lock held: checks the directory and the log file and
// attaches to the writers' shared state. False when the log is refused.
bool OpenLog(const std::wstring& logDir, const std::wstring& logPath) REQUIRES(g_log.lock) {
    adaptor_log::CheckedOpen directory = adaptor_log::OpenLogDirectory(logDir);
    if (!directory.handle) {
        // A directory that cannot be created or opened leaves nowhere the
        // log could be checked: no log, said like a refusal.
        RefuseLog(logDir, directory.refusal.empty() ? L"it cannot be opened" : directory.refusal);
        return false;
    }
    g_log.directory = std::move(directory.handle);
    g_log.logPath = logPath;
    const std::wstring sideRefusal = g_log.shared.Attach(g_log.logPath);
    if (!sideRefusal.empty()) {
        RefuseLog(g_log.logPath + L".lock", sideRefusal);
        return false;
    }
    adaptor_log::CoordinationHold hold(g_log.shared);
    // A file that cannot be opened now is tried again by every line; one
    // that is refused turns the log off.
    EnsureFileCurrent(hold.held());
    return !g_log.logPath.empty();
}

}  // namespace

int InitLogFile(const wchar_t* fileName, const wchar_t* levelValueName, const wchar_t* directory) {
    win::Lock hold(g_log.lock);
    if (g_log.file) return -2;

    const std::wstring logDir = directory != nullptr ? std::wstring(directory) : GetLogDir();
    if (logDir.empty()) return -1;

    wchar_t combined[MAX_PATH] = {};
    if (PathCombineW(combined, logDir.c_str(), fileName != nullptr ? fileName : L"") == nullptr) {
        // Too long for a path: there is nowhere to write.
        return -1;
    }
    if (!OpenLog(logDir, combined)) return -1;

    const DWORD logLimit =
        win::ReadRegistryDword(HKEY_LOCAL_MACHINE, kTarnHostKey, kLogLimitValue).value_or(kDefaultLogLimit);
    const DWORD logTrunc =
        win::ReadRegistryDword(HKEY_LOCAL_MACHINE, kTarnHostKey, kLogTruncValue).value_or(kDefaultLogTrunc);
    const adaptor_log_testing::Limits limits = NormaliseLimits(logLimit, logTrunc);
    g_log.logLimit = limits.logLimit;
    g_log.logTrunc = limits.logTrunc;

    g_log.traceLevel = ReadTraceLevel(levelValueName);
    WriteDebugLog(LOG_ERROR, "InitLogFile", L"LOGGER_TraceLevel %d", g_log.traceLevel);
    return 0;
}

int ReadTraceLevel(const wchar_t* valueName) {
    if (valueName == nullptr) return kDefaultTraceLevel;
    const std::wstring text =
        win::ReadRegistryText(HKEY_LOCAL_MACHINE, kTarnHostKey, valueName, kRegistryTextChars).value_or(L"");
    if (text.empty()) return kDefaultTraceLevel;
    switch (towupper(text[0])) {
        case L'E': return LOG_ERROR;
        case L'W': return LOG_WARNING;
        case L'I': return LOG_INFO;
        case L'V': return LOG_VERBOSE;
        case L'C': return 5;
        default: return 0;  // silences the file: no message has level 0
    }
}

std::wstring GetLogDir() {
    return win::ReadRegistryText(HKEY_LOCAL_MACHINE, kQuillonKey, kLogDirValue, kRegistryTextChars).value_or(L"");
}

std::wstring BaseNameWithoutExtension(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    EraseEvery(name, L".exe");
    EraseEvery(name, L".dll");
    return name;
}

namespace adaptor_log_testing {

Limits CurrentLimits() {
    win::Lock hold(g_log.lock);
    return {g_log.logLimit, g_log.logTrunc};
}

void OverrideLimits(DWORD logLimit, DWORD logTrunc) {
    win::Lock hold(g_log.lock);
    g_log.logLimit = logLimit;
    g_log.logTrunc = logTrunc;
}

int CurrentTraceLevel() {
    win::Lock hold(g_log.lock);
    return g_log.traceLevel;
}

std::wstring CurrentLogPath() {
    win::Lock hold(g_log.lock);
    return g_log.logPath;
}

void Reset() {
    win::Lock hold(g_log.lock);
    g_log.file.reset();
    g_log.shared.Detach();
    g_log.directory.reset();
    g_log.fileGeneration = 0;
    g_log.uncountedBytes = 0;
    g_log.logPath.clear();
    g_log.logLimit = kDefaultLogLimit;
    g_log.logTrunc = kDefaultLogTrunc;
    g_log.traceLevel = kDefaultTraceLevel;
    g_log.clockOffsetMs = 0;
    adaptor_log::ResetTrimTesting();
}

void AdvanceClock(ULONGLONG milliseconds) {
    win::Lock hold(g_log.lock);
    g_log.clockOffsetMs += milliseconds;
}

bool SharesWithOtherProcesses() {
    win::Lock hold(g_log.lock);
    return g_log.shared.IsShared();
}

bool HoldSharedLockOf(const std::wstring& logPath) {
    // Never detached: the process holds the lock until it ends.
    static adaptor_log::LogCoordination* const held = new adaptor_log::LogCoordination();
    return held->Attach(logPath).empty() && held->IsShared() && held->Enter();
}

}  // namespace adaptor_log_testing

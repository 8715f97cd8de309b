// The adaptor log. All state lives in one process-wide object guarded by the
// log lock; nothing else is locked or called under it except the C runtime
// and the registry, so any code may log while it holds its own locks.
#include "log/AdaptorLog.h"

#include "win/raii.h"

#include <io.h>
#include <share.h>
#include <shlwapi.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <mutex>
#include <vector>

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
// The trim copies through a line buffer of this many characters; longer lines
// are copied in pieces.
constexpr int kTrimLineChars = 10240;
// The stream positions used by the trim are 32-bit: larger files are left as
// they are.
constexpr LONGLONG kLargestTrimmableLength = 0x7FFFFFFF;

// Text mode is named explicitly so that a host that switched the runtime's
// default mode to binary still gets CR LF line ends.
constexpr wchar_t kLogOpenMode[] = L"a+t";
constexpr wchar_t kTempOpenMode[] = L"wt";

constexpr wchar_t kLinePrefixFormat[] = L"%d%02d%02d %02d:%02d:%02d.%03d %s %5x %s: ";
// Room for everything in the prefix except the function name.
constexpr size_t kPrefixFixedChars = 64;
// The first formatting attempt of a message gets this much room; longer
// messages are measured and formatted again.
constexpr size_t kMessageChars = 1024;

struct LogState {
    win::CriticalSection lock;
    win::UniqueFile stream;
    std::wstring logPath;
    std::wstring tempPath;
    DWORD logLimit = kDefaultLogLimit;
    DWORD logTrunc = kDefaultLogTrunc;
    int traceLevel = kDefaultTraceLevel;
    // Reused by every WriteLog call (under the lock) to spare an allocation
    // per line.
    std::wstring line;
    std::wstring functionName;
    std::string narrowLine;
};

// Created at static initialisation, before any code of the module can log.
LogState g_log;

win::UniqueFile OpenShared(const std::wstring& path, const wchar_t* mode) {
    if (path.empty()) return win::UniqueFile();
    return win::UniqueFile(_wfsopen(path.c_str(), mode, _SH_DENYNO));
}

bool ReadRegistryText(const wchar_t* subKey, const wchar_t* valueName, std::wstring& text) {
    win::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return false;
    }
    // One spare character: a stored string need not carry its terminator.
    wchar_t buffer[kRegistryTextChars + 1] = {};
    DWORD type = REG_NONE;
    DWORD size = kRegistryTextChars * sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS) {
        return false;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    text.assign(buffer, wcsnlen(buffer, size / sizeof(wchar_t)));
    return true;
}

DWORD ReadRegistryDword(const wchar_t* subKey, const wchar_t* valueName, DWORD fallback) {
    win::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return fallback;
    }
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value)) {
        return fallback;
    }
    return value;
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
    const int written =
        _snwprintf(&line[0], line.size(), kLinePrefixFormat, now.wYear, now.wMonth, now.wDay,
                   now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, LevelLetter(level),
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

void BuildLine(std::wstring& line, std::wstring& functionName, int level, const char* function,
               const wchar_t* format, va_list args) {
    WidenFunctionName(function, functionName);
    FormatPrefix(line, level, functionName);
    AppendMessage(line, format, args);
    line.push_back(L'\n');
}

// Converts the line by the runtime's current locale, as a wide write to a
// text stream does, but in one call instead of one call per character: the
// write is then as cheap as a narrow one. A character that the locale cannot
// represent would make the runtime stop a wide write there, cutting the line
// and gluing the next one to it; it becomes '?' instead, so every line stays
// whole.
void ToLocaleText(const std::wstring& line, std::string& narrow) {
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

bool StreamLength(FILE* stream, LONGLONG& length) {
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    if (handle == -1) return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(handle), &size)) return false;
    length = size.QuadPart;
    return true;
}

// Skips the (usually partial) line at the current position of log, then
// copies the rest to temp line by line.
void CopyNewestLines(FILE* log, FILE* temp) {
    std::vector<wchar_t> buffer(kTrimLineChars);
    if (fgetws(buffer.data(), kTrimLineChars, log) == nullptr) return;
    while (fgetws(buffer.data(), kTrimLineChars, log) != nullptr) {
        if (fputws(buffer.data(), temp) < 0) return;
    }
}

// Puts the trimmed file in the log's place in one step: if that fails, the
// old log stays as it was, so the newest lines are never lost with it. The
// stream is opened again on whichever file now holds the log.
void ReplaceLogWithTrimmedFile() {
    MoveFileExW(g_log.tempPath.c_str(), g_log.logPath.c_str(), MOVEFILE_REPLACE_EXISTING);
    DeleteFileW(g_log.tempPath.c_str());
    g_log.stream = OpenShared(g_log.logPath, kLogOpenMode);
}

// Cuts the log back to its newest LogTrunc bytes (whole lines only). Called
// with the log lock held and the stream open.
void TrimLogFile() {
    LONGLONG length = 0;
    if (!StreamLength(g_log.stream.get(), length) || length <= g_log.logLimit ||
        length > kLargestTrimmableLength) {
        return;
    }
    win::UniqueFile temp = OpenShared(g_log.tempPath, kTempOpenMode);
    if (!temp) return;
    const long cut = static_cast<long>(length - g_log.logTrunc);
    if (fseek(g_log.stream.get(), cut, SEEK_SET) != 0) {
        temp.reset();
        DeleteFileW(g_log.tempPath.c_str());
        return;
    }
    CopyNewestLines(g_log.stream.get(), temp.get());
    temp.reset();
    g_log.stream.reset();
    ReplaceLogWithTrimmedFile();
}

void EraseEvery(std::wstring& text, const std::wstring& part) {
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at)) {
        text.erase(at, part.size());
    }
}

// Called with the log lock held.
bool EnsureStreamOpen() {
    if (!g_log.stream) g_log.stream = OpenShared(g_log.logPath, kLogOpenMode);
    return static_cast<bool>(g_log.stream);
}

}  // namespace

void WriteLog(int level, const char* function, const wchar_t* format, ...) noexcept {
    std::lock_guard<win::CriticalSection> hold(g_log.lock);
    if (level > g_log.traceLevel || !EnsureStreamOpen()) return;

    va_list args;
    va_start(args, format);
    try {
        BuildLine(g_log.line, g_log.functionName, level, function, format, args);
    } catch (const std::bad_alloc&) {
        // No memory for the line: it is dropped, the caller goes on.
        va_end(args);
        return;
    }
    va_end(args);

    // The line was formatted once; it is written as it stands, so a '%'
    // that came in with an argument stays a '%'. The text-mode stream turns
    // the line feed into CR LF.
    try {
        ToLocaleText(g_log.line, g_log.narrowLine);
    } catch (const std::bad_alloc&) {
        return;
    }
    fwrite(g_log.narrowLine.data(), 1, g_log.narrowLine.size(), g_log.stream.get());
    fflush(g_log.stream.get());

    LONGLONG length = 0;
    if (!StreamLength(g_log.stream.get(), length) || length > g_log.logLimit) {
        try {
            TrimLogFile();
        } catch (const std::bad_alloc&) {
            // The trim is tried again after the next line.
        }
    }
}

void WriteDebugLog(int level, const char* function, const wchar_t* format, ...) {
    std::wstring line;
    std::wstring functionName;
    va_list args;
    va_start(args, format);
    BuildLine(line, functionName, level, function, format, args);
    va_end(args);
    OutputDebugStringW(line.c_str());
}

int InitLogFile(const wchar_t* fileName, const wchar_t* levelValueName, const wchar_t* directory) {
    std::lock_guard<win::CriticalSection> hold(g_log.lock);
    if (g_log.stream) return -2;

    const std::wstring logDir = directory != nullptr ? std::wstring(directory) : GetLogDir();
    if (logDir.empty()) return -1;
    CreateDirectoryW(logDir.c_str(), nullptr);

    wchar_t combined[MAX_PATH] = {};
    if (PathCombineW(combined, logDir.c_str(), fileName != nullptr ? fileName : L"") == nullptr) {
        // Too long for a path: there is nowhere to write.
        return -1;
    }
    g_log.logPath = combined;
    g_log.stream = OpenShared(g_log.logPath, kLogOpenMode);
    g_log.tempPath = g_log.logPath + L".tmp";

    const DWORD logLimit = ReadRegistryDword(kTarnHostKey, kLogLimitValue, kDefaultLogLimit);
    const DWORD logTrunc = ReadRegistryDword(kTarnHostKey, kLogTruncValue, kDefaultLogTrunc);
    const adaptor_log_testing::Limits limits = NormaliseLimits(logLimit, logTrunc);
    g_log.logLimit = limits.logLimit;
    g_log.logTrunc = limits.logTrunc;

    g_log.traceLevel = ReadTraceLevel(levelValueName);
    WriteDebugLog(LOG_ERROR, "InitLogFile", L"LOGGER_TraceLevel %d", g_log.traceLevel);
    return 0;
}

int ReadTraceLevel(const wchar_t* valueName) {
    std::wstring text;
    if (valueName == nullptr || !ReadRegistryText(kTarnHostKey, valueName, text) || text.empty()) {
        return kDefaultTraceLevel;
    }
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
    std::wstring directory;
    if (!ReadRegistryText(kQuillonKey, kLogDirValue, directory)) directory.clear();
    return directory;
}

std::wstring BaseNameWithoutExtension(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    EraseEvery(name, L".exe");
    EraseEvery(name, L".dll");
    return name;
}

namespace adaptor_log_testing {

Limits CurrentLimits() {
    std::lock_guard<win::CriticalSection> hold(g_log.lock);
    return {g_log.logLimit, g_log.logTrunc};
}

void OverrideLimits(DWORD logLimit, DWORD logTrunc) {
    std::lock_guard<win::CriticalSection> hold(g_log.lock);
    g_log.logLimit = logLimit;
    g_log.logTrunc = logTrunc;
}

int CurrentTraceLevel() {
    std::lock_guard<win::CriticalSection> hold(g_log.lock);
    return g_log.traceLevel;
}

std::wstring CurrentLogPath() {
    std::lock_guard<win::CriticalSection> hold(g_log.lock);
    return g_log.logPath;
}

void Reset() {
    std::lock_guard<win::CriticalSection> hold(g_log.lock);
    g_log.stream.reset();
    g_log.logPath.clear();
    g_log.tempPath.clear();
    g_log.logLimit = kDefaultLogLimit;
    g_log.logTrunc = kDefaultLogTrunc;
    g_log.traceLevel = kDefaultTraceLevel;
}

}  // namespace adaptor_log_testing

// The trim works on bytes, never on text: a text-mode read would stop at the
// first Ctrl-Z a blade or the server put into a line, and would change line
// ends. Every read and write of the copy is checked; the old log is replaced
// only by a complete copy, and the copy is deleted whatever happens.
#include "log/LogTrim.h"

#include "log/AdaptorLog.h"
#include "log/LogFileSafety.h"
#include "win/raii.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace adaptor_log {
namespace {

constexpr DWORD kCopyChunkBytes = 256 * 1024;
// Attempts at a side file name before giving up. The names are random: a
// local user cannot plant them in advance to make every trim fail.
constexpr int kSideNameAttempts = 8;

std::atomic<unsigned> g_copiesStarted{0};
std::atomic<adaptor_log_testing::CopyFault> g_fault{adaptor_log_testing::CopyFault::kNone};
std::atomic<ULONGLONG> g_faultAfterBytes{0};
std::atomic<DWORD> g_unlockedCopyDelayMs{0};

// "<log>.<16 random hex digits><suffix>" beside the log.
std::wstring SidePath(const std::wstring& logPath, const wchar_t* suffix) {
    return logPath + L"." + RandomNamePart() + suffix;
}

bool IsNameTaken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

// True when the test fault applies to an operation that would bring the
// bytes that went through the copy from done to done + count.
bool FaultHits(adaptor_log_testing::CopyFault fault, ULONGLONG done, ULONGLONG count) {
    return g_fault.load() == fault && done + count > g_faultAfterBytes.load();
}

// The copy of the newest part, created beside the log with a name of its own
// and deleted on destruction unless it was moved into the log's place.
class TrimCopy {
public:
    explicit TrimCopy(const std::wstring& logPath) {
        for (int attempt = 0; attempt < kSideNameAttempts && !file_; ++attempt) {
            path_ = SidePath(logPath, L".tmp");
            // Not inheritable, and closed for writing to others. A name that
            // exists, whatever it is (a planted link too), is not used.
            file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!file_ && !IsNameTaken(GetLastError())) break;
        }
        created_ = static_cast<bool>(file_);
    }
    ~TrimCopy() {
        file_.reset();
        if (created_ && !moved_) DeleteFileW(path_.c_str());
    }
    TrimCopy(const TrimCopy&) = delete;
    TrimCopy& operator=(const TrimCopy&) = delete;

    explicit operator bool() const { return static_cast<bool>(file_); }
    const std::wstring& path() const { return path_; }

    // All of data or a failure: a short write is a failure.
    bool Write(const char* data, DWORD count) {
        if (count == 0) return true;
        if (FaultHits(adaptor_log_testing::CopyFault::kWriteError, written_, count)) return false;
        DWORD wanted = count;
        if (FaultHits(adaptor_log_testing::CopyFault::kShortWrite, written_, count)) {
            wanted = static_cast<DWORD>(g_faultAfterBytes.load() - written_);  // the disk filled up
        }
        DWORD done = 0;
        const bool wrote = wanted == 0 || WriteFile(file_.get(), data, wanted, &done, nullptr);
        written_ += done;
        return wrote && done == count;
    }

    // Flushes and closes the file; a failure of either fails the copy (a
    // full disk may only show here). The handle is closed here rather than by
    // its owner because the result of the close counts.
    bool Finish() {
        const bool flushed =
            FlushFileBuffers(file_.get()) && g_fault.load() != adaptor_log_testing::CopyFault::kFlushError;
        return CloseHandle(file_.release()) && flushed;
    }

    void MarkMoved() { moved_ = true; }

private:
    std::wstring path_;
    win::UniqueHandle file_;
    ULONGLONG written_ = 0;
    bool created_ = false;
    bool moved_ = false;
};

// Reads the next chunk of the log; false on a read error. read == 0 at the end.
bool ReadChunk(HANDLE log, std::vector<char>& buffer, DWORD& read, ULONGLONG& readSoFar) {
    read = 0;
    if (!ReadFile(log, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
    if (FaultHits(adaptor_log_testing::CopyFault::kReadError, readSoFar, read)) return false;
    readSoFar += read;
    return true;
}

// Where a copy of the newest part stands: it skips to the first line break
// at or after the cut (the line there is usually cut in two; one that begins
// exactly at the cut goes too), then copies everything after it.
struct CopyProgress {
    std::vector<char> buffer = std::vector<char>(kCopyChunkBytes);
    ULONGLONG readSoFar = 0;
    bool skipping = true;
};

// Copies from the log's current position to its present end.
bool CopyToEnd(HANDLE log, CopyProgress& progress, TrimCopy& copy) {
    for (;;) {
        DWORD read = 0;
        if (!ReadChunk(log, progress.buffer, read, progress.readSoFar)) return false;
        if (read == 0) return true;
        const char* data = progress.buffer.data();
        if (progress.skipping) {
            const void* lineBreak = std::memchr(data, '\n', read);
            if (lineBreak == nullptr) continue;
            progress.skipping = false;
            const char* kept = static_cast<const char*>(lineBreak) + 1;
            read -= static_cast<DWORD>(kept - data);
            data = kept;
        }
        if (!copy.Write(data, read)) return false;
    }
}

bool SeekTo(HANDLE file, ULONGLONG offset) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != FALSE;
}

// Appends to the new log what reached the old one, now at asidePath, after
// the copy had read it up to copiedTo: lines of a writer that wrote without
// the lock (it had waited it out) through a handle of the old file.
void CatchUp(const std::wstring& asidePath, ULONGLONG copiedTo, const std::wstring& logPath) {
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    CheckedOpen aside = OpenPlainFile(asidePath, GENERIC_READ, kShareAll, OPEN_EXISTING);
    LARGE_INTEGER length;
    if (!aside.handle || !GetFileSizeEx(aside.handle.get(), &length) ||
        static_cast<ULONGLONG>(length.QuadPart) <= copiedTo || !SeekTo(aside.handle.get(), copiedTo)) {
        return;
    }
    CheckedOpen log = OpenPlainFile(logPath, FILE_APPEND_DATA, kShareAll, OPEN_EXISTING);
    std::vector<char> buffer(kCopyChunkBytes);
    DWORD read = 0;
    while (log.handle && ReadFile(aside.handle.get(), buffer.data(), kCopyChunkBytes, &read, nullptr) && read > 0) {
        DWORD written = 0;
        if (!WriteFile(log.handle.get(), buffer.data(), read, &written, nullptr)) return;
    }
}

// Moves the log aside under a name of its own; false if it cannot be moved.
bool MoveAside(const std::wstring& logPath, std::wstring& asidePath) {
    for (int attempt = 0; attempt < kSideNameAttempts; ++attempt) {
        asidePath = SidePath(logPath, L".old.tmp");
        if (MoveFileExW(logPath.c_str(), asidePath.c_str(), 0)) return true;
        if (!IsNameTaken(GetLastError())) return false;
    }
    return false;
}

// Puts the copy in the log's place; on failure the old log stays there.
// asidePath is set when the old log went aside: it is deleted by the caller.
bool PutInPlace(TrimCopy& copy, const std::wstring& logPath, std::wstring& asidePath) {
    if (MoveFileExW(copy.path().c_str(), logPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        copy.MarkMoved();
        return true;
    }
    // Windows refuses to replace a file that another handle holds open, even
    // one that allows deletion (another process writing the same log). Such a
    // file can still be renamed: it goes aside, the copy takes its name, and
    // the old file vanishes when its last handle closes. Those handles learn
    // of the replacement through the shared generation count.
    if (!MoveAside(logPath, asidePath)) return false;
    if (MoveFileExW(copy.path().c_str(), logPath.c_str(), 0)) {
        copy.MarkMoved();
        return true;
    }
    // Someone created a new file at the log path in between: the old log
    // goes back if it can (else it stays, whole, under its side name).
    MoveFileExW(asidePath.c_str(), logPath.c_str(), 0);
    asidePath.clear();
    return false;
}

}  // namespace

TrimOutcome TrimLogFile(const std::wstring& logPath, ULONGLONG limitBytes, ULONGLONG keepBytes,
                        CoordinationHold& hold) {
    // The log is read only when it is the plain file it should be: a link
    // planted in its place must not have another file's tail copied.
    CheckedOpen log =
        OpenPlainFile(logPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    LARGE_INTEGER length;
    if (!log.handle || !GetFileSizeEx(log.handle.get(), &length)) return TrimOutcome::kFailed;
    const auto bytes = static_cast<ULONGLONG>(length.QuadPart);
    if (bytes <= limitBytes || bytes <= keepBytes) return TrimOutcome::kNothingToCut;

    ++g_copiesStarted;
    TrimCopy copy(logPath);
    const ULONGLONG cut = bytes - keepBytes;
    if (!copy || !SeekTo(log.handle.get(), cut)) return TrimOutcome::kFailed;
    CopyProgress progress;
    hold.Leave();
    const bool copied = CopyToEnd(log.handle.get(), progress, copy);
    if (const DWORD delay = g_unlockedCopyDelayMs.load()) Sleep(delay);
    if (!hold.Enter() || !copied || !CopyToEnd(log.handle.get(), progress, copy) || !copy.Finish()) {
        return TrimOutcome::kFailed;
    }
    log.handle.reset();
    std::wstring asidePath;
    if (!PutInPlace(copy, logPath, asidePath)) return TrimOutcome::kFailed;
    if (!asidePath.empty()) {
        CatchUp(asidePath, cut + progress.readSoFar, logPath);
        DeleteFileW(asidePath.c_str());
    }
    return TrimOutcome::kTrimmed;
}

void ResetTrimTesting() {
    g_copiesStarted = 0;
    g_unlockedCopyDelayMs = 0;
    g_fault = adaptor_log_testing::CopyFault::kNone;
    g_faultAfterBytes = 0;
}

}  // namespace adaptor_log

namespace adaptor_log_testing {

void InjectCopyFault(CopyFault fault, ULONGLONG afterBytes) {
    adaptor_log::g_faultAfterBytes = afterBytes;
    adaptor_log::g_fault = fault;
}

unsigned TrimCopiesStarted() { return adaptor_log::g_copiesStarted.load(); }

void DelayUnlockedCopy(DWORD milliseconds) { adaptor_log::g_unlockedCopyDelayMs = milliseconds; }

}  // namespace adaptor_log_testing

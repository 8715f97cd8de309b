// Lines per second through WriteLog (a written level: formatted, appended to
// the file in one write and size-checked) against a plain loop that writes
// and flushes the very same lines with the C runtime; then the same while
// another process holds the lock that the log's writers share (the first
// line waits for it, once; the figure shows what each line costs after).
// Usage: log_bench [lines] [rounds]
#include "BenchClock.h"
#include "log/AdaptorLog.h"
#include "win/raii.h"

#include <share.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bench::Now;
using bench::Seconds;

double TimeWriteLog(int lines) {
    const LARGE_INTEGER start = Now();
    for (int i = 0; i < lines; ++i) {
        WriteLog(LOG_ERROR, "TarnAdaptor::QueryPolicyContent", L"Request %d for %s finished, hr: 0x%08x", i,
                 L"policy type 60, PAC 2", 0u);
    }
    return Seconds(start, Now());
}

double TimePlainLoop(FILE* file, const std::vector<std::wstring>& lines) {
    const LARGE_INTEGER start = Now();
    for (const std::wstring& line : lines) {
        fputws(line.c_str(), file);
        fflush(file);
    }
    return Seconds(start, Now());
}

// The last count lines of a text-mode file, each with its line feed.
std::vector<std::wstring> LastLines(const std::wstring& path, size_t count) {
    std::vector<std::wstring> lines;
    win::UniqueFile file(_wfsopen(path.c_str(), L"rt", _SH_DENYNO));
    wchar_t buffer[4096];
    while (file && fgetws(buffer, 4096, file.get()) != nullptr) lines.emplace_back(buffer);
    if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
    return lines;
}

std::wstring Widen(const char* text) {
    const int chars = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(chars > 0 ? static_cast<size_t>(chars) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], chars);
    wide.resize(wide.size() - 1);
    return wide;
}

// The second process: holds the log's shared lock until told to let go.
int HoldLock(const char* logPath, const char* ready, const char* release) {
    if (!adaptor_log_testing::HoldSharedLockOf(Widen(logPath))) return 2;
    win::UniqueHandle readyEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, ready));
    win::UniqueHandle releaseEvent(OpenEventA(SYNCHRONIZE, FALSE, release));
    if (!readyEvent || !releaseEvent || !SetEvent(readyEvent.get())) return 3;
    return WaitForSingleObject(releaseEvent.get(), 600000) == WAIT_OBJECT_0 ? 0 : 4;
}

// A copy of this program that holds the lock of logPath while it lives.
class LockHolder {
public:
    explicit LockHolder(const std::wstring& logPath) {
        const std::wstring id = std::to_wstring(GetCurrentProcessId());
        const std::wstring readyName = L"Local\\tarn-log-bench-ready-" + id;
        const std::wstring releaseName = L"Local\\tarn-log-bench-release-" + id;
        ready_.reset(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        release_.reset(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
        wchar_t program[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        std::wstring commandLine =
            L"\"" + std::wstring(program) + L"\" --hold \"" + logPath + L"\" " + readyName + L" " + releaseName;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            return;
        }
        process_.reset(info.hProcess);
        win::UniqueHandle thread(info.hThread);
        HANDLE waits[] = {ready_.get(), process_.get()};
        holding_ = WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
    }
    ~LockHolder() {
        SetEvent(release_.get());
        if (process_) WaitForSingleObject(process_.get(), 60000);
    }
    bool holding() const { return holding_; }

private:
    win::UniqueHandle ready_;
    win::UniqueHandle release_;
    win::UniqueHandle process_;
    bool holding_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--hold") return HoldLock(argv[2], argv[3], argv[4]);
    const int lineCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::wstring dir = bench::MakeBenchDir(L"tarn-log-bench-");
    const std::wstring logPath = dir + L"\\bench-adaptor.log";
    const std::wstring plainPath = dir + L"\\plain.log";

    if (InitLogFile(L"bench-adaptor.log", L"ALogLevel", dir.c_str()) != 0 ||
        adaptor_log_testing::CurrentTraceLevel() < LOG_ERROR) {
        std::fprintf(stderr, "log_bench: the log did not start or is silenced\n");
        return 1;
    }
    win::UniqueFile plain(_wfsopen(plainPath.c_str(), L"a+t", _SH_DENYNO));
    if (!plain) {
        std::fprintf(stderr, "log_bench: cannot open the plain file\n");
        return 1;
    }

    // Rounds alternate so that both sides see the same state of the machine;
    // the best round of each counts.
    double bestLog = 1e30;
    double bestPlain = 1e30;
    for (int round = 0; round < rounds; ++round) {
        bestLog = std::min(bestLog, TimeWriteLog(lineCount));
        const std::vector<std::wstring> lines = LastLines(logPath, static_cast<size_t>(lineCount));
        if (lines.size() != static_cast<size_t>(lineCount)) {
            std::fprintf(stderr, "log_bench: %zu lines written, %d expected\n", lines.size(), lineCount);
            return 1;
        }
        bestPlain = std::min(bestPlain, TimePlainLoop(plain.get(), lines));
    }
    // Another process holds the lock: the first line waits it out, the
    // others do not wait.
    double firstLine = 0;
    double bestHeld = 1e30;
    {
        LockHolder holder(logPath);
        if (!holder.holding()) {
            std::fprintf(stderr, "log_bench: the second process did not take the lock\n");
            return 1;
        }
        firstLine = TimeWriteLog(1);
        for (int round = 0; round < rounds; ++round) bestHeld = std::min(bestHeld, TimeWriteLog(lineCount));
    }
    plain.reset();
    adaptor_log_testing::Reset();
    DeleteFileW(logPath.c_str());
    DeleteFileW(plainPath.c_str());
    RemoveDirectoryW(dir.c_str());

    const double logRate = lineCount / bestLog;
    const double plainRate = lineCount / bestPlain;
    std::printf("lines per round: %d, rounds: %d\n", lineCount, rounds);
    std::printf("WriteLog:   %10.0f lines/s\n", logRate);
    std::printf("plain loop: %10.0f lines/s\n", plainRate);
    std::printf("ratio WriteLog/plain: %.3f\n", logRate / plainRate);
    std::printf(
        "with the lock held by another process: first line %.0f ms, then %10.0f lines/s, "
        "ratio to plain %.3f\n",
        firstLine * 1000, lineCount / bestHeld, (lineCount / bestHeld) / plainRate);
    return 0;
}

// Lines per second through WriteLog (a written level: formatted, appended to
// the file in one write and size-checked) against a plain loop that writes
// and flushes the very same lines with the C runtime. Usage:
// log_bench [lines] [rounds]
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
        WriteLog(LOG_ERROR, "TarnAdaptor::QueryPolicyContent",
                 L"Request %d for %s finished, hr: 0x%08x", i, L"policy type 60, PAC 2", 0u);
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

}  // namespace

int main(int argc, char** argv) {
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
    return 0;
}

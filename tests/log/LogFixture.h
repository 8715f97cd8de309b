// Common ground of the log tests: every case starts the log in a directory
// of its own, with the registry settings it names, and reads the file back.
#pragma once

#include "LogFile.h"
#include "Registry.h"
#include "TempDir.h"
#include "log/AdaptorLog.h"
#include "win/raii.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>

namespace log_test {

using tarn_test::ScopedRegistryValue;

inline constexpr wchar_t kQuillonKey[] = L"SOFTWARE\\Corvalis\\Quillon";
inline constexpr wchar_t kTarnHostKey[] = L"SOFTWARE\\Corvalis\\Quillon\\TarnHost";
inline constexpr wchar_t kLevelValue[] = L"ALogLevel";

// The thread identifier as the log shows it: lower-case hex, five wide.
inline std::string ThreadField(DWORD threadId) {
    char field[16];
    std::snprintf(field, sizeof(field), "%5lx", static_cast<unsigned long>(threadId));
    return field;
}

inline bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The bytes a line that this thread writes under function takes in the
// file: every field of the layout has a fixed width.
inline size_t StoredLength(const std::string& function, const std::string& message) {
    const size_t timeAndLetter = std::string("20261206 12:00:34.228 I ").size();
    return timeAndLetter + ThreadField(GetCurrentThreadId()).size() + 1 + function.size() + 2 + message.size() + 2;
}

// The files in directory whose names begin with the log's name, the log
// itself and the writers' lock file "<log>.lock" left out: what a trim left
// behind.
inline std::vector<std::wstring> SideFilesOf(const std::wstring& directory, const std::wstring& logName) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    win::UniqueFindHandle search(FindFirstFileW((directory + L"\\*").c_str(), &entry));
    if (!search) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != logName && name != logName + L".lock" && name.compare(0, logName.size(), logName) == 0) {
            names.push_back(name);
        }
    } while (FindNextFileW(search.get(), &entry));
    return names;
}

// Collects what the process sends to the debugger output meanwhile. With no
// debugger attached, OutputDebugString raises an exception that the system
// continues past; a first handler sees its text.
class DebugOutputCapture {
public:
    DebugOutputCapture() : handler_(AddVectoredExceptionHandler(1, &Capture)) { Text().clear(); }
    ~DebugOutputCapture() { RemoveVectoredExceptionHandler(handler_); }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
    std::string text() const { return Text(); }

private:
    static std::string& Text() {
        static std::string text;
        return text;
    }
    static LONG CALLBACK Capture(EXCEPTION_POINTERS* exception) {
        const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
        constexpr DWORD kNarrow = 0x40010006;  // DBG_PRINTEXCEPTION_C
        constexpr DWORD kWide = 0x4001000A;    // DBG_PRINTEXCEPTION_WIDE_C
        if ((record.ExceptionCode != kNarrow && record.ExceptionCode != kWide) || record.NumberParameters < 2) {
            return EXCEPTION_CONTINUE_SEARCH;
        }
        if (record.ExceptionCode == kWide) {
            for (auto c = reinterpret_cast<const wchar_t*>(record.ExceptionInformation[1]); *c; ++c) {
                Text().push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
            }
        } else {
            Text() += reinterpret_cast<const char*>(record.ExceptionInformation[1]);
        }
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    void* handler_;
};

// One line "<date> <time> <letter> <thread> <function>: <message>", taken apart.
struct LineParts {
    std::string time, letter, thread, function, message;
};

// Fails the test (and gives empty parts) when the line has another layout.
inline LineParts Parse(const std::wstring& line) {
    // The message may be long: only the prefix goes through the regex. The
    // thread field is five wide, blanks only in front, never padded beyond.
    static const std::regex prefix(
        R"(^(\d{8} \d{2}:\d{2}:\d{2}\.\d{3}) ([OEWIVCX]) )"
        R"(( {4}[0-9a-f]| {3}[0-9a-f]{2}| {2}[0-9a-f]{3}| [0-9a-f]{4}|[0-9a-f]{5,}) ([^ ]*)$)");
    const std::string text(line.begin(), line.end());
    const size_t colon = text.find(": ");
    const std::string head = text.substr(0, colon);
    std::smatch m;
    const bool ok = colon != std::string::npos && std::regex_match(head, m, prefix);
    EXPECT_TRUE(ok) << text.substr(0, 200);
    if (!ok) return {};
    return {m[1].str(), m[2].str(), m[3].str(), m[4].str(), text.substr(colon + 2)};
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        adaptor_log_testing::Reset();
        // The limits come from the registry on every start: keep them at
        // their defaults unless a test says otherwise.
        Set(ScopedRegistryValue::Missing(kTarnHostKey, L"LogLimit"));
        Set(ScopedRegistryValue::Missing(kTarnHostKey, L"LogTrunc"));
    }
    void TearDown() override {
        // Closes the stream so that the directory can go; then newest setting
        // first, so that a later setting of a value restores the earlier one.
        adaptor_log_testing::Reset();
        while (!settings_.empty()) settings_.pop_back();
    }
    // Keeps the value set (or removed) until the end of the test.
    void Set(ScopedRegistryValue value) {
        settings_.push_back(std::make_unique<ScopedRegistryValue>(std::move(value)));
    }
    void SetLevelText(const std::wstring& text) { Set(ScopedRegistryValue::String(kTarnHostKey, kLevelValue, text)); }
    // Starts the log afresh on fileName in the test's directory.
    void StartLog(const std::wstring& fileName = L"test-adaptor.log") {
        adaptor_log_testing::Reset();
        fileName_ = fileName;
        ASSERT_EQ(0, InitLogFile(fileName.c_str(), kLevelValue, dir_.path().c_str()));
        ASSERT_EQ(LogPath(), adaptor_log_testing::CurrentLogPath());
    }
    std::wstring LogPath() const { return dir_.Join(fileName_); }
    std::vector<std::wstring> Lines() const { return tarn_test::ReadLogLines(LogPath()); }
    std::string Bytes() const { return tarn_test::ReadFileBytes(LogPath()); }
    ULONGLONG FileLength() const {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(LogPath().c_str(), GetFileExInfoStandard, &data)) return 0;
        return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    std::vector<std::wstring> SideFiles() const { return SideFilesOf(dir_.path(), fileName_); }

    tarn_test::ScopedTempDir dir_;
    std::wstring fileName_;
    std::vector<std::unique_ptr<ScopedRegistryValue>> settings_;
};

}  // namespace log_test

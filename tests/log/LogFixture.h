// Common ground of the log tests: every case starts the log in a directory
// of its own, with the registry settings it names, and reads the file back.
#pragma once

#include "LogFile.h"
#include "Registry.h"
#include "TempDir.h"
#include "log/AdaptorLog.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace log_test {

extern const wchar_t kQuillonKey[];
extern const wchar_t kTarnHostKey[];
extern const wchar_t kLevelValue[];

// One line of the log, taken apart.
struct LineParts {
    std::string time;      // "YYYYMMDD hh:mm:ss.mmm"
    std::string letter;
    std::string thread;    // the thread field as written, five wide
    std::string function;
    std::string message;
};
// Splits "<date> <time> <letter> <thread> <function>: <message>"; false when
// the line does not have that layout.
bool ParseLine(const std::wstring& line, LineParts& parts);

std::string Narrow(const std::wstring& text);
// The thread identifier as the log shows it: lower-case hex, right-aligned
// in five places.
std::string ThreadField(DWORD threadId);

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sets "ALogLevel" for this test; an empty text is stored as such.
    void SetLevelText(const std::wstring& text);
    // Starts the log on fileName in the test's directory.
    void StartLog(const std::wstring& fileName = L"test-adaptor.log");
    std::wstring LogPath() const { return dir_.Join(fileName_); }
    std::vector<std::wstring> Lines() const { return tarn_test::ReadLogLines(LogPath()); }
    std::string Bytes() const { return tarn_test::ReadFileBytes(LogPath()); }

    tarn_test::ScopedTempDir dir_;
    std::wstring fileName_;
    std::vector<std::unique_ptr<tarn_test::ScopedRegistryValue>> settings_;
};

}  // namespace log_test

// The frame of a test that drives the stub through its exports: a fresh log
// directory in "LOGDIR", and a reader for the adaptor log the stub writes
// there ("<process>-tarnstub-adaptor.log").
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "Registry.h"
#include "TempDir.h"

namespace tarn_test {

constexpr wchar_t kQuillonKey[] = L"SOFTWARE\\Corvalis\\Quillon";
constexpr wchar_t kTarnHostKey[] = L"SOFTWARE\\Corvalis\\Quillon\\TarnHost";

class StubTest : public ::testing::Test {
protected:
    void SetUp() override;

    // The adaptor log's path and its lines, as the stub wrote them.
    std::wstring LogPath() const;
    std::vector<std::wstring> LogLines() const;
    // The number of lines containing text.
    size_t CountLogLines(const std::wstring& text) const;
    bool LogHas(const std::wstring& text) const { return CountLogLines(text) > 0; }
    // The lines as one text, for failure messages.
    std::string LogDump() const;

    ScopedTempDir logDir_;

private:
    std::unique_ptr<ScopedRegistryValue> logDirValue_;
    std::unique_ptr<ScopedRegistryValue> levelValue_;
};

// The base name of this test program, in lower case and without ".exe".
std::wstring ProcessBaseName();

// Removes the Tarn server's class registration from the prefix, so that the
// stub finds no server.
void RemoveServerRegistration();

}  // namespace tarn_test

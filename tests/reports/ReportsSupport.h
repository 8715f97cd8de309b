// Shared frame of the reports and payload tests: the reference server up,
// the stub initialised against it, and the adaptor log by function and level.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "LogFile.h"
#include "ServerFixture.h"

namespace reports_test {

// The blade type the tests initialise with: an ordinary blade with the
// default notification peer.
constexpr DWORD kBladeType = 12;

class ReportsTest : public tarn_test::ServerTest {
protected:
    // Initialize(kBladeType), asserting that it connected to the server.
    void InitializeConnected();

    // The lines written under one function name.
    std::vector<tarn_test::LogEntry> EntriesOf(const std::wstring& function) const;
    // The messages of the lines written under function at level.
    std::vector<std::wstring> TextsOf(const std::wstring& function, wchar_t level) const;
    // What the notification peer was told through OnAdaptorError, one
    // "hr: 0x... message: ..." text per report.
    std::vector<std::wstring> AdaptorErrors() const;
    // The number of level-1 lines so far.
    size_t ErrorLineCount() const;
};

// A BSTR out-slot preset to a value the stub must not touch, freed after.
class BstrSlot {
public:
    BstrSlot() : value_(SysAllocString(L"untouched")), original_(value_) {}
    ~BstrSlot() { SysFreeString(value_); }
    BstrSlot(const BstrSlot&) = delete;
    BstrSlot& operator=(const BstrSlot&) = delete;

    BSTR* Out() { return &value_; }
    BSTR get() const { return value_; }
    bool Untouched() const { return value_ == original_; }
    std::wstring Text() const { return value_ ? std::wstring(value_, SysStringLen(value_)) : L"<null>"; }

private:
    BSTR value_;
    BSTR original_;
};

}  // namespace reports_test

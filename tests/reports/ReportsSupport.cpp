#include "ReportsSupport.h"

#include "tarnref.h"
#include "tarnstub.h"

namespace reports_test {

void ReportsTest::InitializeConnected() {
    ASSERT_EQ(TARNSTUB_OK, Initialize(kBladeType));
    ASSERT_EQ(1u, TarnRef_CountCalls(L"Register")) << CallDump();
    ASSERT_EQ(1u, TarnRef_RegistrationCount());
}

std::vector<tarn_test::LogEntry> ReportsTest::EntriesOf(const std::wstring& function) const {
    return tarn_test::EntriesOf(LogLines(), function);
}

std::vector<std::wstring> ReportsTest::TextsOf(const std::wstring& function, wchar_t level) const {
    return tarn_test::TextsOf(LogLines(), function, level);
}

std::vector<std::wstring> ReportsTest::AdaptorErrors() const {
    return TextsOf(L"TarnNotificationPeer::OnAdaptorError", L'E');
}

size_t ReportsTest::ErrorLineCount() const {
    size_t count = 0;
    for (const tarn_test::LogEntry& entry : tarn_test::ParseLogLines(LogLines()))
        if (entry.level == L'E') ++count;
    return count;
}

}  // namespace reports_test

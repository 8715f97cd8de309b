// Policy content through GetPolicy and GetCommonClientPolicy: the UTF-8 bytes
// the server holds arrive as the right UTF-16 text, cut at a zero byte, and
// the failures give code 14 with their log lines and peer reports.
#include <gtest/gtest.h>

#include "LogFile.h"
#include "PolicyTestSupport.h"

namespace {

using policy_test::Bytes;
using policy_test::InitializedBladeTest;
using policy_test::SetContent;
using tarn_test::LevelsOf;

constexpr wchar_t kAdaptorName[] = L"TarnAdaptor::QueryPolicyContent";
constexpr wchar_t kPeerName[] = L"TarnNotificationPeer::OnAdaptorError";

// A BSTR the test owns; Text() keeps embedded characters by using the length.
struct OwnedBstr {
    BSTR value = nullptr;
    ~OwnedBstr() { SysFreeString(value); }
    std::wstring Text() const { return value ? std::wstring(value, SysStringLen(value)) : L"<null>"; }
};

class PolicyContentE2E : public InitializedBladeTest {
protected:
    // Fetches (60, 2) after setting its content to bytes.
    std::wstring Fetch(const std::string& bytes) {
        SetContent(60, 2, bytes);
        OwnedBstr content;
        EXPECT_EQ(TARNSTUB_OK, GetPolicy(60, 2, &content.value)) << LogDump();
        return content.Text();
    }
};

TEST_F(PolicyContentE2E, ThreeAsciiBytesGiveTheThreeCharacterText) {
    const std::wstring text = Fetch(Bytes("abc"));
    EXPECT_EQ(L"abc", text);
    EXPECT_EQ(std::vector<std::wstring>{L"GetPolicyContent(policyType=60, pac=2)"}, Calls()) << CallDump();
}

TEST_F(PolicyContentE2E, NonAsciiUtf8BecomesTheRightUtf16IncludingASurrogatePair) {
    // "Grüße € 𝄞" in UTF-8: two-, three- and four-byte sequences.
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E";
    const std::wstring expected = L"Gr\u00FC\u00DFe \u20AC \xD834\xDD1E";
    EXPECT_EQ(expected, Fetch(utf8));
}

TEST_F(PolicyContentE2E, ContentIsCutAtTheFirstZeroByte) {
    EXPECT_EQ(L"ab", Fetch(std::string("ab\0cd\0e", 7)));
}

TEST_F(PolicyContentE2E, ContentStartingWithAZeroByteIsAnEmptySuccess) {
    // Not an empty array: the server did answer content, it just reads as "".
    EXPECT_EQ(L"", Fetch(std::string("\0abc", 4)));
    EXPECT_TRUE(LevelsOf(LogLines(), kAdaptorName, L"Problem with the policy content(empty)").empty());
}

TEST_F(PolicyContentE2E, LargeContentWithoutAZeroByteArrivesWhole) {
    std::string bytes;
    for (int i = 0; i < 5000; ++i) bytes += static_cast<char>('a' + i % 26);
    const std::wstring text = Fetch(bytes);
    ASSERT_EQ(bytes.size(), text.size());
    EXPECT_EQ(std::wstring(bytes.begin(), bytes.end()), text);
}

TEST_F(PolicyContentE2E, EmptyContentIsAFailureReportedToThePeer) {
    SetContent(60, 2, std::string());
    BSTR content = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x5));
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x5)), content);
    const auto lines = LogLines();
    EXPECT_EQ(std::vector<wchar_t>{L'E'}, LevelsOf(lines, kAdaptorName, L"Problem with the policy content(empty)"))
        << LogDump();
    EXPECT_EQ(std::vector<wchar_t>{L'E'},
              LevelsOf(lines, kPeerName, L"hr: 0x80580007 message: Problem with the policy content(empty)"))
        << LogDump();
}

TEST_F(PolicyContentE2E, AFailedServerCallNamesTheMethodAndShowsTheRequestedPolicy) {
    SetContent(60, 2, Bytes("abc"));
    TarnRef_FailOperation(L"GetPolicyContent", E_FAIL);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(nullptr, content);
    const auto lines = LogLines();
    EXPECT_EQ(std::vector<wchar_t>{L'E'},
              LevelsOf(lines, kAdaptorName, L"GetPolicyContent call failed, hr: 0x80004005"))
        << LogDump();
    EXPECT_EQ(std::vector<wchar_t>{L'E'},
              LevelsOf(lines, kPeerName, L"hr: 0x80580005 message: GetPolicyContent call failed"))
        << LogDump();
    // The record the request built: every field set, no id, modDate 0, no key.
    const std::wstring head =
        L"PolicyInfo: Pol type: 60 pac: 2 id: 00000000-0000-0000-0000-000000000000 modDate: 0 (";
    bool shown = false;
    for (const tarn_test::LogEntry& entry : tarn_test::EntriesOf(lines, kAdaptorName)) {
        if (entry.text.compare(0, head.size(), head) != 0) continue;
        shown = true;
        EXPECT_EQ(L'V', entry.level);
        EXPECT_EQ(L") key: none", entry.text.substr(entry.text.size() - 11))
            << std::string(entry.text.begin(), entry.text.end());
    }
    EXPECT_TRUE(shown) << LogDump();
}

TEST_F(PolicyContentE2E, AFailureLeavesNothingBehindForTheNextRequest) {
    SetContent(60, 2, Bytes("after"));
    TarnRef_FailOperation(L"GetPolicyContent", RPC_E_DISCONNECTED);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    TarnRef_FailOperation(L"GetPolicyContent", 0);
    OwnedBstr second;
    EXPECT_EQ(TARNSTUB_OK, GetPolicy(60, 2, &second.value));
    EXPECT_EQ(L"after", second.Text());
}

TEST_F(PolicyContentE2E, CommonClientPolicyIsType51Pac1) {
    SetContent(51, 1, Bytes("<common/>"));
    OwnedBstr content;
    ASSERT_EQ(TARNSTUB_OK, GetCommonClientPolicy(&content.value));
    EXPECT_EQ(L"<common/>", content.Text());
    EXPECT_EQ(std::vector<std::wstring>{L"GetPolicyContent(policyType=51, pac=1)"}, Calls()) << CallDump();
}

TEST_F(PolicyContentE2E, CommonClientPolicyFailuresGiveCode14) {
    TarnRef_FailOperation(L"GetPolicyContent", E_ACCESSDENIED);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetCommonClientPolicy(&content));
    EXPECT_EQ(nullptr, content);
    EXPECT_EQ(1u, LevelsOf(LogLines(), kAdaptorName, L"GetPolicyContent call failed, hr: 0x80070005").size());
}

TEST_F(PolicyContentE2E, NegativeTypeAndPacArePassedThrough) {
    SetContent(-5, -1, Bytes("x"));
    OwnedBstr content;
    ASSERT_EQ(TARNSTUB_OK, GetPolicy(-5, -1, &content.value));
    EXPECT_EQ(L"x", content.Text());
    EXPECT_EQ(std::vector<std::wstring>{L"GetPolicyContent(policyType=-5, pac=-1)"}, Calls()) << CallDump();
}

}  // namespace

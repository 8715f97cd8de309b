// Which policy types a blade subscribes to, as the server sees them in
// Register: the defaults of the blade type, a list set before
// initialisation, and the list's life across Finalize.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "PolicyTestSupport.h"

namespace {

class PolicyTypesE2E : public policy_test::FinalizingServerTest {
protected:
    // The policy-type argument of every Register the server received.
    static std::vector<std::wstring> RegisteredTypeLists() {
        std::vector<std::wstring> lists;
        for (const std::wstring& line : CallsStartingWith(L"Register(")) {
            const size_t at = line.find(L"policyTypes=");
            lists.push_back(at == std::wstring::npos ? line : line.substr(at));
        }
        return lists;
    }
};

TEST_F(PolicyTypesE2E, UrlFilteringBladeSubscribesToItsFourDefaultTypesInOrder) {
    ASSERT_EQ(TARNSTUB_OK, InitializeUrlFilteringTarnStub());
    EXPECT_EQ(std::vector<std::wstring>{L"policyTypes=VT_UI4[lb=0]{77,80,78,51})"}, RegisteredTypeLists())
        << CallDump();
}

TEST_F(PolicyTypesE2E, Blade12SubscribesToAnEmptyListAndIsWarnedAboutIt) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(std::vector<std::wstring>{L"policyTypes=VT_UI4[lb=0]{})"}, RegisteredTypeLists()) << CallDump();
    EXPECT_TRUE(LogHas(L"TarnAdaptor::SetSupportedPoliceis() should be called, no policy subscription")) << LogDump();
}

TEST_F(PolicyTypesE2E, TheListOfTheFirstInitializationOutlivesFinalize) {
    ASSERT_EQ(TARNSTUB_OK, InitializeLumenTarnStub());
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    ASSERT_EQ(TARNSTUB_OK, InitializeUiTarnStub());
    // Blade 8 would default to 51; the list made for blade 6 is kept.
    EXPECT_EQ((std::vector<std::wstring>{L"policyTypes=VT_UI4[lb=0]{60})", L"policyTypes=VT_UI4[lb=0]{60})"}),
              RegisteredTypeLists())
        << CallDump();
}

TEST_F(PolicyTypesE2E, AListSetBeforeInitializationReplacesTheDefaultsDuplicatesIncluded) {
    const DWORD types[] = {200, 51, 200, 4000000000u};
    ASSERT_EQ(TARNSTUB_OK, SetSupportedPolicyTypes(types, 4));
    // A refused setting leaves the list as it was.
    EXPECT_EQ(TARNSTUB_COUNT_BELOW_ONE, SetSupportedPolicyTypes(types, 0));
    ASSERT_EQ(TARNSTUB_OK, InitializeUrlFilteringTarnStub());
    EXPECT_EQ(std::vector<std::wstring>{L"policyTypes=VT_UI4[lb=0]{200,51,200,4000000000})"}, RegisteredTypeLists())
        << CallDump();
}

// The lists are set from one blade thread while another initialises and
// finalises: each list the server is sent is one that was set, whole.
TEST_F(PolicyTypesE2E, SettingTheListsWhileAnotherThreadInitializesNeverMixesThem) {
    constexpr int kRounds = 30;
    std::atomic<bool> stop{false};
    std::atomic<int> unexpectedCodes{0};
    // Every registration must carry a list the setter set, never the empty
    // one from before its first call.
    std::atomic<bool> setOnce{false};
    std::thread setter([&] {
        std::vector<DWORD> types;
        std::vector<std::wstring> texts;
        for (DWORD length = 1; !stop; length = length % 40 + 1) {
            // A list of `length` entries, each `length`.
            types.assign(length, length);
            texts.assign(length, std::to_wstring(length));
            std::vector<const wchar_t*> pointers;
            for (const std::wstring& text : texts) pointers.push_back(text.c_str());
            for (DWORD code : {SetSupportedPolicyTypes(types.data(), static_cast<LONG>(length)),
                               SetSupportedPayloadResponseTypes(pointers.data(), static_cast<LONG>(length))})
                if (code != TARNSTUB_OK && code != TARNSTUB_SETTING_AFTER_INIT) ++unexpectedCodes;
            setOnce = true;
        }
    });
    while (!setOnce) ::Sleep(1);
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        if (round + 1 < kRounds) {
            ASSERT_EQ(TARNSTUB_OK, Finalize());  // the last one is the fixture's
        }
    }
    stop = true;
    setter.join();
    EXPECT_EQ(0, unexpectedCodes.load());
    const auto whole = [](const std::wstring& list) {
        // "...{n,n,...,n}" with exactly n entries.
        const size_t open = list.find(L'{'), close = list.find(L'}');
        if (open == std::wstring::npos || close == std::wstring::npos) return false;
        std::vector<std::wstring> entries;
        for (size_t at = open + 1; at < close;) {
            const size_t comma = std::min(list.find(L',', at), close);
            std::wstring entry = list.substr(at, comma - at);
            if (entry.size() >= 2 && entry.front() == L'"') entry = entry.substr(1, entry.size() - 2);
            entries.push_back(entry);
            at = comma + 1;
        }
        if (entries.empty()) return false;
        for (const std::wstring& entry : entries)
            if (entry != std::to_wstring(entries.size())) return false;
        return true;
    };
    const auto registered = RegisteredTypeLists();
    ASSERT_EQ(static_cast<size_t>(kRounds), registered.size());
    for (const std::wstring& list : registered) EXPECT_TRUE(whole(list)) << std::string(list.begin(), list.end());
    for (const std::wstring& line : CallsStartingWith(L"AddExpectedMessageTypes("))
        EXPECT_TRUE(whole(line.substr(line.find(L"messageTypes=")))) << std::string(line.begin(), line.end());
}

}  // namespace

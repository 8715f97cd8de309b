// Which policy types a blade subscribes to, as the server sees them in
// Register: the defaults of the blade type, a list set before
// initialisation, and the list's life across Finalize.
#include <gtest/gtest.h>

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
    EXPECT_TRUE(LogHas(L"TarnAdaptor::SetSupportedPoliceis() should be called, no policy subscription"))
        << LogDump();
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
    EXPECT_EQ(std::vector<std::wstring>{L"policyTypes=VT_UI4[lb=0]{200,51,200,4000000000})"},
              RegisteredTypeLists())
        << CallDump();
}

}  // namespace

// A blade's thread in any COM apartment (none, single-threaded, the
// multithreaded one) lives from Initialize to Finalize against the server in
// its own process: every call reaches the server, Finalize's unregistration
// included (the server's pointers belong to the multithreaded apartment and
// must not be used from a single-threaded one), the thread's apartment is
// left as it was, and the server lets go of the blade's callback object, so
// that its process ends by itself afterwards (the fixture checks that).
#include <objbase.h>

#include <atomic>
#include <string>

#include "ServerFixture.h"
#include "WaitUntil.h"
#include "win/raii.h"

namespace {

using namespace tarn_test;

enum class Apartment { kNone, kSingleThreaded, kMultithreaded };

// The thread's own apartment; the implicit multithreaded apartment (the
// process has one while other threads are in it) is not the thread's own.
Apartment CurrentApartment() {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    if (FAILED(CoGetApartmentType(&type, &qualifier))) return Apartment::kNone;
    if (type != APTTYPE_MTA) return Apartment::kSingleThreaded;
    return qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA ? Apartment::kNone : Apartment::kMultithreaded;
}

struct PolicyRecord {
    std::atomic<int> calls{0};
    win::UniqueHandle arrived{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
} g_policies;

void __cdecl OnNewPolicy(GUID, LONG, LONG) {
    ++g_policies.calls;
    SetEvent(g_policies.arrived.get());
}

// A thread with a single-threaded apartment keeps pumping its messages while
// it waits, as a user-interface thread does.
bool WaitPumping(HANDLE event, Apartment apartment) {
    if (apartment != Apartment::kSingleThreaded) return WaitForSingleObject(event, kWaitMs) == WAIT_OBJECT_0;
    DWORD index = 0;
    return CoWaitForMultipleHandles(0, kWaitMs, 1, &event, &index) == S_OK && index == 0;
}

struct ApartmentCase {
    const char* name;
    Apartment apartment;
};

void PrintTo(const ApartmentCase& c, std::ostream* out) { *out << c.name; }

// What the blade thread saw, checked on the test's thread.
struct BladeRun {
    Apartment before = Apartment::kNone, after = Apartment::kNone;
    DWORD initialized = 0xFFFFFFFFu, registered = 0xFFFFFFFFu, policy = 0xFFFFFFFFu, provider = 0xFFFFFFFFu,
          finalized = 0xFFFFFFFFu;
    std::wstring content;
    bool notified = false;
};

const wchar_t* const kNames[] = {L"p0"};
const wchar_t* const kValues[] = {L"v0"};

void RunBlade(Apartment apartment, BladeRun& run) {
    if (apartment == Apartment::kSingleThreaded) CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (apartment == Apartment::kMultithreaded) CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    run.before = CurrentApartment();
    run.initialized = Initialize(12);
    run.registered = RegisterNewPolicyArrivalNotificationCallback(&OnNewPolicy);
    BSTR content = nullptr;
    run.policy = GetPolicy(60, 2, &content);
    if (content) run.content.assign(content, SysStringLen(content));
    SysFreeString(content);
    const ProviderInfoData provider = {L"prov", kNames, kValues, 1, nullptr, nullptr, 0, nullptr, 0};
    run.provider = CollectProviderInfo(&provider);
    TarnRef_CallPolicyArrival(
        0, L"<policy type=\"60\" pac=\"2\" id=\"5e0a11d5-7a72-4e00-8000-000000000001\" modDate=\"1\"/>");
    run.notified = WaitPumping(g_policies.arrived.get(), apartment);
    run.finalized = Finalize();
    run.after = CurrentApartment();
    if (apartment != Apartment::kNone) CoUninitialize();
}

class BladeApartment : public ServerTest, public ::testing::WithParamInterface<ApartmentCase> {};

TEST_P(BladeApartment, FromInitializeToFinalizeEveryCallReachesTheServer) {
    const Apartment apartment = GetParam().apartment;
    const char policy[] = "<policy/>";
    TarnRef_SetPolicyContent(60, 2, policy, sizeof policy - 1);
    BladeRun run;
    // The blade's calls run on a thread of their own, whose apartment is
    // the case's; a call that hangs ends the program.
    FinishesWithin("the blade's thread", [&] {
        RunBlade(apartment, run);
        return 0;
    });

    EXPECT_EQ(apartment, run.before);
    EXPECT_EQ(TARNSTUB_OK, run.initialized);
    EXPECT_EQ(TARNSTUB_OK, run.registered);
    EXPECT_EQ(TARNSTUB_OK, run.policy);
    EXPECT_EQ(L"<policy/>", run.content);
    EXPECT_EQ(TARNSTUB_OK, run.provider);
    EXPECT_TRUE(run.notified);
    EXPECT_EQ(1, g_policies.calls.load());
    EXPECT_EQ(TARNSTUB_OK, run.finalized);
    // The stub neither left nor entered an apartment on the blade's thread.
    EXPECT_EQ(apartment, run.after);

    // Both calls of the stop reached the server and succeeded there: the
    // registration with its callback object and the provider are gone.
    const std::wstring guid = L"8b72560a-b4fd-41f9-84fe-996614524539";
    EXPECT_EQ((std::vector<std::wstring>{L"UnRegisterProvider(bladeGuid=" + guid + L")",
                                         L"Unregister(cookie=" + std::to_wstring(TarnRef_LastCookie()) + L")"}),
              CallsStartingWith(L"Un"))
        << CallDump();
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
    GUID bladeGuid = {0x8b72560a, 0xb4fd, 0x41f9, {0x84, 0xfe, 0x99, 0x66, 0x14, 0x52, 0x45, 0x39}};
    EXPECT_FALSE(TarnRef_IsProviderRegistered(&bladeGuid));
}

INSTANTIATE_TEST_SUITE_P(Apartments, BladeApartment,
                         ::testing::Values(ApartmentCase{"NoCom", Apartment::kNone},
                                           ApartmentCase{"SingleThreaded", Apartment::kSingleThreaded},
                                           ApartmentCase{"Multithreaded", Apartment::kMultithreaded}),
                         [](const ::testing::TestParamInfo<ApartmentCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace

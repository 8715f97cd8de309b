// Finalize racing the blade's connect callback of a reconnection. The
// callback runs on the monitor thread and calls GetPolicy, which takes the
// module lock, while the blade's main thread calls Finalize, which must wait
// for that very thread. Finalize has to come back, and GetPolicy has to give
// a defined answer: the policy while the stub is still initialised, code 2
// once Finalize has taken the adaptor away.
#include <gtest/gtest.h>
#include <process.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "ConnectionTestSupport.h"
#include "ServerFixture.h"
#include "WaitUntil.h"
#include "adaptor/AdaptorTesting.h"
#include "stub/ModuleState.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace {

using tarn_test::kWaitMs;
using tarn_test::ServerTest;
using tarn_test::WaitUntil;

constexpr DWORD kShortPeriodMs = 50;
// Far beyond what a Finalize that is not stuck needs.
constexpr DWORD kFinalizeBoundMs = 15000;
constexpr int kRounds = 5;

enum class CallbackTiming {
    Immediately,          // GetPolicy as soon as the test thread is told
    AfterAdaptorDetached  // GetPolicy once Finalize has taken the adaptor away
};

struct RaceState {
    std::atomic<bool> armed{false};
    std::atomic<CallbackTiming> timing{CallbackTiming::Immediately};
    std::atomic<bool> sawDetach{false};
    std::atomic<DWORD> policyResult{0xFFFFFFFFu};
    std::wstring policy;  // written by the callback before done is set
    win::UniqueHandle entered{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    win::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

void PrintTo(CallbackTiming timing, std::ostream* out) {
    *out << (timing == CallbackTiming::Immediately ? "Immediately" : "AfterAdaptorDetached");
}

RaceState& Race() {
    static RaceState state;
    return state;
}

void __cdecl GetPolicyOnReconnect() {
    RaceState& race = Race();
    // The first connection (on the init thread) is not the one under test.
    if (!race.armed.exchange(false)) return;
    SetEvent(race.entered.get());
    if (race.timing == CallbackTiming::AfterAdaptorDetached)
        race.sawDetach = WaitUntil([] { return Module().adaptor.load() == nullptr; }, kWaitMs);
    BSTR content = nullptr;
    race.policyResult = GetPolicy(60, 2, &content);
    if (content) race.policy.assign(content, SysStringLen(content));
    SysFreeString(content);
    SetEvent(race.done.get());
}

unsigned __stdcall FinalizeThread(void* result) {
    *static_cast<DWORD*>(result) = Finalize();
    return 0;
}

class ConnCoreFinalizeRace : public ServerTest, public ::testing::WithParamInterface<CallbackTiming> {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        adaptor_testing::SetMonitorPeriod(kShortPeriodMs);
        const char policy[] = "<engine/>";
        TarnRef_SetPolicyContent(60, 2, policy, sizeof policy - 1);
        ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&GetPolicyOnReconnect));
        Race().timing = GetParam();
    }

    // The prefix's registry outlives this test: leave no server registered
    // for tests that expect none.
    void TearDown() override { UnregisterServer(); }

    // Finalize on a thread of its own, so that a deadlock shows as a time-out
    // here instead of a hung test program.
    DWORD FinalizeWithinBound() {
        DWORD result = 0xFFFFFFFFu;
        win::UniqueHandle thread(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &FinalizeThread, &result, 0, nullptr)));
        if (!thread) {
            ADD_FAILURE() << "cannot start the Finalize thread";
            return result;
        }
        if (WaitForSingleObject(thread.get(), kFinalizeBoundMs) != WAIT_OBJECT_0) {
            // Finalize and the callback wait for each other: nothing can end
            // this process normally any more.
            std::fprintf(stderr, "Finalize did not return within %lu ms: deadlock\n", kFinalizeBoundMs);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        return result;
    }

    void RunRound(int round) {
        SCOPED_TRACE("round " + std::to_string(round));
        RaceState& race = Race();
        race.armed = false;
        race.sawDetach = false;
        race.policyResult = 0xFFFFFFFFu;
        race.policy.clear();
        ResetEvent(race.done.get());
        ResetEvent(race.entered.get());

        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        race.armed = true;
        // The server restarts: the next tick finds the old object gone and
        // reconnects on the monitor thread, which then calls the blade.
        TarnRef_Restart();
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(race.entered.get(), kWaitMs)) << LogDump();

        EXPECT_EQ(TARNSTUB_OK, FinalizeWithinBound());
        // Finalize joined the monitor thread, so the callback is over.
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(race.done.get(), 0));
        if (GetParam() == CallbackTiming::AfterAdaptorDetached) {
            EXPECT_TRUE(race.sawDetach.load());
            EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, race.policyResult.load());
            EXPECT_TRUE(race.policy.empty());
        } else {
            const DWORD result = race.policyResult.load();
            EXPECT_TRUE(result == TARNSTUB_OK || result == TARNSTUB_NOT_INITIALIZED) << result;
            if (result == TARNSTUB_OK) {
                EXPECT_EQ(L"<engine/>", race.policy);
            }
        }
        EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
    }
};

TEST_P(ConnCoreFinalizeRace, FinalizeCompletesAndTheCallbacksRequestGetsADefinedCode) {
    for (int round = 1; round <= kRounds && !HasFatalFailure(); ++round) RunRound(round);
    EXPECT_EQ(static_cast<size_t>(kRounds), CountLogLines(L"TarnAdaptor::Stop: Monitor thread joined")) << LogDump();
    EXPECT_EQ(static_cast<size_t>(kRounds),
              CountLogLines(L"TarnAdaptor::TARNMonitorPorocedure: MonitorThread: Succeeded to connect to TARN"))
        << LogDump();
}

INSTANTIATE_TEST_SUITE_P(Timing, ConnCoreFinalizeRace,
                         ::testing::Values(CallbackTiming::Immediately, CallbackTiming::AfterAdaptorDetached),
                         [](const ::testing::TestParamInfo<CallbackTiming>& info) {
                             return std::string(info.param == CallbackTiming::Immediately ? "Immediately"
                                                                                           : "AfterAdaptorDetached");
                         });

}  // namespace

namespace {

// A blade that ends its use of the stub from inside its connect callback.
struct FinalizeInCallback {
    std::atomic<bool> armed{false};
    std::atomic<DWORD> result{0xFFFFFFFFu};
    win::UniqueHandle done{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

FinalizeInCallback& InCallback() {
    static FinalizeInCallback state;
    return state;
}

void __cdecl FinalizeOnConnect() {
    FinalizeInCallback& state = InCallback();
    if (!state.armed.exchange(false)) return;
    state.result = Finalize();
    SetEvent(state.done.get());
}

class ConnCoreFinalizeInCallback : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        adaptor_testing::SetMonitorPeriod(kShortPeriodMs);
        ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&FinalizeOnConnect));
    }

    // The prefix's registry outlives this test: leave no server registered
    // for tests that expect none.
    void TearDown() override { UnregisterServer(); }

    size_t FirstLineWith(const std::wstring& text) const {
        const auto lines = LogLines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(text) != std::wstring::npos) return i;
        return lines.size();
    }

    // The stub is gone for good: exports find no adaptor, the server was told.
    void ExpectFinalized() {
        BSTR content = nullptr;
        EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, GetPolicy(60, 2, &content));
        ASSERT_TRUE(WaitUntil([] { return TarnRef_CountCalls(L"Unregister") == 1; }, kWaitMs)) << CallDump();
        EXPECT_TRUE(WaitUntil([&] { return CountLogLines(L"TarnAdaptor::Stop: TARN Instance released") == 1; },
                              kWaitMs))
            << LogDump();
        EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
        // And it can be initialised again.
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        EXPECT_EQ(TARNSTUB_OK, Finalize());
    }
};

TEST_F(ConnCoreFinalizeInCallback, DuringTheFirstConnection) {
    InCallback().armed = true;
    // The callback runs on the init thread before Initialize returns.
    EXPECT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(InCallback().done.get(), kWaitMs));
    EXPECT_EQ(TARNSTUB_OK, InCallback().result.load());
    ASSERT_TRUE(WaitUntil([&] { return LogHas(L"TarnAdaptor::Stop: TARN Instance released"); }, kWaitMs))
        << LogDump();
    // The adaptor was destroyed only after it had finished starting: its
    // monitor thread was created, then joined, then the adaptor went.
    const size_t created = FirstLineWith(L"TarnAdaptor::Start: Monitor thread created.");
    const size_t joined = FirstLineWith(L"TarnAdaptor::Stop: Monitor thread joined");
    const size_t destroyed = FirstLineWith(L"TarnAdaptor::~TarnAdaptor: Called");
    EXPECT_LT(created, joined) << LogDump();
    EXPECT_LT(joined, destroyed) << LogDump();
    EXPECT_LT(destroyed, LogLines().size()) << LogDump();
    ExpectFinalized();
}

TEST_F(ConnCoreFinalizeInCallback, DuringAReconnection) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    InCallback().armed = true;
    TarnRef_Restart();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(InCallback().done.get(), kFinalizeBoundMs))
        << "Finalize called from the monitor thread did not return\n" << LogDump();
    EXPECT_EQ(TARNSTUB_OK, InCallback().result.load());
    ExpectFinalized();
}

}  // namespace

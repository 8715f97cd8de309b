// What the system may refuse the stub: a thread for the deliveries of a
// notification kind, or (on an older ole32) the usage count that keeps the
// multithreaded apartment alive. The stub's code is linked in for the hooks
// that play those refusals; the server runs in its own process.
#include <numeric>
#include <thread>

#include "ConnectionTestSupport.h"
#include "notify/Delivery.h"
#include "win/Threads.h"

namespace {

using namespace connection_test;

std::vector<LONG> g_lists;
std::mutex g_listsLock;

void __cdecl RecordActivation(const LONG* pacs, LONG count) {
    std::lock_guard<std::mutex> lock(g_listsLock);
    g_lists.push_back(count > 0 ? pacs[0] : -1);
}

std::vector<LONG> Lists() {
    std::lock_guard<std::mutex> lock(g_listsLock);
    return g_lists;
}

HRESULT SendActivation(LONG pac) {
    HRESULT result = E_UNEXPECTED;
    EXPECT_TRUE(TarnRef_WaitCall(TarnRef_CallActivatePolicies(0, &pac, 1), kWaitMs, &result));
    return result;
}

using StartFailure = ConnectionTest;

// In the middle of a stream the delivery thread of the kind cannot start:
// the notification waits in the queue, the server's call still succeeds, and
// the next notification of the kind starts the thread, which delivers both
// in order.
TEST_F(StartFailure, ADeliveryThreadThatCannotStartLeavesTheNotificationQueued) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, RegisterActivationStatusChangedNotificationCallback(&RecordActivation));
    for (LONG pac = 1; pac <= 10; ++pac) ASSERT_EQ(S_OK, SendActivation(pac));
    ASSERT_TRUE(WaitUntil([] { return Lists().size() == 10; }));
    // The idle delivery thread ends; the next list needs a new one.
    Sleep(2 * DeliveryQueue::kIdleLingerMs);
    threads_testing::FailNextThreadStarts(1);
    EXPECT_EQ(S_OK, SendActivation(11));
    threads_testing::FailNextThreadStarts(0);
    EXPECT_EQ(1u, Written(L"TARNClientBridge::ActivatePolicies",
                          L"Cannot start the delivery thread, 1 notifications wait in the queue"))
        << Dumps();
    Sleep(200);
    EXPECT_EQ(10u, Lists().size()) << "delivered without a delivery thread";
    for (LONG pac = 12; pac <= 20; ++pac) ASSERT_EQ(S_OK, SendActivation(pac));
    ASSERT_TRUE(WaitUntil([] { return Lists().size() == 20; })) << Dumps();
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    std::vector<LONG> inOrder(20);
    std::iota(inOrder.begin(), inOrder.end(), 1L);
    EXPECT_EQ(inOrder, Lists());
}

// Without the usage count, a blade whose threads never enter COM still gets
// its registration taken back: the session's own thread keeps the
// multithreaded apartment until the server has been told.
TEST_F(StartFailure, WithoutTheApartmentUsageCountAFinalizeFromAThreadWithoutComStillUnregisters) {
    const char content[] = "<common/>";
    TarnRef_SetPolicyContent(51, 1, content, sizeof content - 1);
    apartment_testing::HideMtaUsageCount(true);
    DWORD initialized = 0xFFFFFFFFu, policy = 0xFFFFFFFFu, finalized = 0xFFFFFFFFu;
    std::thread([&] { initialized = Initialize(12); }).join();
    std::thread([&] {
        BSTR content = nullptr;
        policy = GetPolicy(51, 1, &content);
        SysFreeString(content);
    }).join();
    std::thread([&] { finalized = FinalizeWithinBound(); }).join();
    apartment_testing::HideMtaUsageCount(false);

    EXPECT_EQ(TARNSTUB_OK, initialized);
    EXPECT_EQ(TARNSTUB_OK, policy);
    EXPECT_EQ(TARNSTUB_OK, finalized);
    // The server answered both (S_FALSE: no provider had been registered).
    EXPECT_EQ(1u, Written(kStop,
                          L"UnRegisterProvider BladeType: 12, BladeGuid: "
                          L"8b72560a-b4fd-41f9-84fe-996614524539, hr: 0x00000001"))
        << Dumps();
    EXPECT_EQ(1u, Written(kStop, L"UnRegistering BladeType: 12, BladeCookie: " + std::to_wstring(TarnRef_LastCookie()) +
                                     L", hr: 0x00000000"))
        << Dumps();
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
}

}  // namespace

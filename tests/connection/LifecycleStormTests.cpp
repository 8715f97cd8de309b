// Initialize and Finalize called at random from every kind of thread a
// blade's code runs on (its own threads, the delivery threads of
// notifications, the monitor thread's reconnection callback) while the
// server keeps notifying and restarting. Every call must come back, and
// afterwards every registration the server saw is gone. The server runs in
// process here: across processes every start costs a server creation and a
// registration round trip, which turns the storm into a trickle.
#include <random>
#include <thread>

#include "ConnectionTestSupport.h"
#include "adaptor/AdaptorTesting.h"

namespace {

using namespace connection_test;

class LifecycleStorm : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        adaptor_testing::SetMonitorPeriod(50);
    }
};

std::atomic<bool> g_stormCallbacks{false};

void RandomLifecycleCall(std::mt19937& random) {
    if (random() % 2) {
        Initialize(12);
    } else {
        Finalize();
    }
}

void __cdecl StormConnectCallback() {
    thread_local std::mt19937 random(GetCurrentThreadId());
    if (g_stormCallbacks && random() % 3 == 0) RandomLifecycleCall(random);
}

void __cdecl StormActivationCallback(const LONG*, LONG) {
    thread_local std::mt19937 random(GetCurrentThreadId());
    if (g_stormCallbacks) RandomLifecycleCall(random);
}

TEST_F(LifecycleStorm, EveryCallReturnsWhateverThreadsCallInitializeAndFinalize) {
    constexpr int kBladeThreads = 3;
    constexpr int kCallsPerThread = 40;
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&StormConnectCallback));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, RegisterActivationStatusChangedNotificationCallback(&StormActivationCallback));
    g_stormCallbacks = true;
    FinishesWithin("the storm of Initialize and Finalize", [&] {
        std::atomic<bool> stop{false};
        // The server keeps notifying whichever adaptor is registered last,
        // and restarts now and then so that reconnections call the blade.
        std::thread server([&] {
            const LONG pacs[] = {1, 2};
            for (int i = 0; !stop; ++i) {
                TarnRef_CallActivatePolicies(0, pacs, 2);
                if (i % 25 == 24) TarnRef_Restart();
                Sleep(2);
            }
        });
        std::vector<std::thread> blades;
        for (int t = 0; t < kBladeThreads; ++t) {
            blades.emplace_back([t] {
                std::mt19937 random(static_cast<unsigned>(t) + 7);
                for (int i = 0; i < kCallsPerThread; ++i) {
                    RandomLifecycleCall(random);
                    Sleep(random() % 5);
                }
            });
        }
        for (std::thread& blade : blades) blade.join();
        stop = true;
        server.join();
        return 0;
    });
    g_stormCallbacks = false;
    ExpectAllUnregistered(true);
    EXPECT_GT(Count(L"Register"), 3u) << Dumps();
}

}  // namespace

// Memory that runs out anywhere on the way through an export, a method the
// server calls, or one of the stub's threads. This program holds the stub's
// code itself and replaces the allocation functions, so an allocation of
// the stub can be made to fail on purpose: the n-th from now, for every n
// until the call no longer meets a failure. Every call must still come back
// with one of its own codes (31 where memory is the cause) and leave the
// stub usable; no exception may reach the caller or end a thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <set>

#include "LogFile.h"
#include "ServerFixture.h"
#include "adaptor/TarnAdaptor.h"
#include "notify/TARNClientBridge.h"
#include "CurrentAdaptor.h"
#include "stub/ModuleState.h"
#include "stub/Session.h"
#include "win/raii.h"

namespace {
// The number of allocations still allowed; negative: no failure armed.
std::atomic<long> g_allocationsLeft{-1};
std::atomic<long> g_failures{0};

bool AllocationFails() {
    long left = g_allocationsLeft.load();
    while (left >= 0) {
        if (g_allocationsLeft.compare_exchange_weak(left, left - 1)) {
            if (left != 0) return false;
            ++g_failures;
            return true;
        }
    }
    return false;
}

void* Allocate(std::size_t size) {
    if (AllocationFails()) throw std::bad_alloc();
    void* block = std::malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    return block;
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

using tarn_test::kWaitMs;

class MemoryTest : public tarn_test::ServerTest {
protected:
    void TearDown() override {
        g_allocationsLeft = -1;
        ServerTest::TearDown();
    }

    // Runs call with the n-th allocation from now failing, for n = 0, 1, ...
    // until a run meets no failure; gives the set of results seen. check
    // looks at each result while the failure is still in force.
    template <typename Result>
    std::set<Result> Sweep(const std::function<Result()>& call, const std::function<void(Result)>& check = {}) {
        std::set<Result> results;
        for (long n = 0; n < 2000; ++n) {
            const long failuresBefore = g_failures;
            g_allocationsLeft = n;
            const Result result = call();
            const bool metFailure = g_failures != failuresBefore;
            g_allocationsLeft = -1;
            results.insert(result);
            if (check) check(result);
            if (!metFailure) return results;
        }
        ADD_FAILURE() << "the call never ran without meeting a failure";
        return results;
    }

    size_t OutOfMemoryLines(const std::wstring& function) const {
        return tarn_test::CountMessages(LogLines(), function, L"Out of memory, call abandoned");
    }
};

TEST_F(MemoryTest, InitializeAnswersItsCodesAndNeverLeavesAnUnstartedAdaptor) {
    const auto results = Sweep<DWORD>(
        [] {
            const DWORD code = Initialize(12);
            g_allocationsLeft = -1;
            if (code == TARNSTUB_OK) {
                EXPECT_EQ(TARNSTUB_OK, Finalize());
            }
            return code;
        },
        [](DWORD code) {
            // Whatever failed, nothing is left initialised.
            EXPECT_EQ(nullptr, tarn_test::CurrentAdaptor()) << "code " << code;
            win::Lock lock(Module().moduleLock);
            EXPECT_FALSE(Module().stopping && !Module().stopping->Ended()) << "code " << code;
        });
    for (DWORD code : results)
        EXPECT_TRUE(code == TARNSTUB_OK || code == TARNSTUB_ADAPTOR_CREATION_FAILED ||
                    code == TARNSTUB_PEER_CREATION_FAILED || code == TARNSTUB_ADAPTOR_INIT_FAILED ||
                    code == TARNSTUB_OUT_OF_MEMORY)
            << code;
    EXPECT_TRUE(results.count(TARNSTUB_OUT_OF_MEMORY) || results.count(TARNSTUB_ADAPTOR_CREATION_FAILED));
    // Every registration of the runs that got that far was taken back.
    EXPECT_TRUE(tarn_test::WaitUntil([] { return TarnRef_RegistrationCount() == 0; })) << CallDump();
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MemoryTest, RequestsAnswerTheirOwnCodeOr31AndTheStubGoesOn) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    const char policy[] = "<policy/>";
    TarnRef_SetPolicyContent(77, 2, policy, sizeof policy - 1);
    struct Request {
        const wchar_t* name;
        DWORD failureCode;
        std::function<DWORD()> call;
    };
    const Request requests[] = {
        {L"GetPolicy", TARNSTUB_POLICY_FAILED,
         [] {
             win::UniqueBstr content;
             return GetPolicy(77, 2, content.put());
         }},
        {L"SendBladePayload", TARNSTUB_BLADE_PAYLOAD_FAILED,
         [] {
             win::UniqueBstr response;
             return SendBladePayload(L"T", L"data", response.put());
         }},
        {L"CollectPayload", TARNSTUB_PAYLOAD_FAILED, [] { return CollectPayload(L"T", L"data"); }},
        {L"ReportIncident", TARNSTUB_INCIDENT_FAILED,
         [] { return ReportIncident(L"id", 1, L"a", L"b", L"c", 1, 2, 3, L"d"); }},
    };
    for (const Request& request : requests) {
        SCOPED_TRACE(std::string(request.name, request.name + wcslen(request.name)));
        const auto results = Sweep<DWORD>(request.call);
        for (DWORD code : results)
            EXPECT_TRUE(code == TARNSTUB_OK || code == request.failureCode || code == TARNSTUB_OUT_OF_MEMORY) << code;
        EXPECT_TRUE(results.count(TARNSTUB_OUT_OF_MEMORY)) << "the export's own allocations were never reached";
        // Each 31 or failed worker comes with its line under the export's name.
        EXPECT_GT(OutOfMemoryLines(request.name), 0u) << LogDump();
        EXPECT_EQ(TARNSTUB_OK, request.call());
    }
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MemoryTest, CallsOfTheServerAnswerOutOfMemoryAndDeliveriesGoOn) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    win::ComPtr<ITARNClient> client = tarn_test::CurrentAdaptor()->Context()->CallbackObject();
    ASSERT_TRUE(client);
    win::UniqueBstr description = win::UniqueBstr::Copy(
        L"<policy type=\"60\" pac=\"2\" id=\"1b4e28ba-2fa1-11d2-883f-0016d3cca427\" modDate=\"1\"/>");
    win::UniqueSafeArray pacs(SafeArrayCreateVector(VT_I4, 0, 2));
    const auto results = Sweep<HRESULT>([&] {
        const HRESULT first = client->PolicyArrivalNotification(description.get());
        const HRESULT second = client->ActivatePolicies(pacs.get());
        return FAILED(first) ? first : second;
    });
    for (HRESULT hr : results) EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << std::hex << hr;
    EXPECT_TRUE(results.count(E_OUTOFMEMORY));
    EXPECT_GT(OutOfMemoryLines(L"TARNClientBridge::PolicyArrivalNotification"), 0u) << LogDump();
    client.Reset();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace

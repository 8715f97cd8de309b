// GetPolicy round trips per second (export, request worker thread, reference
// server, UTF-8 to UTF-16, BSTR back to the caller) against the floor any
// such request pays: creating and joining one thread that enters the
// multithreaded apartment and makes the same GetPolicyContent call on the
// server object directly. Usage: policy_bench [requests] [rounds] [--no-log]
//
// Built twice: policy_bench reaches the server in process (TarnRefServer.dll);
// policy_bench_oop reaches TarnRefServer.exe in its own process, where every
// call of both loops crosses the process boundary and the floor's server
// object is a proxy to the same server the stub talks to.
//
// The stub logs to a fresh temporary LOGDIR at the prefix's trace level
// (with --no-log, LOGDIR is removed for the run and nothing is written).
// The previous LOGDIR value is put back at the end.
#include <windows.h>
#include <objbase.h>
#include <process.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchServer.h"
#include "tarnstub.h"

namespace {

using bench::Now;
using bench::Seconds;

constexpr LONG kPolicyType = 60;
constexpr LONG kPac = 2;
constexpr ULONG kContentBytes = 1024;
constexpr int kBatch = 25;  // requests per turn of each loop
#ifdef TARN_BENCH_OUT_OF_PROCESS
// A cross-process round trip dwarfs the stub's own work: little room left.
constexpr double kTargetRatio = 1.10;
constexpr char kFloorCall[] = "call on a proxy";
constexpr int kDefaultRequests = 500;
#else
constexpr double kTargetRatio = 1.30;
constexpr char kFloorCall[] = "direct call";
constexpr int kDefaultRequests = 2000;
#endif

// ---- the two loops --------------------------------------------------------

// Stays negative whatever a round adds to it.
constexpr double kFailed = -1e300;

struct FloorCall {
    ITarnServer* server;
    HRESULT result;
};

unsigned __stdcall FloorThread(void* argument) {
    auto* call = static_cast<FloorCall*>(argument);
    win::MtaScope mta;
    win::UniqueSafeArray content;
    call->result = call->server->GetPolicyContent(kPolicyType, kPac, content.put());
    return 0;
}

// Seconds for count floor round trips; a large negative value on a failure.
double TimeFloor(ITarnServer* server, int count) {
    const LARGE_INTEGER start = Now();
    for (int i = 0; i < count; ++i) {
        FloorCall call{server, E_FAIL};
        win::UniqueHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &FloorThread, &call, 0, nullptr)));
        if (!thread || WaitForSingleObject(thread.get(), INFINITE) != WAIT_OBJECT_0 || FAILED(call.result))
            return kFailed;
    }
    return Seconds(start, Now());
}

// Seconds for count GetPolicy round trips; a large negative value on a failure.
double TimeStub(int count) {
    const LARGE_INTEGER start = Now();
    for (int i = 0; i < count; ++i) {
        win::UniqueBstr content;
        if (GetPolicy(kPolicyType, kPac, content.put()) != TARNSTUB_OK || content.length() != kContentBytes)
            return kFailed;
    }
    return Seconds(start, Now());
}

int Fail(const char* what) {
    std::fprintf(stderr, "policy_bench: %s\n", what);
    return 1;
}

int Run(int requests, int rounds, win::ComPtr<ITarnServer>& server) {
    std::string content(kContentBytes, 'p');
    for (ULONG i = 0; i < kContentBytes; i += 64) content[i] = '\n';
    TarnRef_SetPolicyContent(kPolicyType, kPac, content.data(), kContentBytes);

    if (Initialize(12) != TARNSTUB_OK) return Fail("Initialize(12) failed");
    server = bench::CreateServerObject();
    if (!server) return Fail("the server object cannot be created directly");

    // Warm-up, then rounds in which the two loops take turns in small
    // batches, so that both see the same machine state even when other work
    // comes and goes; the best round of each is kept.
    if (TimeStub(std::max(1, requests / 10)) < 0 || TimeFloor(server.Get(), std::max(1, requests / 10)) < 0)
        return Fail("warm-up failed");
    double bestStub = 1e300, bestFloor = 1e300;
    for (int round = 0; round < rounds; ++round) {
        double stub = 0, floor = 0;
        for (int done = 0, batch = 0; done < requests && stub >= 0 && floor >= 0; ++batch) {
            const int count = std::min(kBatch, requests - done);
            // Which loop goes first changes from batch to batch.
            if (batch % 2 == 0) {
                stub += TimeStub(count);
                floor += TimeFloor(server.Get(), count);
            } else {
                floor += TimeFloor(server.Get(), count);
                stub += TimeStub(count);
            }
            done += count;
        }
        TarnRef_ClearCallRecord();  // the server's record would otherwise grow without end
        if (stub < 0) return Fail("GetPolicy failed");
        if (floor < 0) return Fail("the floor's call failed");
        std::printf("round %d: GetPolicy %.0f/s, floor %.0f/s\n", round + 1, requests / stub, requests / floor);
        bestStub = std::min(bestStub, stub);
        bestFloor = std::min(bestFloor, floor);
    }
    const double stubRate = requests / bestStub, floorRate = requests / bestFloor;
    std::printf("GetPolicy round trips: %.0f/s (%.1f us each)\n", stubRate, 1e6 * bestStub / requests);
    std::printf("floor (thread + MTA + %s): %.0f/s (%.1f us each)\n", kFloorCall, floorRate,
                1e6 * bestFloor / requests);
    std::printf("ratio GetPolicy time / floor time: %.2f (target: at most %.2f)\n", bestStub / bestFloor, kTargetRatio);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRequests;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const bool withLog = !(argc > 3 && std::strcmp(argv[3], "--no-log") == 0);

    bench::ServerSession serverSession;
    if (!serverSession.ready()) return Fail("the reference server cannot be registered or started");
    const std::wstring logDir = bench::MakeBenchDir(L"tarn-policy-bench-");
    bench::ScopedLogDir logDirValue(withLog ? std::optional<std::wstring>(logDir) : std::nullopt);
    std::printf("policy_bench: server %s, %d requests x %d rounds, %u bytes of content, log %s\n", bench::kServerWhere,
                requests, rounds, static_cast<unsigned>(kContentBytes), withLog ? "on" : "off");

    // The bench's own thread holds the direct server object in the
    // multithreaded apartment, as the adaptor holds its own.
    win::MtaScope mta;
    int result = 0;
    {
        win::ComPtr<ITarnServer> server;
        result = Run(requests, rounds, server);
    }
    Finalize();
    TarnRef_Reset();
    if (!serverSession.End()) return Fail("the server process was still held at the end");
    return result;
}

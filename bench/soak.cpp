// Weeks of a blade's life in minutes: the stub against the reference Tarn
// server in its own process (TarnRefServer.exe), with every request export a
// blade uses coming from several blade threads at once, a stream of every
// kind of notification (callbacks that now and then block, or call back into
// the stub), the server going away and coming back in the middle of the
// traffic, and Finalize/Initialize cycles. It checks that nothing is lost
// (every request answered with the right answer, or with its own failure
// code while the server was away; every notification delivered, in the
// server's order per kind; the server saw what the blade sent) and that the
// process does not grow: open handles, threads and private bytes when the
// process is quiet, after the first round, in the middle and at the end.
//
// Usage: soak [requests] [notifications] [restarts] [rounds] [cycle-every]
//   defaults 100000 20000 2 20 4 (a Finalize/Initialize cycle after every
//   fourth round; 0: none). The exit code is 0 when nothing was lost and
//   nothing grew from the middle to the end beyond the stated margins.
//
// The monitor period is shortened (so that a reconnection takes a moment,
// not half a minute) and the log's size limits lowered (so that it is cut
// now and then) through the stub's test hooks, which is why this program
// links the stub's code instead of TarnStub.dll.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchClock.h"
#include "BenchServer.h"
#include "SoakFigures.h"
#include "adaptor/AdaptorTesting.h"
#include "log/AdaptorLog.h"
#include "tarnref.h"
#include "tarnstub.h"
#include "win/raii.h"

namespace {

// The Kestrel blade: the only type that also receives incident reports.
constexpr DWORD kBladeType = 13;
constexpr unsigned kBladeThreads = 4;
constexpr DWORD kMonitorPeriodMs = 200;
constexpr DWORD kLogLimit = 256u << 10;
constexpr DWORD kLogTrunc = 128u << 10;
// Growth from the middle to the end that is still taken as flat: the
// runtime keeps a few threads and handles for incoming calls, and the heap
// keeps some slack after a busy round.
constexpr int64_t kHandleMargin = 32;
// Wine's RPC runtime (not the stub: a plain COM client does the same) keeps
// about ten handles for every server process that died under it, and one
// for every call that failed on a dead server. The handle margin grows by
// that much for the restarts and failed calls between the two samples.
constexpr int64_t kHandlesPerDeadServer = 12;
constexpr int64_t kHandlesPerFailedCall = 1;
constexpr int64_t kThreadMargin = 4;
constexpr int64_t kPrivateBytesMargin = 512 * 1024;
// Private bytes under Wine are the process's anonymous memory: thread stacks
// and the RPC runtime's buffers for dead servers come and go in large
// pieces, so only a run of this many rounds is long enough to judge them.
// Shorter runs report them; their heap, handle and thread figures decide.
constexpr unsigned kRoundsToJudgePrivateBytes = 20;
constexpr int64_t kHeapBytesMargin = 32 * 1024;
// Bounds on waits for what must come: a fault fails the run instead of
// hanging it.
constexpr DWORD kServerMs = 10000;
constexpr DWORD kReconnectMs = 30000;
constexpr DWORD kDeliveryMs = 60000;
constexpr DWORD kRoundMs = 600000;

// ---- problems -----------------------------------------------------------------

std::atomic<unsigned> g_problems{0};

// Counts a fault and prints the first few of them.
void Problem(const char* format, ...) {
    if (++g_problems > 20) return;
    va_list args;
    va_start(args, format);
    std::fputs("soak: PROBLEM: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// ---- the log directory --------------------------------------------------------

// LOGDIR points at a folder of the soak's own for the run; the folder and
// what the stub wrote there go at the end, and LOGDIR is put back.
class ScopedLogDir {
public:
    explicit ScopedLogDir(std::wstring dir) : dir_(std::move(dir)), previous_(bench::ReadLogDir()) {
        bench::WriteLogDir(dir_);
    }
    ~ScopedLogDir() {
        bench::WriteLogDir(previous_);
        WIN32_FIND_DATAW found;
        win::UniqueFindHandle find(FindFirstFileW((dir_ + L"\\*").c_str(), &found));
        for (BOOL more = find ? TRUE : FALSE; more; more = FindNextFileW(find.get(), &found))
            DeleteFileW((dir_ + L"\\" + found.cFileName).c_str());
        find.reset();
        RemoveDirectoryW(dir_.c_str());
    }
    ScopedLogDir(const ScopedLogDir&) = delete;
    ScopedLogDir& operator=(const ScopedLogDir&) = delete;

private:
    std::wstring dir_;
    std::optional<std::wstring> previous_;
};

// ---- what the server answers --------------------------------------------------

constexpr LONG kPolicyType = 120;
constexpr LONG kPacs[] = {3, 1, 2};

std::string PolicyText(LONG type, LONG pac) {
    std::string text = "<policy type=\"" + std::to_string(type) + "\" pac=\"" + std::to_string(pac) + "\">";
    text.append(200, static_cast<char>('a' + pac));
    return text + "</policy>";
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

constexpr wchar_t kDownloadName[] = L"C:\\ProgramData\\Tarn\\soak.cab";

// A fresh server knows nothing: this is what the blade's requests expect.
void ConfigureServer() {
    for (LONG pac : kPacs) {
        const std::string text = PolicyText(kPolicyType, pac);
        TarnRef_SetPolicyContent(kPolicyType, pac, text.data(), static_cast<ULONG>(text.size()));
    }
    const std::string common = PolicyText(51, 1);
    TarnRef_SetPolicyContent(51, 1, common.data(), static_cast<ULONG>(common.size()));
    TarnRef_SetActivations(kPacs, 3);
    TarnRef_SetResult(L"CheckCompliance", 3);  // compliant, changed
    TarnRef_SetDownloadFileName(kDownloadName);
}

// ---- the requests -------------------------------------------------------------

enum Op : unsigned {
    kGetPolicy,
    kGetCommonClientPolicy,
    kQueryCompliance,
    kSetOperationStatus,
    kSendBladePayload,
    kGetActivationStatus,
    kCollectLog,
    kReportIncident,
    kGetCaCertFingerPrint,
    kDownloadFile,
    kCollectPayload,
    kOpCount
};

struct OpInfo {
    const char* name;
    // The server operation each successful request makes exactly once.
    const wchar_t* serverOperation;
    DWORD failureCode;
};

constexpr OpInfo kOps[kOpCount] = {
    {"GetPolicy", L"GetPolicyContent", TARNSTUB_POLICY_FAILED},
    {"GetCommonClientPolicy", L"GetPolicyContent", TARNSTUB_POLICY_FAILED},
    {"QueryCompliance", L"CheckCompliance", TARNSTUB_COMPLIANCE_FAILED},
    {"SetOperationStatus", L"SetOperationStatus", TARNSTUB_OPERATION_STATUS_FAILED},
    {"SendBladePayload", L"SendBladeMessage", TARNSTUB_BLADE_PAYLOAD_FAILED},
    {"GetActivationStatus", L"GetActivations", TARNSTUB_ACTIVATION_FAILED},
    {"CollectLog", L"LOG_CommitLogQueue", TARNSTUB_LOG_FAILED},
    {"ReportIncident", L"ReportIncident", TARNSTUB_INCIDENT_FAILED},
    {"GetCaCertFingerPrint", L"GetCaCertFingerPrint", TARNSTUB_CA_FINGERPRINT_FAILED},
    {"DownloadFile", L"DownloadFile", TARNSTUB_DOWNLOAD_FAILED},
    {"CollectPayload", L"TriggerPayloadPoll", TARNSTUB_PAYLOAD_FAILED},
};

// Odd while the server is away: requests that overlap such a time may fail
// with their own failure code.
std::atomic<unsigned> g_outage{0};

struct RequestTally {
    std::atomic<uint64_t> answered{0};
    std::atomic<uint64_t> duringRestart{0};
    // Of those, the ones that failed (the others were answered by the new
    // server before the soak had set it up).
    std::atomic<uint64_t> failedWhileAway{0};
    std::atomic<uint64_t> faults{0};
};
RequestTally g_requests;
// Successful requests per server operation in the current round.
std::atomic<ULONG> g_roundAnswered[kOpCount];

// Books one request: its code, whether the answer was the expected one, and
// the outage counter read before it started.
void Book(Op op, DWORD code, bool rightAnswer, unsigned outageBefore) {
    const OpInfo& info = kOps[op];
    if (code == TARNSTUB_OK && rightAnswer) {
        ++g_requests.answered;
        ++g_roundAnswered[op];
        return;
    }
    const bool serverAway = (outageBefore & 1) != 0 || g_outage.load() != outageBefore;
    // While the server is away a request fails with its own code; right
    // after, the new server may answer before it has been given the answers
    // the soak expects.
    if (serverAway && (code == info.failureCode || code == TARNSTUB_OK)) {
        ++g_requests.duringRestart;
        if (code != TARNSTUB_OK) ++g_requests.failedWhileAway;
        return;
    }
    ++g_requests.faults;
    if (code == TARNSTUB_OK)
        Problem("%s answered 0 with a wrong answer", info.name);
    else
        Problem("%s returned %lu%s", info.name, code, serverAway ? " (server away)" : " (server up)");
}

GUID OperationGuid(unsigned thread, unsigned n) {
    GUID id = {0x50a4c0de, static_cast<WORD>(thread), 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0}};
    for (int i = 0; i < 4; ++i) id.Data4[7 - i] = static_cast<BYTE>(n >> (8 * i));
    return id;
}

bool PolicyRequest(Op op, unsigned n, DWORD& code) {
    win::UniqueBstr content;
    std::string expected;
    if (op == kGetPolicy) {
        const LONG pac = kPacs[n % 3];
        code = GetPolicy(kPolicyType, pac, content.put());
        expected = PolicyText(kPolicyType, pac);
    } else {
        code = GetCommonClientPolicy(content.put());
        expected = PolicyText(51, 1);
    }
    return content.text() == Wide(expected);
}

bool ComplianceRequest(DWORD& code) {
    DWORD compliant = 0, changed = 0;
    code = QueryCompliance(&compliant, &changed);
    return compliant == 1 && changed == 1;
}

bool OperationStatusRequest(unsigned thread, unsigned n, DWORD& code) {
    const OperationStatusData data = {OperationGuid(thread, n), 2, L"soak", nullptr, n};
    code = SetOperationStatus(&data);
    return true;
}

bool BladePayloadRequest(unsigned thread, unsigned n, DWORD& code) {
    const std::wstring payload = L"soak payload " + std::to_wstring(thread) + L"-" + std::to_wstring(n);
    win::UniqueBstr response;
    code = SendBladePayload(L"SOAK_MESSAGE", payload.c_str(), response.put());
    return response.text() == payload;
}

bool ActivationRequest(DWORD& code) {
    LONG pacs[8] = {};
    LONG count = 8;
    code = GetActivationStatus(pacs, &count);
    return count == 3 && std::equal(pacs, pacs + 3, kPacs);
}

bool LogRequest(unsigned n, DWORD& code) {
    const std::string record = "soak log record " + std::to_string(n);
    code = CollectLog(reinterpret_cast<const BYTE*>(record.data()), static_cast<DWORD>(record.size()));
    return true;
}

bool IncidentRequest(unsigned thread, unsigned n, DWORD& code) {
    const std::wstring id = L"soak-" + std::to_wstring(thread) + L"-" + std::to_wstring(n);
    code = ReportIncident(id.c_str(), 5, L"soak", L"detail", nullptr, -1, n, 3, L"end");
    return true;
}

bool FingerPrintRequest(DWORD& code) {
    win::UniqueBstr print, spoken;
    code = GetCaCertFingerPrint(print.put(), spoken.put());
    return print.text() == L"REF-CA-FP" && spoken.text() == L"REF-CA-FP-ENG";
}

bool DownloadRequest(DWORD& code) {
    win::UniqueBstr name;
    code = DownloadFile(L"http://updates.example/soak.cab", name.put());
    return name.text() == kDownloadName;
}

bool PayloadRequest(unsigned n, DWORD& code) {
    code = CollectPayload(L"SOAK_PAYLOAD", (L"collected " + std::to_wstring(n)).c_str());
    return true;
}

// One request of a blade thread, booked.
void Request(unsigned thread, unsigned n) {
    const Op op = static_cast<Op>((n + thread) % kOpCount);
    const unsigned outageBefore = g_outage.load();
    DWORD code = static_cast<DWORD>(-1);
    bool right = false;
    switch (op) {
        case kGetPolicy:
        case kGetCommonClientPolicy: right = PolicyRequest(op, n, code); break;
        case kQueryCompliance: right = ComplianceRequest(code); break;
        case kSetOperationStatus: right = OperationStatusRequest(thread, n, code); break;
        case kSendBladePayload: right = BladePayloadRequest(thread, n, code); break;
        case kGetActivationStatus: right = ActivationRequest(code); break;
        case kCollectLog: right = LogRequest(n, code); break;
        case kReportIncident: right = IncidentRequest(thread, n, code); break;
        case kGetCaCertFingerPrint: right = FingerPrintRequest(code); break;
        case kDownloadFile: right = DownloadRequest(code); break;
        case kCollectPayload: right = PayloadRequest(n, code); break;
        case kOpCount: break;
    }
    Book(op, code, right, outageBefore);
}

// ---- the notifications ----------------------------------------------------------

enum Kind : unsigned { kActivations, kPolicies, kOperations, kPushes, kIncidents, kKindCount };

constexpr int kStreamKinds[kKindCount] = {TARNREF_STREAM_ACTIVATIONS, TARNREF_STREAM_POLICIES,
                                          TARNREF_STREAM_OPERATIONS, TARNREF_STREAM_PUSHDATA, TARNREF_STREAM_INCIDENTS};
constexpr const char* kKindNames[kKindCount] = {"activation lists", "policies", "operations", "payload responses",
                                                "incidents"};
constexpr wchar_t kPushType[] = L"SOAK_PUSH";

// What one kind's callback saw. A stream numbers its calls 1, 2, ...: each
// must come right after the one before.
struct KindTally {
    std::atomic<ULONG> last{0};
    std::atomic<ULONG> received{0};  // this round
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> lost{0};
    std::atomic<uint64_t> disordered{0};
    std::atomic<uint64_t> wrong{0};
};
KindTally g_kinds[kKindCount];

void Arrived(Kind kind, ULONG seq, bool right) {
    KindTally& tally = g_kinds[kind];
    if (seq != tally.last.load() + 1) ++tally.disordered;
    if (!right) ++tally.wrong;
    tally.last = seq;
    ++tally.delivered;
    ++tally.received;
}

ULONG SequenceOf(const GUID& id) {
    ULONG seq = 0;
    for (int i = 4; i < 8; ++i) seq = (seq << 8) | id.Data4[i];
    return seq;
}

std::atomic<unsigned> g_connects{0};
std::atomic<unsigned> g_restarts{0};

void __cdecl OnConnect() { ++g_connects; }

void __cdecl OnActivationList(const LONG* pacs, LONG count) {
    const ULONG seq = count == 1 ? static_cast<ULONG>(pacs[0]) : 0;
    // Now and then a blade takes its time: the other kinds go on meanwhile.
    if (seq % 97 == 0) Sleep(20);
    Arrived(kActivations, seq, count == 1);
}

void __cdecl OnNewPolicy(GUID policyId, LONG policyType, LONG pac) {
    const ULONG seq = static_cast<ULONG>(pac);
    if (seq % 89 == 0) Sleep(20);
    Arrived(kPolicies, seq, policyType == 60 && SequenceOf(policyId) == seq);
}

void __cdecl OnNewOperation(GUID opId, DWORD opType, BSTR content) {
    const bool right =
        win::UniqueBstr::Text(content) == L"operation " + std::to_wstring(opType) && SequenceOf(opId) == opType;
    // A blade answers some operations at once, from inside the callback.
    if (opType % 50 == 0) {
        const unsigned outageBefore = g_outage.load();
        const OperationStatusData status = {opId, 1, L"done in callback", nullptr, opType};
        Book(kSetOperationStatus, SetOperationStatus(&status), true, outageBefore);
    }
    Arrived(kOperations, opType, right);
}

void __cdecl OnPayloadResponse(BSTR payloadType, BSTR payload) {
    const std::wstring text = win::UniqueBstr::Text(payload);
    const ULONG seq = static_cast<ULONG>(_wtoi(text.c_str()));
    Arrived(kPushes, seq, win::UniqueBstr::Text(payloadType) == kPushType && text == std::to_wstring(seq));
}

void __cdecl OnIncident(BSTR incidentId, DWORD incidentType, BSTR detail1, BSTR, BSTR, LONG, DWORD value2, DWORD,
                        BSTR) {
    const bool right = incidentType == 1 && win::UniqueBstr::Text(detail1) == L"stream" &&
                       win::UniqueBstr::Text(incidentId) == std::to_wstring(value2);
    Arrived(kIncidents, value2, right);
}

// ---- the blade's threads ------------------------------------------------------------

// Hands each round's requests to the blade threads and tells the main
// thread when they are done.
class BladeThreads {
public:
    explicit BladeThreads(unsigned count) {
        for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this, i] { Run(i); });
    }
    ~BladeThreads() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }
    BladeThreads(const BladeThreads&) = delete;
    BladeThreads& operator=(const BladeThreads&) = delete;

    void StartRound(unsigned perThread) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            perThread_ = perThread;
            busy_ = static_cast<unsigned>(threads_.size());
            ++round_;
        }
        progress_ = 0;
        changed_.notify_all();
    }
    bool AwaitRound(DWORD timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return busy_ == 0; });
    }
    unsigned Progress() const { return progress_.load(); }

private:
    void Run(unsigned index) {
        unsigned seen = 0, n = 0;
        for (;;) {
            unsigned quota = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || round_ != seen; });
                if (stopping_) return;
                seen = round_;
                quota = perThread_;
            }
            for (unsigned i = 0; i < quota; ++i, ++progress_) Request(index, n++);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--busy_ == 0) changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned round_ = 0, perThread_ = 0, busy_ = 0;
    bool stopping_ = false;
    std::atomic<unsigned> progress_{0};
    std::vector<std::thread> threads_;
};

// ---- the blade's life ----------------------------------------------------------------

bool SendProviderInfo() {
    const wchar_t* names[] = {L"Version", L"State"};
    const wchar_t* values[] = {L"1.0", L"soaking"};
    ProviderInfoData info = {};
    info.name = L"SoakBlade";
    info.propertyNames = names;
    info.propertyValues = values;
    info.propertyCount = 2;
    return CollectProviderInfo(&info) == TARNSTUB_OK;
}

bool StartBlade() {
    const unsigned connects = g_connects.load();
    if (Initialize(kBladeType) != TARNSTUB_OK) return false;
    if (g_connects.load() != connects + 1) Problem("Initialize returned before the connect callback");
    if (TarnRef_RegistrationCount() != 1) Problem("%lu registrations after Initialize", TarnRef_RegistrationCount());
    return RegisterNewPolicyArrivalNotificationCallback(&OnNewPolicy) == TARNSTUB_OK &&
           RegisterNewOperationArrivalNotificationCallback(&OnNewOperation) == TARNSTUB_OK &&
           RegisterActivationStatusChangedNotificationCallback(&OnActivationList) == TARNSTUB_OK &&
           RegisterOnPayloadResponseNotificationCallback(&OnPayloadResponse) == TARNSTUB_OK &&
           RegisterReportIncidentNotificationCallback(&OnIncident) == TARNSTUB_OK && SendProviderInfo();
}

bool StopBlade() {
    if (Finalize() != TARNSTUB_OK) return false;
    // Every registration the server saw was taken back.
    if (TarnRef_RegistrationCount() != 0) Problem("%lu registrations left after Finalize", TarnRef_RegistrationCount());
    return true;
}

template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline) return condition();
        Sleep(10);
    }
    return true;
}

// The server ends by itself and a fresh one starts: the stub's monitor finds
// the old one gone and registers with the new one.
void RestartServer() {
    ++g_restarts;
    ++g_outage;
    const unsigned connects = g_connects.load();
    if (!TarnRef_ExitServer(kServerMs)) Problem("the server did not exit");
    // The stub's own reconnection may start one at the same moment.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) started = TarnRef_StartServer(kServerMs) != 0;
    if (!started) Problem("the server did not start again");
    ConfigureServer();
    if (!WaitUntil([&] { return g_connects.load() > connects; }, kReconnectMs))
        Problem("the stub did not reconnect within %lu ms", kReconnectMs);
    if (!WaitUntil([] { return TarnRef_RegistrationCount() == 1; }, kReconnectMs))
        Problem("%lu registrations on the new server", TarnRef_RegistrationCount());
    ++g_outage;
}

struct Plan {
    unsigned requests;
    unsigned notifications;
    unsigned restarts;
    unsigned rounds;
    unsigned cycleEvery;

    unsigned RequestsPerThread() const { return std::max(1u, requests / rounds / kBladeThreads); }
    ULONG PerKind() const { return std::max(1u, notifications / rounds / kKindCount); }
    bool RestartIn(unsigned round) const {
        for (unsigned i = 1; i <= restarts; ++i)
            if (round == i * rounds / (restarts + 1) + 1) return true;
        return false;
    }
    bool CycleAfter(unsigned round) const { return cycleEvery > 0 && round % cycleEvery == 0 && round < rounds; }
};

std::vector<ULONG> StartStreams(ULONG perKind) {
    std::vector<ULONG> streams;
    for (unsigned kind = 0; kind < kKindCount; ++kind) {
        g_kinds[kind].last = 0;
        g_kinds[kind].received = 0;
        const wchar_t* type = kStreamKinds[kind] == TARNREF_STREAM_PUSHDATA ? kPushType : nullptr;
        const ULONG id = TarnRef_StartStream(0, kStreamKinds[kind], perKind, type);
        if (id == 0) Problem("the %s stream did not start", kKindNames[kind]);
        streams.push_back(id);
    }
    return streams;
}

void AwaitStreams(const std::vector<ULONG>& streams, ULONG perKind) {
    for (unsigned kind = 0; kind < kKindCount; ++kind) {
        ULONG made = 0, failed = 0;
        if (streams[kind] == 0) continue;
        if (!TarnRef_WaitStream(streams[kind], kRoundMs, &made, &failed) || made != perKind || failed != 0)
            Problem("the %s stream made %lu calls, %lu failed", kKindNames[kind], made, failed);
    }
}

// Every notification the server sent has reached its callback.
void AwaitDeliveries(ULONG perKind) {
    WaitUntil(
        [&] {
            for (const KindTally& tally : g_kinds)
                if (tally.received.load() < perKind) return false;
            return true;
        },
        kDeliveryMs);
    for (unsigned kind = 0; kind < kKindCount; ++kind) {
        const ULONG received = g_kinds[kind].received.load();
        if (received == perKind) continue;
        g_kinds[kind].lost += perKind > received ? perKind - received : 0;
        Problem("%lu of %lu %s delivered", received, perKind, kKindNames[kind]);
    }
}

// What the server recorded is what the blade's successful requests sent.
void CompareWithServerRecord() {
    ULONG expected[kOpCount] = {};
    for (unsigned op = 0; op < kOpCount; ++op) {
        unsigned target = op;
        while (target > 0 && kOps[target - 1].serverOperation == kOps[op].serverOperation) --target;
        expected[target] += g_roundAnswered[op].load();
    }
    for (unsigned op = 0; op < kOpCount; ++op) {
        if (op > 0 && kOps[op - 1].serverOperation == kOps[op].serverOperation) continue;
        const ULONG recorded = TarnRef_CountCalls(kOps[op].serverOperation);
        if (recorded != expected[op])
            Problem("the server recorded %lu %ls calls, the blade made %lu", recorded, kOps[op].serverOperation,
                    expected[op]);
    }
}

void RunRound(const Plan& plan, unsigned round, BladeThreads& blade) {
    TarnRef_ClearCallRecord();  // the server keeps every call: one round at a time
    for (std::atomic<ULONG>& count : g_roundAnswered) count = 0;
    const ULONG perKind = plan.PerKind();
    blade.StartRound(plan.RequestsPerThread());
    const std::vector<ULONG> streams = StartStreams(perKind);
    AwaitStreams(streams, perKind);
    const bool restart = plan.RestartIn(round);
    if (restart) {
        // In the middle of the blade's traffic.
        const unsigned half = plan.RequestsPerThread() * kBladeThreads / 2;
        WaitUntil([&] { return blade.Progress() >= half; }, kRoundMs);
        RestartServer();
    }
    if (!blade.AwaitRound(kRoundMs)) {
        std::fprintf(stderr, "soak: PROBLEM: the blade's requests of round %u did not return\n", round);
        std::fflush(nullptr);
        ExitProcess(3);  // a hung request cannot be taken back
    }
    AwaitDeliveries(perKind);
    // A restart drops the old server's record with the server.
    if (!restart) CompareWithServerRecord();
}

// ---- figures --------------------------------------------------------------------------

uint64_t Delivered() {
    uint64_t sum = 0;
    for (const KindTally& tally : g_kinds) sum += tally.delivered.load();
    return sum;
}

// The process's figures at one moment, with the traffic up to then.
struct Sample {
    soak::Figures figures;
    uint64_t requests = 0;
    uint64_t notifications = 0;
    uint64_t failedWhileAway = 0;
    unsigned restarts = 0;
};

Sample TakeSample() {
    Sample sample;
    sample.figures = soak::Settled();
    sample.requests = g_requests.answered.load() + g_requests.duringRestart.load() + g_requests.faults.load();
    sample.notifications = Delivered();
    sample.failedWhileAway = g_requests.failedWhileAway.load();
    sample.restarts = g_restarts.load();
    return sample;
}

void PrintSample(const char* when, const Sample& sample) {
    const soak::Figures& figures = sample.figures;
    std::printf(
        "  %-22s handles %6lld  threads %4lld  private %7lld KiB  heap %7lld KiB  requests %7llu  "
        "notifications %6llu\n",
        when, static_cast<long long>(figures.handles), static_cast<long long>(figures.threads),
        static_cast<long long>(figures.privateBytes / 1024), static_cast<long long>(figures.heapBytes / 1024),
        static_cast<unsigned long long>(sample.requests), static_cast<unsigned long long>(sample.notifications));
    std::fflush(stdout);
}

bool Flat(const char* what, int64_t from, int64_t to, int64_t margin, const char* unit, int64_t scale) {
    const int64_t growth = to - from;
    const bool flat = from >= 0 && to >= 0 && growth <= margin;
    std::printf("  %-14s %+lld %s (margin %lld)%s\n", what, static_cast<long long>(growth / scale), unit,
                static_cast<long long>(margin / scale), flat ? "" : "  <-- GROWS");
    return flat;
}

bool NothingLost() {
    std::printf(
        "requests: %llu answered, %llu during a restart (%llu with their own failure code, the others "
        "with the new server's answer), %llu faults\n",
        static_cast<unsigned long long>(g_requests.answered.load()),
        static_cast<unsigned long long>(g_requests.duringRestart.load()),
        static_cast<unsigned long long>(g_requests.failedWhileAway.load()),
        static_cast<unsigned long long>(g_requests.faults.load()));
    bool whole = g_requests.faults.load() == 0;
    for (unsigned kind = 0; kind < kKindCount; ++kind) {
        const KindTally& tally = g_kinds[kind];
        std::printf("%-18s %8llu delivered, %llu lost, %llu out of order, %llu wrong\n", kKindNames[kind],
                    static_cast<unsigned long long>(tally.delivered.load()),
                    static_cast<unsigned long long>(tally.lost.load()),
                    static_cast<unsigned long long>(tally.disordered.load()),
                    static_cast<unsigned long long>(tally.wrong.load()));
        whole = whole && tally.lost.load() == 0 && tally.disordered.load() == 0 && tally.wrong.load() == 0;
    }
    return whole;
}

Plan ParsePlan(int argc, char** argv) {
    const auto arg = [&](int i, unsigned fallback) {
        return argc > i ? static_cast<unsigned>(std::max(0, std::atoi(argv[i]))) : fallback;
    };
    Plan plan{arg(1, 100000), arg(2, 20000), arg(3, 2), arg(4, 20), arg(5, 4)};
    plan.rounds = std::max(2u, plan.rounds);
    return plan;
}

int Soak(const Plan& plan) {
    adaptor_testing::SetMonitorPeriod(kMonitorPeriodMs);
    if (FAILED(TarnRef_RegisterServer()) || TarnRef_StartServer(kServerMs) == 0) {
        std::fprintf(stderr, "soak: the reference server cannot be registered or started\n");
        return 2;
    }
    TarnRef_Reset();
    ConfigureServer();
    if (RegisterConnectToTarnNotificationCallback(&OnConnect) != TARNSTUB_OK || !StartBlade()) {
        std::fprintf(stderr, "soak: the blade cannot start\n");
        return 2;
    }
    // The log is open now: cut it at a small size, so that the soak cuts it.
    adaptor_log_testing::OverrideLimits(kLogLimit, kLogTrunc);

    Sample start, middle, end;
    const LARGE_INTEGER began = bench::Now();
    {
        BladeThreads blade(kBladeThreads);
        for (unsigned round = 1; round <= plan.rounds; ++round) {
            RunRound(plan, round, blade);
            std::printf("round %2u of %u done at %6.1f s%s\n", round, plan.rounds, bench::Seconds(began, bench::Now()),
                        plan.RestartIn(round) ? " (server restarted)" : "");
            std::fflush(stdout);
            if (round == 1) PrintSample("start (after round 1)", start = TakeSample());
            if (round == plan.rounds / 2) PrintSample("middle", middle = TakeSample());
            if (round == plan.rounds) PrintSample("end", end = TakeSample());
            if (plan.CycleAfter(round) && !(StopBlade() && StartBlade())) Problem("a Finalize/Initialize cycle failed");
        }
    }
    const double seconds = bench::Seconds(began, bench::Now());
    if (!StopBlade()) Problem("the last Finalize failed");

    std::printf("\nafter %.1f s, growth from the middle to the end (process figures when quiet):\n", seconds);
    const soak::Figures& from = middle.figures;
    const soak::Figures& to = end.figures;
    const int64_t handleMargin =
        kHandleMargin + kHandlesPerDeadServer * (end.restarts - middle.restarts) +
        kHandlesPerFailedCall * static_cast<int64_t>(end.failedWhileAway - middle.failedWhileAway);
    bool flat = Flat("handles", from.handles, to.handles, handleMargin, "", 1);
    flat = Flat("threads", from.threads, to.threads, kThreadMargin, "", 1) && flat;
    const bool privateFlat =
        Flat("private bytes", from.privateBytes, to.privateBytes, kPrivateBytesMargin, "KiB", 1024);
    if (plan.rounds >= kRoundsToJudgePrivateBytes) {
        flat = privateFlat && flat;
    } else if (!privateFlat) {
        std::printf("  (private bytes are judged only in runs of %u rounds or more)\n", kRoundsToJudgePrivateBytes);
    }
    flat = Flat("heap in use", from.heapBytes, to.heapBytes, kHeapBytesMargin, "KiB", 1024) && flat;
    WIN32_FILE_ATTRIBUTE_DATA log = {};
    GetFileAttributesExW(adaptor_log_testing::CurrentLogPath().c_str(), GetFileExInfoStandard, &log);
    std::printf("log cuts: %u (limit %lu bytes), log now %lu bytes\n", adaptor_log_testing::TrimCopiesStarted(),
                kLogLimit, log.nFileSizeLow);
    const bool whole = NothingLost();
    std::printf("problems: %u\n", g_problems.load());
    const bool passed = flat && whole && g_problems.load() == 0;
    std::printf("soak: %s\n", passed ? "PASSED" : "FAILED");
    return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const Plan plan = ParsePlan(argc, argv);
    std::printf(
        "soak: %u requests from %u blade threads, %u notifications (5 kinds), %u server restarts, "
        "%u rounds\n",
        plan.RequestsPerThread() * kBladeThreads * plan.rounds, kBladeThreads,
        static_cast<unsigned>(plan.PerKind() * kKindCount * plan.rounds), plan.restarts, plan.rounds);
    std::fflush(stdout);
    int result = 0;
    {
        ScopedLogDir logDir(bench::MakeBenchDir(L"tarn-soak-"));
        result = Soak(plan);
        adaptor_log_testing::Reset();  // closes the log, so that its folder can go
    }
    // The server ends by itself once this program lets go of it.
    TarnRef_Disconnect();
    if (!TarnRef_WaitServerExit(kServerMs)) {
        std::fprintf(stderr, "soak: PROBLEM: the server did not end after the blade let go of it\n");
        TarnRef_ExitServer(kServerMs);
        result = result == 0 ? 1 : result;
    }
    TarnRef_UnregisterServer();
    return result;
}

// What the blade's notification callbacks received, recorded from whatever
// thread the stub calls them on.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tarnstub.h"

namespace notify_test {

// One callback's text argument as the blade saw it during the call.
struct ReceivedText {
    bool null = true;
    UINT length = 0;  // SysStringLen
    std::wstring text;
};

struct PolicyCall {
    GUID id;
    LONG type;
    LONG pac;
};

struct OperationCall {
    GUID id;
    DWORD type;
    ReceivedText content;
};

struct PayloadCall {
    ReceivedText type;
    ReceivedText payload;
};

struct IncidentCall {
    ReceivedText id;
    DWORD incidentType;
    ReceivedText detail1, detail2, detail3;
    LONG value1;
    DWORD value2, value3;
    ReceivedText detail4;
};

// The recorder behind the callbacks below: one per process, since the
// callbacks are plain functions.
class Recorder {
public:
    static Recorder& Get();

    // Forgets everything received; callbacks sleep delayMs inside each call.
    void Reset(DWORD delayMs = 0);

    // Waits (bounded) until at least count calls of the kind are recorded.
    bool WaitForPolicies(size_t count, DWORD timeoutMs = 5000);
    bool WaitForOperations(size_t count, DWORD timeoutMs = 5000);
    bool WaitForActivations(size_t count, DWORD timeoutMs = 5000);
    bool WaitForPayloads(size_t count, DWORD timeoutMs = 5000);
    bool WaitForIncidents(size_t count, DWORD timeoutMs = 5000);
    bool WaitForConnects(size_t count, DWORD timeoutMs = 5000);
    // Waits until no callback is running any more.
    bool WaitIdle(DWORD timeoutMs = 5000);

    std::vector<PolicyCall> Policies();
    std::vector<OperationCall> Operations();
    std::vector<std::vector<LONG>> Activations();
    std::vector<PayloadCall> Payloads();
    std::vector<IncidentCall> Incidents();
    size_t Connects();
    size_t Total();

    // After Close, every callback that starts or is still running counts as
    // late.
    void Close() { closed_ = true; }
    void Open() { closed_ = false; }
    long LateCalls() const { return lateCalls_; }
    long MaxConcurrent() const { return maxConcurrent_; }

    // Used by the callbacks.
    void Enter();
    void Leave();
    template <typename Store>
    void Record(Store store) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            store(*this);
        }
        changed_.notify_all();
    }

    std::vector<PolicyCall> policies_;
    std::vector<OperationCall> operations_;
    std::vector<std::vector<LONG>> activations_;
    std::vector<PayloadCall> payloads_;
    std::vector<IncidentCall> incidents_;
    size_t connects_ = 0;

private:
    template <typename Count>
    bool WaitUntil(Count count, size_t wanted, DWORD timeoutMs);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<DWORD> delayMs_{0};
    std::atomic<bool> closed_{false};
    std::atomic<long> lateCalls_{0};
    std::atomic<long> running_{0};
    std::atomic<long> maxConcurrent_{0};
};

ReceivedText Receive(BSTR text);

// The callbacks a blade would register; each records into Recorder::Get().
void TARNSTUB_CALL OnConnectCallback();
void TARNSTUB_CALL OnPolicyCallback(GUID id, LONG type, LONG pac);
void TARNSTUB_CALL OnOperationCallback(GUID id, DWORD type, BSTR content);
void TARNSTUB_CALL OnActivationCallback(const LONG* pacs, LONG count);
void TARNSTUB_CALL OnPayloadCallback(BSTR type, BSTR payload);
void TARNSTUB_CALL OnIncidentCallback(BSTR id, DWORD incidentType, BSTR detail1, BSTR detail2, BSTR detail3,
                                      LONG value1, DWORD value2, DWORD value3, BSTR detail4);
void TARNSTUB_CALL OnSettingsCallback(LONG setting, LONG value);

// Registers the five peer callbacks; each result must be TARNSTUB_OK.
bool RegisterPeerCallbacks();

// A GUID made of the given first field and fixed rest.
GUID MakeGuid(DWORD data1);

}  // namespace notify_test

#include "NotifyRecorder.h"

#include <chrono>

namespace notify_test {

Recorder& Recorder::Get() {
    static Recorder recorder;
    return recorder;
}

void Recorder::Reset(DWORD delayMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    policies_.clear();
    operations_.clear();
    activations_.clear();
    payloads_.clear();
    incidents_.clear();
    connects_ = 0;
    delayMs_ = delayMs;
    closed_ = false;
    lateCalls_ = 0;
    maxConcurrent_ = 0;
}

template <typename Count>
bool Recorder::WaitUntil(Count count, size_t wanted, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return count() >= wanted; });
}

bool Recorder::WaitForPolicies(size_t count, DWORD timeoutMs) {
    return WaitUntil([this] { return policies_.size(); }, count, timeoutMs);
}
bool Recorder::WaitForOperations(size_t count, DWORD timeoutMs) {
    return WaitUntil([this] { return operations_.size(); }, count, timeoutMs);
}
bool Recorder::WaitForActivations(size_t count, DWORD timeoutMs) {
    return WaitUntil([this] { return activations_.size(); }, count, timeoutMs);
}
bool Recorder::WaitForPayloads(size_t count, DWORD timeoutMs) {
    return WaitUntil([this] { return payloads_.size(); }, count, timeoutMs);
}
bool Recorder::WaitForIncidents(size_t count, DWORD timeoutMs) {
    return WaitUntil([this] { return incidents_.size(); }, count, timeoutMs);
}
bool Recorder::WaitForConnects(size_t count, DWORD timeoutMs) {
    return WaitUntil([this] { return connects_; }, count, timeoutMs);
}

bool Recorder::WaitIdle(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return running_ == 0; });
}

std::vector<PolicyCall> Recorder::Policies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return policies_;
}
std::vector<OperationCall> Recorder::Operations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return operations_;
}
std::vector<std::vector<LONG>> Recorder::Activations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return activations_;
}
std::vector<PayloadCall> Recorder::Payloads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return payloads_;
}
std::vector<IncidentCall> Recorder::Incidents() {
    std::lock_guard<std::mutex> lock(mutex_);
    return incidents_;
}
size_t Recorder::Connects() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connects_;
}
size_t Recorder::Total() {
    std::lock_guard<std::mutex> lock(mutex_);
    return policies_.size() + operations_.size() + activations_.size() + payloads_.size() + incidents_.size() +
           connects_;
}

void Recorder::Enter() {
    if (closed_) ++lateCalls_;
    const long now = ++running_;
    long seen = maxConcurrent_;
    while (now > seen && !maxConcurrent_.compare_exchange_weak(seen, now)) {
    }
    if (delayMs_) Sleep(delayMs_);
}

void Recorder::Leave() {
    // A callback still running when Close came is as late as one that
    // starts afterwards.
    if (closed_) ++lateCalls_;
    {
        // Under the lock, so that WaitIdle cannot miss the last wake-up.
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
    }
    changed_.notify_all();
}

ReceivedText Receive(BSTR text) {
    ReceivedText received;
    received.null = text == nullptr;
    if (text) {
        received.length = SysStringLen(text);
        received.text.assign(text, received.length);
    }
    return received;
}

// ---- callbacks ------------------------------------------------------------

namespace {

// Enter on construction, Leave on destruction, so the count of running
// callbacks stays right on every path.
class CallScope {
public:
    CallScope() { Recorder::Get().Enter(); }
    ~CallScope() { Recorder::Get().Leave(); }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

}  // namespace

void TARNSTUB_CALL OnConnectCallback() {
    CallScope scope;
    Recorder::Get().Record([](Recorder& r) { ++r.connects_; });
}

void TARNSTUB_CALL OnPolicyCallback(GUID id, LONG type, LONG pac) {
    CallScope scope;
    Recorder::Get().Record([&](Recorder& r) { r.policies_.push_back({id, type, pac}); });
}

void TARNSTUB_CALL OnOperationCallback(GUID id, DWORD type, BSTR content) {
    CallScope scope;
    OperationCall call{id, type, Receive(content)};
    Recorder::Get().Record([&](Recorder& r) { r.operations_.push_back(call); });
}

void TARNSTUB_CALL OnActivationCallback(const LONG* pacs, LONG count) {
    CallScope scope;
    // The array is valid only during the call: copy it now.
    std::vector<LONG> copy;
    if (pacs && count > 0) copy.assign(pacs, pacs + count);
    if (!pacs && count != 0) copy.assign(1, -999999);  // marks a null array with a count
    Recorder::Get().Record([&](Recorder& r) { r.activations_.push_back(copy); });
}

void TARNSTUB_CALL OnPayloadCallback(BSTR type, BSTR payload) {
    CallScope scope;
    PayloadCall call{Receive(type), Receive(payload)};
    Recorder::Get().Record([&](Recorder& r) { r.payloads_.push_back(call); });
}

void TARNSTUB_CALL OnIncidentCallback(BSTR id, DWORD incidentType, BSTR detail1, BSTR detail2, BSTR detail3,
                                      LONG value1, DWORD value2, DWORD value3, BSTR detail4) {
    CallScope scope;
    IncidentCall call{Receive(id),      incidentType, Receive(detail1), Receive(detail2), Receive(detail3),
                      value1,           value2,       value3,           Receive(detail4)};
    Recorder::Get().Record([&](Recorder& r) { r.incidents_.push_back(call); });
}

void TARNSTUB_CALL OnSettingsCallback(LONG, LONG) {}

bool RegisterPeerCallbacks() {
    return RegisterNewPolicyArrivalNotificationCallback(&OnPolicyCallback) == TARNSTUB_OK &&
           RegisterNewOperationArrivalNotificationCallback(&OnOperationCallback) == TARNSTUB_OK &&
           RegisterActivationStatusChangedNotificationCallback(&OnActivationCallback) == TARNSTUB_OK &&
           RegisterOnPayloadResponseNotificationCallback(&OnPayloadCallback) == TARNSTUB_OK &&
           RegisterReportIncidentNotificationCallback(&OnIncidentCallback) == TARNSTUB_OK;
}

GUID MakeGuid(DWORD data1) {
    GUID guid = {data1, 0x1a2b, 0x3c4d, {0x81, 0x92, 0xa3, 0xb4, 0xc5, 0xd6, 0xe7, 0xf8}};
    return guid;
}

}  // namespace notify_test

// What the blade's notification callbacks received, recorded from whatever
// thread the stub calls them on, and the frame both notification suites share.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "LogFile.h"
#include "ServerFixture.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace notify_test {

// A text argument as the blade saw it during the call: SysStringLen
// characters, nullopt for a null BSTR.
using Text = std::optional<std::wstring>;
inline Text Receive(BSTR text) { return text ? Text(std::wstring(text, SysStringLen(text))) : std::nullopt; }

struct PolicyCall {
    GUID id;
    LONG type, pac;
};
struct OperationCall {
    GUID id;
    DWORD type;
    Text content;
};
struct PayloadCall {
    Text type, payload;
};
struct IncidentCall {
    std::vector<Text> texts;
    DWORD incidentType;
    LONG value1;
    DWORD value2, value3;
};

class Recorder {
public:
    static Recorder& Get() {
        static Recorder recorder;
        return recorder;
    }
    // Forgets everything received; callbacks then sleep delayMs inside each
    // call, or inside every other call when alternating (a delivery that
    // starts later then finishes sooner, unless something keeps the order).
    void Reset(DWORD delayMs = 0, bool alternating = false) {
        std::lock_guard<std::mutex> lock(mutex_);
        policies.clear();
        operations.clear();
        activations.clear();
        payloads.clear();
        incidents.clear();
        threads.clear();
        delayMs_ = delayMs;
        alternating_ = alternating;
        calls_ = 0;
        closed_ = false;
        late_ = 0;
    }
    template <typename T>
    std::vector<T> Copy(const std::vector<T>& list) {
        std::lock_guard<std::mutex> lock(mutex_);
        return list;
    }
    template <typename T>
    bool WaitFor(const std::vector<T>& list, size_t count, DWORD timeoutMs = tarn_test::kWaitMs) {
        return tarn_test::WaitUntil([&] { return Copy(list).size() >= count; }, timeoutMs);
    }
    size_t Total() {
        std::lock_guard<std::mutex> lock(mutex_);
        return policies.size() + operations.size() + activations.size() + payloads.size() + incidents.size();
    }
    // From Close on, a callback that starts or is still running counts as late.
    void Close() { closed_ = true; }
    long Late() const { return late_; }
    long Running() const { return running_; }

    template <typename T>
    void Record(std::vector<T> Recorder::* list, T call) {
        if (closed_) ++late_;
        ++running_;
        if (delayMs_ && (!alternating_ || calls_++ % 2 == 0)) Sleep(delayMs_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            (this->*list).push_back(std::move(call));
            threads.push_back(GetCurrentThreadId());
        }
        if (closed_) ++late_;  // still running when Close came: as late as starting afterwards
        --running_;
    }

    std::vector<PolicyCall> policies;
    std::vector<OperationCall> operations;
    std::vector<std::vector<LONG>> activations;
    std::vector<PayloadCall> payloads;
    std::vector<IncidentCall> incidents;
    // The thread of every callback, of whatever kind, in the order recorded.
    std::vector<DWORD> threads;

private:
    std::mutex mutex_;
    std::atomic<DWORD> delayMs_{0};
    std::atomic<bool> alternating_{false};
    std::atomic<unsigned> calls_{0};
    std::atomic<bool> closed_{false};
    std::atomic<long> late_{0}, running_{0};
};

// The callbacks a blade would register; each records into Recorder::Get().
inline void TARNSTUB_CALL OnPolicy(GUID id, LONG type, LONG pac) {
    Recorder::Get().Record(&Recorder::policies, PolicyCall{id, type, pac});
}
inline void TARNSTUB_CALL OnOperation(GUID id, DWORD type, BSTR content) {
    Recorder::Get().Record(&Recorder::operations, OperationCall{id, type, Receive(content)});
}
inline void TARNSTUB_CALL OnActivation(const LONG* pacs, LONG count) {
    // The array is valid only during the call; a null array with a count shows as {-999999}.
    std::vector<LONG> copy =
        pacs ? std::vector<LONG>(pacs, pacs + (count > 0 ? count : 0)) : std::vector<LONG>(count ? 1 : 0, -999999);
    Recorder::Get().Record(&Recorder::activations, std::move(copy));
}
inline void TARNSTUB_CALL OnPayload(BSTR type, BSTR payload) {
    Recorder::Get().Record(&Recorder::payloads, PayloadCall{Receive(type), Receive(payload)});
}
inline void TARNSTUB_CALL OnIncident(BSTR id, DWORD incidentType, BSTR detail1, BSTR detail2, BSTR detail3, LONG value1,
                                     DWORD value2, DWORD value3, BSTR detail4) {
    std::vector<Text> texts{Receive(id), Receive(detail1), Receive(detail2), Receive(detail3), Receive(detail4)};
    Recorder::Get().Record(&Recorder::incidents, IncidentCall{texts, incidentType, value1, value2, value3});
}

inline bool RegisterPeerCallbacks() {
    return RegisterNewPolicyArrivalNotificationCallback(&OnPolicy) == TARNSTUB_OK &&
           RegisterNewOperationArrivalNotificationCallback(&OnOperation) == TARNSTUB_OK &&
           RegisterActivationStatusChangedNotificationCallback(&OnActivation) == TARNSTUB_OK &&
           RegisterOnPayloadResponseNotificationCallback(&OnPayload) == TARNSTUB_OK &&
           RegisterReportIncidentNotificationCallback(&OnIncident) == TARNSTUB_OK;
}

inline GUID MakeGuid(DWORD data1) { return {data1, 0x1a2b, 0x3c4d, {0x81, 0x92, 0xa3, 0xb4, 0xc5, 0xd6, 0xe7, 0xf8}}; }

class NotifyTest : public tarn_test::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        Recorder::Get().Reset();
    }
    // The result of a call the server made to the stub's callback object.
    static HRESULT Await(ULONG callId) {
        EXPECT_NE(0u, callId) << "the server has no client to call";
        HRESULT result = E_UNEXPECTED;
        EXPECT_TRUE(TarnRef_WaitCall(callId, tarn_test::kWaitMs, &result)) << "call " << callId << " did not return";
        return result;
    }
    Recorder& recorder_ = Recorder::Get();
    size_t Entries(wchar_t level, const std::wstring& entry) const {
        return tarn_test::CountEntries(LogLines(), level, entry);
    }
    size_t EntriesStartingWith(const std::wstring& prefix) const {
        return tarn_test::CountEntriesStartingWith(LogLines(), prefix);
    }
};

}  // namespace notify_test

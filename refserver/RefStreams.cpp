// Notification streams: one thread of the server makes a series of calls of
// one kind to a client, each waiting for the previous one to return, each
// carrying its sequence number 1..count so that the receiver can check the
// order it saw them in.
#include "RefState.h"
#include "tarnref.h"

#include <string>

namespace tarnref {
namespace {

win::UniqueBstr Bstr(const std::wstring& text) { return win::UniqueBstr::Copy(text.c_str()); }

std::wstring SequenceText(ULONG seq) { return std::to_wstring(seq); }

// An id that differs per sequence number and shows it in its last group.
GUID SequenceGuid(ULONG seq) {
    GUID id = {0x5e0a11d5, 0x7a72, 0x4e00, {0x80, 0, 0, 0, 0, 0, 0, 0}};
    for (int i = 0; i < 4; ++i) id.Data4[7 - i] = static_cast<BYTE>(seq >> (8 * i));
    return id;
}

HRESULT ActivateOne(ITARNClient* client, ULONG seq) {
    const LONG pac = static_cast<LONG>(seq);
    win::UniqueSafeArray pacs = MakeLongArray(&pac, 1);
    if (!pacs) return E_OUTOFMEMORY;
    return client->ActivatePolicies(pacs.get());
}

// A description the adaptor's parser accepts: the attributes it reads, none
// of them at the start of the text.
std::wstring PolicyDescription(ULONG seq) {
    return L"<policy type=\"60\" pac=\"" + SequenceText(seq) + L"\" id=\"" + FormatGuid(SequenceGuid(seq)) +
           L"\" modDate=\"" + SequenceText(seq) + L"\"/>";
}

HRESULT PolicyOne(ITARNClient* client, ULONG seq) {
    return client->PolicyArrivalNotification(Bstr(PolicyDescription(seq)).get());
}

HRESULT OperationOne(ITARNClient* client, ULONG seq) {
    return client->OperationArrivalNotification(SequenceGuid(seq), seq, Bstr(L"operation " + SequenceText(seq)).get());
}

HRESULT PushOne(ITARNClient* client, ULONG seq, const std::wstring* type) {
    const std::string text = std::to_string(seq);  // digits: the same in UTF-8
    win::UniqueSafeArray payload = MakeByteArray(text.data(), static_cast<ULONG>(text.size()));
    if (!payload) return E_OUTOFMEMORY;
    win::UniqueBstr typeText = type ? Bstr(*type) : win::UniqueBstr();
    return client->PushData(payload.get(), typeText.get());
}

HRESULT IncidentOne(IKestrel* kestrel, ULONG seq) {
    return kestrel->ReportIncident(Bstr(SequenceText(seq)).get(), 1, Bstr(L"stream").get(), Bstr(L"").get(),
                                   Bstr(L"").get(), 0, seq, 0, Bstr(L"").get());
}

// Makes the count calls; the stream's result is its first failure, if any.
template <typename One>
HRESULT RunStream(ClientCall& call, ULONG count, One&& one) {
    HRESULT first = S_OK;
    for (ULONG seq = 1; seq <= count; ++seq) {
        const HRESULT hr = one(seq);
        if (FAILED(hr)) {
            ++call.streamFailed;
            if (SUCCEEDED(first)) first = hr;
        }
        ++call.streamMade;
    }
    return first;
}

bool IsKnownKind(int kind) { return kind >= TARNREF_STREAM_ACTIVATIONS && kind <= TARNREF_STREAM_INCIDENTS; }

}  // namespace

ULONG StartStream(win::ComPtr<ITARNClient> client, int kind, ULONG count, const wchar_t* payloadType) {
    if (!IsKnownKind(kind)) return 0;
    const bool hasType = payloadType != nullptr;
    const std::wstring type = payloadType ? payloadType : L"";
    return StartClientCall(std::move(client), [=](ITARNClient* target, ClientCall& call) {
        switch (kind) {
            case TARNREF_STREAM_ACTIVATIONS:
                return RunStream(call, count, [&](ULONG seq) { return ActivateOne(target, seq); });
            case TARNREF_STREAM_POLICIES:
                return RunStream(call, count, [&](ULONG seq) { return PolicyOne(target, seq); });
            case TARNREF_STREAM_OPERATIONS:
                return RunStream(call, count, [&](ULONG seq) { return OperationOne(target, seq); });
            case TARNREF_STREAM_PUSHDATA:
                return RunStream(call, count,
                                 [&](ULONG seq) { return PushOne(target, seq, hasType ? &type : nullptr); });
            default: {
                win::ComPtr<IKestrel> kestrel;
                const HRESULT hr =
                    target->QueryInterface(IID_IKestrel, reinterpret_cast<void**>(kestrel.GetAddressOf()));
                if (FAILED(hr)) return hr;
                return RunStream(call, count, [&](ULONG seq) { return IncidentOne(kestrel.Get(), seq); });
            }
        }
    });
}

}  // namespace tarnref

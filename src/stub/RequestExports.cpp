// The request exports. Each reads as: its checks in order, its adaptor
// method on a request worker with its failure code, and the copy of the
// outputs on success. Memory that runs out in the export itself gives 31.
#include <algorithm>
#include <string>
#include <vector>

#include "records/OperationStatusInfo.h"
#include "records/ProviderInfo.h"
#include "records/WideText.h"
#include "stub/RequestWorker.h"

namespace {

using records::TextOrEmpty;

// Hands a text to the caller as a new BSTR. 31 when it cannot be allocated.
DWORD StoreBstr(const std::wstring& text, BSTR* slot) {
    win::UniqueBstr copy = win::UniqueBstr::Copy(text);
    if (!copy.get()) return TARNSTUB_OUT_OF_MEMORY;
    *slot = copy.release();
    return TARNSTUB_OK;
}

template <typename Body>
DWORD ExportFrame(const char* name, Body&& body) noexcept {
    return Guarded(name, static_cast<DWORD>(TARNSTUB_OUT_OF_MEMORY), std::forward<Body>(body));
}

// The room GetActivationStatus asks the caller for at the least.
constexpr LONG kMinimumActivationCapacity = 3;

}  // namespace

extern "C" {

DWORD __cdecl GetPolicy(LONG policyType, LONG pac, BSTR* content) {
    return ExportFrame("GetPolicy", [&]() -> DWORD {
        RequestExport request("GetPolicy");
        if (!content) return TARNSTUB_NULL_POINTER;
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        PolicyInfo info;
        info.type = policyType;
        info.pac = pac;
        std::wstring text;
        const DWORD code =
            request.Run([&](TarnAdaptor& a) { return a.QueryPolicyContent(info, text); }, TARNSTUB_POLICY_FAILED);
        return code == TARNSTUB_OK ? StoreBstr(text, content) : code;
    });
}

DWORD __cdecl GetCommonClientPolicy(BSTR* content) {
    return ExportFrame("GetCommonClientPolicy", [&]() -> DWORD {
        RequestExport request("GetCommonClientPolicy");
        if (!content) return TARNSTUB_NULL_POINTER;
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        std::wstring text;
        const DWORD code = request.Run(
            [&](TarnAdaptor& a) {
                PolicyInfo info;
                info.type = 51;  // the common client policy
                info.pac = 1;
                return a.QueryPolicyContent(info, text);
            },
            TARNSTUB_POLICY_FAILED);
        return code == TARNSTUB_OK ? StoreBstr(text, content) : code;
    });
}

DWORD __cdecl QueryCompliance(DWORD* compliant, DWORD* changed) {
    return ExportFrame("QueryCompliance", [&]() -> DWORD {
        RequestExport request("QueryCompliance");
        if (!compliant || !changed) return TARNSTUB_NULL_POINTER;
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        bool isCompliant = false, hasChanged = false;
        const DWORD code = request.Run([&](TarnAdaptor& a) { return a.QueryCompliance(isCompliant, hasChanged); },
                                       TARNSTUB_COMPLIANCE_FAILED);
        if (code == TARNSTUB_OK) {
            *compliant = isCompliant ? 1 : 0;
            *changed = hasChanged ? 1 : 0;
        }
        return code;
    });
}

DWORD __cdecl SetOperationStatus(const OperationStatusData* data) {
    return ExportFrame("SetOperationStatus", [&]() -> DWORD {
        RequestExport request("SetOperationStatus");
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        if (!data) return TARNSTUB_NULL_POINTER;
        return request.Run([&](TarnAdaptor& a) { return a.SetOperationStatus(OperationStatusInfo(*data)); },
                           TARNSTUB_OPERATION_STATUS_FAILED);
    });
}

DWORD __cdecl GetActivationStatus(LONG* pacs, LONG* count) {
    return ExportFrame("GetActivationStatus", [&]() -> DWORD {
        RequestExport request("GetActivationStatus");
        if (!pacs || !count) return TARNSTUB_NULL_POINTER;
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        if (*count < kMinimumActivationCapacity) {
            // The caller learns the room to offer, as for a list that does
            // not fit: asking again with *count entries then gets further.
            *count = kMinimumActivationCapacity;
            return TARNSTUB_BUFFER_TOO_SMALL;
        }
        std::vector<LONG> list;
        const DWORD code =
            request.Run([&](TarnAdaptor& a) { return a.QueryActivations(list); }, TARNSTUB_ACTIVATION_FAILED);
        if (code != TARNSTUB_OK) return code;
        // A list longer than the caller's room is never written past it: the
        // caller learns the length and can ask again with enough room.
        const LONG length = static_cast<LONG>(list.size());
        if (length > *count) {
            *count = length;
            return TARNSTUB_BUFFER_TOO_SMALL;
        }
        std::copy(list.begin(), list.end(), pacs);
        *count = length;
        return TARNSTUB_OK;
    });
}

DWORD __cdecl ReportIncident(const wchar_t* incidentId, DWORD incidentType, const wchar_t* detail1,
                             const wchar_t* detail2, const wchar_t* detail3, LONG value1, DWORD value2, DWORD value3,
                             const wchar_t* detail4) {
    return ExportFrame("ReportIncident", [&]() -> DWORD {
        RequestExport request("ReportIncident");
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        const std::wstring id = TextOrEmpty(incidentId), d1 = TextOrEmpty(detail1), d2 = TextOrEmpty(detail2),
                           d3 = TextOrEmpty(detail3), d4 = TextOrEmpty(detail4);
        return request.Run(
            [&](TarnAdaptor& a) { return a.ReportIncident(id, incidentType, d1, d2, d3, value1, value2, value3, d4); },
            TARNSTUB_INCIDENT_FAILED);
    });
}

DWORD __cdecl CollectLog(const BYTE* record, DWORD size) {
    return ExportFrame("CollectLog", [&]() -> DWORD {
        RequestExport request("CollectLog");
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        return request.Run([&](TarnAdaptor& a) { return a.CollectLog(record, size); }, TARNSTUB_LOG_FAILED);
    });
}

DWORD __cdecl CollectProviderInfo(const ProviderInfoData* data) {
    return ExportFrame("CollectProviderInfo", [&]() -> DWORD {
        RequestExport request("CollectProviderInfo");
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        if (!data) return TARNSTUB_NULL_POINTER;
        return request.Run([&](TarnAdaptor& a) { return a.CollectProviderInfo(ProviderInfo::FromData(*data)); },
                           TARNSTUB_PROVIDER_INFO_FAILED);
    });
}

DWORD __cdecl CollectPayload(const wchar_t* payloadType, const wchar_t* payload) {
    return ExportFrame("CollectPayload", [&]() -> DWORD {
        RequestExport request("CollectPayload");
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        const std::wstring type = TextOrEmpty(payloadType), data = TextOrEmpty(payload);
        return request.Run([&](TarnAdaptor& a) { return a.CollectPayload(type, data); }, TARNSTUB_PAYLOAD_FAILED);
    });
}

DWORD __cdecl SendBladePayload(const wchar_t* payloadType, const wchar_t* payload, BSTR* response) {
    return ExportFrame("SendBladePayload", [&]() -> DWORD {
        RequestExport request("SendBladePayload");
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        if (!payloadType || !payload || !response) return TARNSTUB_NULL_POINTER;
        const std::wstring type = payloadType, data = payload;
        std::wstring answer;
        const DWORD code = request.Run([&](TarnAdaptor& a) { return a.SendBladePayload(type, data, answer); },
                                       TARNSTUB_BLADE_PAYLOAD_FAILED);
        // The response text is handed over whatever the outcome: after a
        // failed send it is empty.
        const DWORD stored = StoreBstr(answer, response);
        return code != TARNSTUB_OK ? code : stored;
    });
}

DWORD __cdecl DownloadFile(const wchar_t* url, BSTR* fileName) {
    return ExportFrame("DownloadFile", [&]() -> DWORD {
        RequestExport request("DownloadFile");
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        if (!fileName) return TARNSTUB_NULL_POINTER;
        const std::wstring address = TextOrEmpty(url);
        std::wstring name;
        const DWORD code =
            request.Run([&](TarnAdaptor& a) { return a.DownLoadFile(address, name); }, TARNSTUB_DOWNLOAD_FAILED);
        return code == TARNSTUB_OK ? StoreBstr(name, fileName) : code;
    });
}

DWORD __cdecl GetCaCertFingerPrint(BSTR* caCertFP, BSTR* caCertFPEng) {
    return ExportFrame("GetCaCertFingerPrint", [&]() -> DWORD {
        RequestExport request("GetCaCertFingerPrint");
        if (!caCertFP || !caCertFPEng) return TARNSTUB_NULL_POINTER;
        if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
        std::wstring fingerPrint, spoken;
        const DWORD code = request.Run([&](TarnAdaptor& a) { return a.GetCaCertFingerPrint(fingerPrint, spoken); },
                                       TARNSTUB_CA_FINGERPRINT_FAILED);
        if (code != TARNSTUB_OK) return code;
        win::UniqueBstr first = win::UniqueBstr::Copy(fingerPrint);
        win::UniqueBstr second = win::UniqueBstr::Copy(spoken);
        if (!first.get() || !second.get()) return TARNSTUB_OUT_OF_MEMORY;
        *caCertFP = first.release();
        *caCertFPEng = second.release();
        return TARNSTUB_OK;
    });
}

}  // extern "C"

// The request exports. Each reads as: its checks in order, its argument
// block, its adaptor method on a request worker, its failure code, and the
// copy of the outputs on success.
#include <algorithm>
#include <string>
#include <vector>

#include "adaptor/TarnAdaptor.h"
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

struct PolicyBlock {
    PolicyInfo info;
    std::wstring content;
};

struct IncidentBlock {
    std::wstring incidentId;
    ULONG incidentType;
    std::wstring detail1, detail2, detail3;
    LONG value1;
    ULONG value2, value3;
    std::wstring detail4;
};

struct LogRecordBlock {
    const BYTE* record;
    DWORD size;
};

struct PayloadBlock {
    std::wstring payloadType;
    std::wstring payload;
    std::wstring response;
};

struct DownloadBlock {
    std::wstring url;
    std::wstring fileName;
};

struct FingerPrintBlock {
    std::wstring caCertFP;
    std::wstring caCertFPEng;
};

struct ComplianceBlock {
    bool compliant = false;
    bool changed = false;
};

}  // namespace

extern "C" {

DWORD __cdecl GetPolicy(LONG policyType, LONG pac, BSTR* content) {
    RequestExport request;
    if (!content) return TARNSTUB_NULL_POINTER;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    PolicyBlock block;
    block.info.type = policyType;
    block.info.pac = pac;
    const DWORD code = request.Run(
        block, [](TarnAdaptor& a, PolicyBlock& b) { return a.QueryPolicyContent(b.info, b.content); },
        TARNSTUB_POLICY_FAILED);
    return code == TARNSTUB_OK ? StoreBstr(block.content, content) : code;
}

DWORD __cdecl GetCommonClientPolicy(BSTR* content) {
    RequestExport request;
    if (!content) return TARNSTUB_NULL_POINTER;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    PolicyBlock block;
    const DWORD code = request.Run(
        block,
        [](TarnAdaptor& a, PolicyBlock& b) {
            b.info.type = 51;  // the common client policy
            b.info.pac = 1;
            return a.QueryPolicyContent(b.info, b.content);
        },
        TARNSTUB_POLICY_FAILED);
    return code == TARNSTUB_OK ? StoreBstr(block.content, content) : code;
}

DWORD __cdecl QueryCompliance(DWORD* compliant, DWORD* changed) {
    RequestExport request;
    if (!compliant || !changed) return TARNSTUB_NULL_POINTER;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    ComplianceBlock block;
    const DWORD code = request.Run(
        block, [](TarnAdaptor& a, ComplianceBlock& b) { return a.QueryCompliance(b.compliant, b.changed); },
        TARNSTUB_COMPLIANCE_FAILED);
    if (code == TARNSTUB_OK) {
        *compliant = block.compliant ? 1 : 0;
        *changed = block.changed ? 1 : 0;
    }
    return code;
}

DWORD __cdecl SetOperationStatus(const OperationStatusData* data) {
    RequestExport request;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    if (!data) return TARNSTUB_NULL_POINTER;
    const OperationStatusData* block = data;
    return request.Run(
        block,
        [](TarnAdaptor& a, const OperationStatusData*& d) {
            return a.SetOperationStatus(OperationStatusInfo(*d));
        },
        TARNSTUB_OPERATION_STATUS_FAILED);
}

DWORD __cdecl GetActivationStatus(LONG* pacs, LONG* count) {
    RequestExport request;
    if (!pacs || !count) return TARNSTUB_NULL_POINTER;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    constexpr LONG kMinimumCapacity = 3;
    if (*count < kMinimumCapacity) return TARNSTUB_BUFFER_TOO_SMALL;
    std::vector<LONG> block;
    const DWORD code = request.Run(
        block, [](TarnAdaptor& a, std::vector<LONG>& list) { return a.QueryActivations(list); },
        TARNSTUB_ACTIVATION_FAILED);
    if (code != TARNSTUB_OK) return code;
    // A list longer than the caller's room is never written past it: the
    // caller learns the length and can ask again with enough room.
    const LONG length = static_cast<LONG>(block.size());
    if (length > *count) {
        *count = length;
        return TARNSTUB_BUFFER_TOO_SMALL;
    }
    std::copy(block.begin(), block.end(), pacs);
    *count = length;
    return TARNSTUB_OK;
}

DWORD __cdecl ReportIncident(const wchar_t* incidentId, DWORD incidentType, const wchar_t* detail1,
                             const wchar_t* detail2, const wchar_t* detail3, LONG value1,
                             DWORD value2, DWORD value3, const wchar_t* detail4) {
    RequestExport request;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    IncidentBlock block{TextOrEmpty(incidentId), incidentType, TextOrEmpty(detail1),
                        TextOrEmpty(detail2),    TextOrEmpty(detail3), value1,
                        value2,                  value3,               TextOrEmpty(detail4)};
    return request.Run(
        block,
        [](TarnAdaptor& a, IncidentBlock& b) {
            return a.ReportIncident(b.incidentId, b.incidentType, b.detail1, b.detail2, b.detail3,
                                    b.value1, b.value2, b.value3, b.detail4);
        },
        TARNSTUB_INCIDENT_FAILED);
}

DWORD __cdecl CollectLog(const BYTE* record, DWORD size) {
    RequestExport request;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    LogRecordBlock block{record, size};
    return request.Run(
        block, [](TarnAdaptor& a, LogRecordBlock& b) { return a.CollectLog(b.record, b.size); },
        TARNSTUB_LOG_FAILED);
}

DWORD __cdecl CollectProviderInfo(const ProviderInfoData* data) {
    RequestExport request;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    if (!data) return TARNSTUB_NULL_POINTER;
    const ProviderInfoData* block = data;
    return request.Run(
        block,
        [](TarnAdaptor& a, const ProviderInfoData*& d) {
            return a.CollectProviderInfo(ProviderInfo::FromData(*d));
        },
        TARNSTUB_PROVIDER_INFO_FAILED);
}

DWORD __cdecl CollectPayload(const wchar_t* payloadType, const wchar_t* payload) {
    RequestExport request;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    PayloadBlock block{TextOrEmpty(payloadType), TextOrEmpty(payload), {}};
    return request.Run(
        block, [](TarnAdaptor& a, PayloadBlock& b) { return a.CollectPayload(b.payloadType, b.payload); },
        TARNSTUB_PAYLOAD_FAILED);
}

DWORD __cdecl SendBladePayload(const wchar_t* payloadType, const wchar_t* payload, BSTR* response) {
    RequestExport request;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    if (!payloadType || !payload || !response) return TARNSTUB_NULL_POINTER;
    PayloadBlock block{payloadType, payload, {}};
    const DWORD code = request.Run(
        block,
        [](TarnAdaptor& a, PayloadBlock& b) {
            return a.SendBladePayload(b.payloadType, b.payload, b.response);
        },
        TARNSTUB_BLADE_PAYLOAD_FAILED);
    // The response text is handed over whatever the outcome: after a failed
    // send it is empty.
    const DWORD stored = StoreBstr(block.response, response);
    return code != TARNSTUB_OK ? code : stored;
}

DWORD __cdecl DownloadFile(const wchar_t* url, BSTR* fileName) {
    RequestExport request;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    if (!fileName) return TARNSTUB_NULL_POINTER;
    DownloadBlock block{TextOrEmpty(url), {}};
    const DWORD code = request.Run(
        block, [](TarnAdaptor& a, DownloadBlock& b) { return a.DownLoadFile(b.url, b.fileName); },
        TARNSTUB_DOWNLOAD_FAILED);
    return code == TARNSTUB_OK ? StoreBstr(block.fileName, fileName) : code;
}

DWORD __cdecl GetCaCertFingerPrint(BSTR* caCertFP, BSTR* caCertFPEng) {
    RequestExport request;
    if (!caCertFP || !caCertFPEng) return TARNSTUB_NULL_POINTER;
    if (!request.Adaptor()) return TARNSTUB_NOT_INITIALIZED;
    FingerPrintBlock block;
    const DWORD code = request.Run(
        block,
        [](TarnAdaptor& a, FingerPrintBlock& b) {
            return a.GetCaCertFingerPrint(b.caCertFP, b.caCertFPEng);
        },
        TARNSTUB_CA_FINGERPRINT_FAILED);
    if (code != TARNSTUB_OK) return code;
    win::UniqueBstr first = win::UniqueBstr::Copy(block.caCertFP);
    win::UniqueBstr second = win::UniqueBstr::Copy(block.caCertFPEng);
    if (!first.get() || !second.get()) return TARNSTUB_OUT_OF_MEMORY;
    *caCertFP = first.release();
    *caCertFPEng = second.release();
    return TARNSTUB_OK;
}

}  // extern "C"

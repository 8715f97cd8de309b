#include "records/BladeMessage.h"

#include <stdlib.h>
#include <wchar.h>

#include <initializer_list>

#include "records/SafeArrayTable.h"
#include "win/SafeArrayView.h"

using blade_message::NamedText;

namespace {

const wchar_t kSectionProperty[] = L"PROP";
const wchar_t kSectionRequestHeader[] = L"HEADER_REQ";
const wchar_t kSectionResponseHeader[] = L"HEADER_RESP";

bool IsOneOf(const std::wstring& value, std::initializer_list<const wchar_t*> accepted) {
    for (const wchar_t* candidate : accepted) {
        if (value == candidate) return true;
    }
    return false;
}

bool IsProtocol(const std::wstring& value) { return IsOneOf(value, {L"HTTP", L"HTTPS"}); }

bool IsAuthType(const std::wstring& value) { return IsOneOf(value, {L"BOTH", L"NONE", L"DEVICE", L"USER"}); }

const wchar_t* YesNo(bool flag) { return flag ? L"YES" : L"NO"; }

bool HeaderAt(const std::vector<NamedText>& headers, size_t index, std::wstring& headerName, std::wstring& value) {
    if (index >= headers.size()) {
        headerName.clear();
        value.clear();
        return false;
    }
    headerName = headers[index].first;
    value = headers[index].second;
    return true;
}

struct TableRow {
    std::wstring section;
    std::wstring key;
    std::wstring value;
};

// Writes rows into a new table, each cell a BSTR that the table owns.
HRESULT WriteTable(const std::vector<TableRow>& rows, win::UniqueSafeArray& table) {
    if (rows.size() > static_cast<size_t>(MAXLONG / blade_message::kTableColumns)) {
        return E_OUTOFMEMORY;
    }
    win::UniqueSafeArray created;
    HRESULT hr = records::CreateTable(VT_BSTR, blade_message::kTableColumns, static_cast<ULONG>(rows.size()), created);
    if (FAILED(hr)) return hr;
    {
        const auto locked = win::SafeArrayView(created.get()).Lock<VT_BSTR>();
        if (!locked) return E_UNEXPECTED;
        BSTR* cells = locked.data();
        for (const TableRow& row : rows) {
            const std::wstring* texts[blade_message::kTableColumns] = {&row.section, &row.key, &row.value};
            for (const std::wstring* text : texts) {
                *cells = win::UniqueBstr::Copy(*text).release();
                if (!*cells) return E_OUTOFMEMORY;  // the table frees what was written
                ++cells;
            }
        }
    }
    table = std::move(created);
    return S_OK;
}

}  // namespace

// BladeMessageSettings ------------------------------------------------------

bool BladeMessageSettings::SetMsgType(const std::wstring& value) {
    if (value.empty()) return false;
    msgType = value;
    return true;
}

bool BladeMessageSettings::SetProtocol(const std::wstring& value) {
    if (!IsProtocol(value)) return false;
    protocol = value;
    return true;
}

bool BladeMessageSettings::SetAuthType(const std::wstring& value) {
    if (!IsAuthType(value)) return false;
    authType = value;
    return true;
}

bool BladeMessageSettings::SetDstPath(const std::wstring& value) {
    dstPath = value;
    return true;
}

bool BladeMessageSettings::SetPort(LONG value) {
    if (value < 1) return false;
    port = value;
    return true;
}

bool BladeMessageSettings::SetAll(const std::wstring& msgTypeValue, const std::wstring& protocolValue, LONG portValue,
                                  const std::wstring& authTypeValue, const std::wstring& dstPathValue) {
    if (msgTypeValue.empty() || !IsProtocol(protocolValue) || portValue < 1 || !IsAuthType(authTypeValue)) {
        return false;
    }
    msgType = msgTypeValue;
    protocol = protocolValue;
    port = portValue;
    authType = authTypeValue;
    dstPath = dstPathValue;
    return true;
}

void BladeMessageSettings::CopyValidated(const BladeMessageSettings& source) {
    BladeMessageSettings fresh;
    fresh.SetMsgType(source.msgType);
    fresh.SetDstPath(source.dstPath);
    fresh.SetProtocol(source.protocol);
    fresh.SetAuthType(source.authType);
    fresh.SetPort(source.port);
    *this = std::move(fresh);
}

// BladeMessageRequest -------------------------------------------------------

bool BladeMessageRequest::SetDstIpDns(const std::wstring& value) {
    if (value.empty()) return false;
    dstIpDns = value;
    return true;
}

void BladeMessageRequest::AddRequestHeader(const std::wstring& headerName, const std::wstring& value) {
    requestHeaders.emplace_back(headerName, value);
}

void BladeMessageRequest::AddResponseHeaderName(const std::wstring& headerName) {
    responseHeaderNames.push_back(headerName);
}

bool BladeMessageRequest::IsInternal() const { return _wcsicmp(dstIpDns.c_str(), L"INTERNAL") == 0; }

bool BladeMessageRequest::GetRequestHeaderAt(size_t index, std::wstring& headerName, std::wstring& value) const {
    return HeaderAt(requestHeaders, index, headerName, value);
}

// BladeMessageRequestWithSettings -------------------------------------------

void BladeMessageRequestWithSettings::FromRequest(const BladeMessageRequest& request) {
    dstIpDns = request.GetDstIpDns();
    reqData = request.GetReqData();
    transferTimeout = request.GetTransferTimeout();
    connectTimeout = request.GetConnectTimeout();
    isPayload = request.GetIsPayload();
    isInternal = request.IsInternal();
    for (size_t i = 0; i < request.GetRequestHeaderCount(); ++i) {
        NamedText header;
        request.GetRequestHeaderAt(i, header.first, header.second);
        requestHeaders.push_back(std::move(header));
    }
    const std::vector<std::wstring>& names = request.GetResponseHeaderNames();
    responseHeaderNames.insert(responseHeaderNames.end(), names.begin(), names.end());
}

void BladeMessageRequestWithSettings::SetSettings(const BladeMessageSettings& value) {
    // A plain copy: the five fields are taken as they are, unchecked.
    settings = value;
}

HRESULT BladeMessageRequestWithSettings::ToPropertyTable(win::UniqueSafeArray& table) const {
    if (table) return E_FAIL;
    std::vector<TableRow> rows;
    rows.reserve(11 + requestHeaders.size() + responseHeaderNames.size());
    for (NamedText& property : PropertyRows()) {
        rows.push_back({kSectionProperty, std::move(property.first), std::move(property.second)});
    }
    for (const NamedText& header : requestHeaders) {
        rows.push_back({kSectionRequestHeader, header.first, header.second});
    }
    for (const std::wstring& headerName : responseHeaderNames) {
        rows.push_back({kSectionResponseHeader, headerName, std::wstring()});
    }
    return WriteTable(rows, table);
}

std::vector<NamedText> BladeMessageRequestWithSettings::PropertyRows() const {
    return {
        {L"MSG_TYPE", settings.GetMsgType()},
        {L"MSG_PROTOCOL", settings.GetProtocol()},
        {L"MSG_AUTH_TYPE", settings.GetAuthType()},
        {L"MSG_PORT", std::to_wstring(settings.GetPort())},
        {L"MSG_DST_PATH", settings.GetDstPath()},
        {L"MSG_DST_IPDNS", dstIpDns},
        {L"MSG_REQ_DATA", reqData},
        {L"MSG_REQ_TRANSFER_TIMEOUT", std::to_wstring(transferTimeout)},
        {L"MSG_REQ_CONNECT_TIMEOUT", std::to_wstring(connectTimeout)},
        {L"MSG_REQ_IS_INTERNAL", YesNo(isInternal)},
        {L"MSG_REQ_IS_PAYLOAD", YesNo(isPayload)},
    };
}

// BladeMessageResponse ------------------------------------------------------

HRESULT BladeMessageResponse::FromPropertyTable(SAFEARRAY* table) {
    const win::SafeArrayView view(table);
    if (!view) return E_POINTER;
    if (!view.Holds(VT_BSTR)) return DISP_E_BADVARTYPE;
    if (view.Dimensions() != 2 || view.Count(1) != blade_message::kTableColumns || view.Count(2) == 0) {
        return E_FAIL;
    }
    const auto cells = view.Lock<VT_BSTR>();
    if (!cells) return E_UNEXPECTED;
    // The cells of a row lie next to each other.
    for (size_t first = 0; first < cells.size(); first += blade_message::kTableColumns) {
        // A null BSTR is the empty text.
        const std::wstring section = win::UniqueBstr::Text(cells[first]);
        const std::wstring key = win::UniqueBstr::Text(cells[first + 1]);
        const std::wstring value = win::UniqueBstr::Text(cells[first + 2]);
        const HRESULT hr = ReadRow(section, key, value);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT BladeMessageResponse::ReadRow(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
    if (section.empty() || key.empty()) return E_FAIL;
    if (section == kSectionProperty) return ReadProperty(key, value);
    if (section == kSectionResponseHeader) {
        responseHeaders.emplace_back(key, value);
        return S_OK;
    }
    return E_FAIL;  // "HEADER_REQ" included: it never belongs in an answer
}

HRESULT BladeMessageResponse::ReadProperty(const std::wstring& key, const std::wstring& value) {
    if (key == L"MSG_RESP_EP_RET_STR") {
        if (!value.empty()) epRetStr = value;
        return S_OK;
    }
    if (value.empty()) return E_FAIL;
    if (key == L"MSG_TYPE") {
        msgType = value;
    } else if (key == L"MSG_RESP_DATA") {
        respData = value;
    } else if (key == L"MSG_RESP_HTTP_CODE") {
        httpCode = _wtoi(value.c_str());
    } else if (key == L"MSG_RESP_EP_RET_CODE") {
        epRetCode = _wtoi(value.c_str());
    } else {
        return E_FAIL;
    }
    return S_OK;
}

void BladeMessageResponse::CopyInto(BladeMessageResponse& target) const {
    target.msgType = msgType;
    target.respData = respData;
    target.httpCode = httpCode;
    target.epRetCode = epRetCode;
    target.epRetStr = epRetStr;
    target.responseHeaders.insert(target.responseHeaders.end(), responseHeaders.begin(), responseHeaders.end());
}

bool BladeMessageResponse::GetResponseHeaderAt(size_t index, std::wstring& headerName, std::wstring& value) const {
    return HeaderAt(responseHeaders, index, headerName, value);
}

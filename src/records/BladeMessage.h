// Blade messages: requests the stub hands to the Tarn server for delivery on
// the blade's behalf, and the answers that come back. Both travel as a
// message property table, a SAFEARRAY of VT_BSTR with 3 columns (section,
// key, value) and one row per property; the column varies fastest, so the
// three cells of a row lie next to each other.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>
#include <vector>

#include "win/raii.h"

namespace blade_message {
using NamedText = std::pair<std::wstring, std::wstring>;
constexpr ULONG kTableColumns = 3;
}  // namespace blade_message

// How one message type is delivered. Every setter refuses a value outside its
// rule, leaves the field as it was and returns false.
class BladeMessageSettings {
public:
    bool SetMsgType(const std::wstring& value);   // not empty
    bool SetProtocol(const std::wstring& value);  // "HTTP" or "HTTPS"
    bool SetAuthType(const std::wstring& value);  // "BOTH", "NONE", "DEVICE" or "USER"
    bool SetDstPath(const std::wstring& value);   // anything, empty too
    bool SetPort(LONG value);                     // 1 or more
    // Stores all five when all pass their rules, else nothing.
    bool SetAll(const std::wstring& msgTypeValue, const std::wstring& protocolValue, LONG portValue,
                const std::wstring& authTypeValue, const std::wstring& dstPathValue);
    // Starts this record afresh and takes each field of source that passes its
    // setter; a field that does not keeps its initial value.
    void CopyValidated(const BladeMessageSettings& source);

    const std::wstring& GetMsgType() const { return msgType; }
    const std::wstring& GetProtocol() const { return protocol; }
    const std::wstring& GetAuthType() const { return authType; }
    const std::wstring& GetDstPath() const { return dstPath; }
    LONG GetPort() const { return port; }

private:
    std::wstring msgType;
    std::wstring protocol;
    std::wstring authType;
    std::wstring dstPath;
    LONG port = -1;  // -1: no port accepted yet
};

// One message as the adaptor fills it.
class BladeMessageRequest {
public:
    explicit BladeMessageRequest(std::wstring msgTypeValue) : msgType(std::move(msgTypeValue)) {}

    bool SetDstIpDns(const std::wstring& value);  // refuses the empty text
    void SetReqData(const std::wstring& value) { reqData = value; }
    // Overrides the authentication type of the message type's settings.
    void SetAuthType(const std::wstring& value) { authType = value; }
    void SetTransferTimeout(LONG value) { transferTimeout = value; }
    void SetConnectTimeout(LONG value) { connectTimeout = value; }
    void SetIsPayload(bool value) { isPayload = value; }
    // Appended in order; equal names are all kept.
    void AddRequestHeader(const std::wstring& headerName, const std::wstring& value);
    void AddResponseHeaderName(const std::wstring& headerName);

    // True when the destination is the Tarn server itself ("INTERNAL" in any
    // case).
    bool IsInternal() const;

    const std::wstring& GetMsgType() const { return msgType; }
    const std::wstring& GetDstIpDns() const { return dstIpDns; }
    const std::wstring& GetReqData() const { return reqData; }
    const std::wstring& GetAuthType() const { return authType; }
    LONG GetTransferTimeout() const { return transferTimeout; }
    LONG GetConnectTimeout() const { return connectTimeout; }
    bool GetIsPayload() const { return isPayload; }
    size_t GetRequestHeaderCount() const { return requestHeaders.size(); }
    // The pair at index and true; two empty texts and false past the end.
    bool GetRequestHeaderAt(size_t index, std::wstring& headerName, std::wstring& value) const;
    const std::vector<std::wstring>& GetResponseHeaderNames() const { return responseHeaderNames; }

private:
    std::wstring msgType;
    std::wstring dstIpDns;
    std::wstring reqData;
    std::wstring authType;
    LONG transferTimeout = 0;
    LONG connectTimeout = 0;
    bool isPayload = false;
    std::vector<blade_message::NamedText> requestHeaders;
    std::vector<std::wstring> responseHeaderNames;
};

// A request joined with the settings of its message type: the record that is
// turned into the request property table.
class BladeMessageRequestWithSettings {
public:
    explicit BladeMessageRequestWithSettings(std::wstring msgTypeValue) : msgType(std::move(msgTypeValue)) {}

    // Copies the request's fields and appends its header lists.
    void FromRequest(const BladeMessageRequest& request);
    // Copies the five settings fields as they are (the caller validated them).
    void SetSettings(const BladeMessageSettings& value);

    // Builds the request table: 11 "PROP" rows, then one "HEADER_REQ" row per
    // request header, then one "HEADER_RESP" row (empty value) per wanted
    // response header. table must be empty (E_FAIL otherwise); on success it
    // owns the new table, which the caller hands to the server and then
    // destroys through the owner. On failure no table is left behind.
    HRESULT ToPropertyTable(win::UniqueSafeArray& table) const;

    const std::wstring& GetMsgType() const { return msgType; }

private:
    std::vector<blade_message::NamedText> PropertyRows() const;

    std::wstring msgType;
    std::wstring dstIpDns;
    std::wstring reqData;
    LONG transferTimeout = 0;
    LONG connectTimeout = 0;
    bool isInternal = true;
    bool isPayload = false;
    BladeMessageSettings settings;
    std::vector<blade_message::NamedText> requestHeaders;
    std::vector<std::wstring> responseHeaderNames;
};

// The server's answer to a blade message.
class BladeMessageResponse {
public:
    // Reads a response table. The caller's array is only read, never changed
    // or freed. Refuses, without reading any cell: no array (E_POINTER), an
    // array that does not hold BSTRs (DISP_E_BADVARTYPE), and a shape other
    // than 3 columns by at least 1 row in two dimensions (E_FAIL). A row with
    // an empty section or key, an unknown section or "PROP" key, or an empty
    // value for a key that needs one ends the parse with E_FAIL; fields set by
    // earlier rows keep their values. Lower bounds other than 0 are ignored:
    // cells are read by their position in storage.
    HRESULT FromPropertyTable(SAFEARRAY* table);

    // Copies every field into target; headers are appended to target's.
    void CopyInto(BladeMessageResponse& target) const;

    const std::wstring& GetMsgType() const { return msgType; }
    const std::wstring& GetRespData() const { return respData; }
    LONG GetHttpCode() const { return httpCode; }
    LONG GetEpRetCode() const { return epRetCode; }
    const std::wstring& GetEpRetStr() const { return epRetStr; }
    size_t GetResponseHeaderCount() const { return responseHeaders.size(); }
    // The pair at index and true; two empty texts and false past the end.
    bool GetResponseHeaderAt(size_t index, std::wstring& headerName, std::wstring& value) const;

private:
    HRESULT ReadRow(const std::wstring& section, const std::wstring& key, const std::wstring& value);
    HRESULT ReadProperty(const std::wstring& key, const std::wstring& value);

    std::wstring msgType;
    std::wstring respData;
    LONG httpCode = -1;
    LONG epRetCode = -1;
    std::wstring epRetStr;
    std::vector<blade_message::NamedText> responseHeaders;
};

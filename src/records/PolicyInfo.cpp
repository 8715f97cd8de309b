#include "records/PolicyInfo.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <wchar.h>

#include "records/WideText.h"

std::wstring GuidToString(const GUID& guid) {
    return records::FormatWide(L"%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                               static_cast<unsigned long>(guid.Data1), static_cast<unsigned int>(guid.Data2),
                               static_cast<unsigned int>(guid.Data3), static_cast<unsigned int>(guid.Data4[0]),
                               static_cast<unsigned int>(guid.Data4[1]), static_cast<unsigned int>(guid.Data4[2]),
                               static_cast<unsigned int>(guid.Data4[3]), static_cast<unsigned int>(guid.Data4[4]),
                               static_cast<unsigned int>(guid.Data4[5]), static_cast<unsigned int>(guid.Data4[6]),
                               static_cast<unsigned int>(guid.Data4[7]));
}

namespace {

// The local time of a count of seconds since 1970 as "YYYYMMDD HH:MM:SS", or
// the empty text when the runtime cannot convert it (negative times, say).
std::wstring LocalTimeText(__time64_t seconds) {
    const tm* local = _localtime64(&seconds);
    if (!local) return std::wstring();
    wchar_t buffer[128] = {};
    const size_t length = wcsftime(buffer, 128, L"%Y%m%d %H:%M:%S", local);
    return std::wstring(buffer, length);
}

// The value of the attribute name="value" in a policy description. Policy
// descriptions always open with an element name, so a match at the very first
// character is not taken as an attribute. A plain substring search: "id" also
// finds the tail of "xid".
std::wstring AttributeValue(const std::wstring& text, const wchar_t* name) {
    const std::wstring pattern = std::wstring(name) + L"=\"";
    const size_t found = text.find(pattern);
    if (found == std::wstring::npos || found == 0) return std::wstring();
    const size_t valueStart = found + pattern.size();
    const size_t valueEnd = text.find(L'"', valueStart);
    if (valueEnd == std::wstring::npos) return std::wstring();
    return text.substr(valueStart, valueEnd - valueStart);
}

// Reads the 8-4-4-4-12 hexadecimal form (no braces) into guid; every one of
// the 11 fields must be present. The fields are scanned into full-size
// integers: a %X conversion writes an unsigned int, never a single byte.
bool ParseGuid(const std::wstring& text, GUID& guid) {
    unsigned long data1 = 0;
    unsigned int data2 = 0;
    unsigned int data3 = 0;
    unsigned int bytes[8] = {};
    const int fields =
        swscanf(text.c_str(), L"%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", &data1, &data2, &data3, &bytes[0],
                &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5], &bytes[6], &bytes[7]);
    if (fields != 11) return false;
    guid.Data1 = data1;
    guid.Data2 = static_cast<unsigned short>(data2);
    guid.Data3 = static_cast<unsigned short>(data3);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<BYTE>(bytes[i]);
    return true;
}

}  // namespace

bool PolicyInfo::HasId() const {
    const GUID none = {};
    return !IsEqualGUID(id, none);
}

std::wstring PolicyInfo::ToString() const {
    const std::wstring timeText = LocalTimeText(modDate / 1000);
    return records::FormatWide(L"PolicyInfo: Pol type: %d pac: %d id: %s modDate: %I64i (%s) key: %s",
                               static_cast<int>(type), static_cast<int>(pac), GuidToString(id).c_str(), modDate,
                               timeText.c_str(), key.empty() ? L"none" : L"not-empty");
}

bool PolicyInfo::Parse(const std::wstring& text) {
    const std::wstring typeText = AttributeValue(text, L"type");
    if (typeText.empty()) return false;
    type = _wtoi(typeText.c_str());

    const std::wstring pacText = AttributeValue(text, L"pac");
    if (pacText.empty()) return false;
    pac = _wtoi(pacText.c_str());

    const std::wstring idText = AttributeValue(text, L"id");
    if (idText.empty() || !ParseGuid(idText, id)) return false;

    const std::wstring modDateText = AttributeValue(text, L"modDate");
    if (modDateText.empty()) return false;
    modDate = _wtoi64(modDateText.c_str());
    return true;
}

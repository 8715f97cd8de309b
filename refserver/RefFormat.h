// Text forms of call arguments for the reference server's call record. The
// forms are documented in tarnref.h; tests of other components assert on
// them, so they change only together with that documentation.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace tarnref {

std::wstring FormatGuid(const GUID& guid);
std::wstring FormatText(const wchar_t* text);  // BSTR or plain text; null -> null
std::wstring FormatSigned(LONGLONG value);
std::wstring FormatUnsigned(ULONGLONG value);
std::wstring FormatHex32(ULONG value);      // 0xHHHHHHHH
std::wstring FormatHex64(ULONGLONG value);  // 0xHHHHHHHHHHHHHHHH
std::wstring FormatVarType(VARTYPE vt);
std::wstring FormatVariant(const VARIANT& value);
std::wstring FormatArray(SAFEARRAY* array);

}  // namespace tarnref

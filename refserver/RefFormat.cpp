#include "RefFormat.h"

#include "win/SafeArrayView.h"
#include "win/raii.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace tarnref {
namespace {

// Long arrays are cut: the record is for reading, not for bulk data.
constexpr size_t kMaxFormattedElements = 4096;

template <typename T>
T ReadAs(const BYTE* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

std::wstring FormatHexByte(BYTE value) {
    wchar_t buffer[4] = {};
    _snwprintf(buffer, 3, L"%02X", static_cast<unsigned>(value));
    return buffer;
}

std::wstring FormatReal(double value) {
    wchar_t buffer[64] = {};
    _snwprintf(buffer, 63, L"%g", value);
    return buffer;
}

std::wstring FormatElement(VARTYPE vt, const BYTE* p) {
    switch (vt) {
        case VT_I1: return FormatSigned(ReadAs<signed char>(p));
        case VT_UI1: return FormatHexByte(*p);
        case VT_I2: return FormatSigned(ReadAs<SHORT>(p));
        case VT_BOOL: return FormatSigned(ReadAs<VARIANT_BOOL>(p));
        case VT_UI2: return FormatUnsigned(ReadAs<USHORT>(p));
        case VT_I4:
        case VT_INT: return FormatSigned(ReadAs<LONG>(p));
        case VT_UI4:
        case VT_UINT: return FormatUnsigned(ReadAs<ULONG>(p));
        case VT_I8: return FormatSigned(ReadAs<LONGLONG>(p));
        case VT_UI8: return FormatUnsigned(ReadAs<ULONGLONG>(p));
        case VT_ERROR: return FormatHex32(ReadAs<ULONG>(p));
        case VT_R4: return FormatReal(ReadAs<float>(p));
        case VT_R8: return FormatReal(ReadAs<double>(p));
        case VT_BSTR: return FormatText(ReadAs<BSTR>(p));
        case VT_VARIANT: return FormatVariant(*reinterpret_cast<const VARIANT*>(p));
        default: return L"?";
    }
}

std::wstring FormatShapeHeader(const win::SafeArrayView& view) {
    const VARTYPE vt = view.Type();
    // VT_EMPTY: the array records no element type.
    std::wstring text = vt != VT_EMPTY ? FormatVarType(vt) : L"VT_?";
    const UINT dimensions = view.Dimensions();
    if (dimensions == 0) return text + L"[dims=0]";
    if (dimensions == 1) return text + L"[lb=" + FormatSigned(view.LowerBound(1)) + L"]";
    std::wstring counts, bounds;
    for (UINT d = 1; d <= dimensions; ++d) {
        counts += (d > 1 ? L"x" : L"") + FormatUnsigned(view.Count(d));
        bounds += (d > 1 ? L"," : L"") + FormatSigned(view.LowerBound(d));
    }
    return text + L"[" + counts + L",lb=" + bounds + L"]";
}

std::wstring FormatElements(const win::SafeArrayView& view) {
    const size_t total = view.ElementCount();
    if (total == 0) return L"{}";
    const VARTYPE vt = view.Type();
    const auto storage = view.LockBytes();
    if (!storage || vt == VT_EMPTY) return L"{?}";
    const size_t size = view.ElementSize();
    // Two-dimensional arrays show one group per row.
    const size_t columns = view.Dimensions() == 2 ? view.Count(1) : 0;
    const bool grouped = columns > 0;
    const wchar_t* separator = vt == VT_UI1 ? L"" : L",";
    const size_t shown = total < kMaxFormattedElements ? total : kMaxFormattedElements;
    std::wstring text = grouped ? L"{{" : L"{";
    for (size_t i = 0; i < shown; ++i) {
        if (i > 0) text += grouped && i % columns == 0 ? L"},{" : separator;
        text += FormatElement(vt, storage.data() + i * size);
    }
    if (shown < total) text += L",...";
    return text + (grouped ? L"}}" : L"}");
}

}  // namespace

std::wstring FormatGuid(const GUID& g) {
    wchar_t buffer[40] = {};
    _snwprintf(buffer, 39, L"%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned long>(g.Data1),
               g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
               g.Data4[7]);
    return buffer;
}

std::wstring FormatText(const wchar_t* text) {
    if (!text) return L"null";
    std::wstring quoted = L"\"";
    for (const wchar_t* c = text; *c; ++c) {
        switch (*c) {
            case L'\\': quoted += L"\\\\"; break;
            case L'"': quoted += L"\\\""; break;
            case L'\n': quoted += L"\\n"; break;
            case L'\r': quoted += L"\\r"; break;
            case L'\t': quoted += L"\\t"; break;
            default:
                if (*c < 0x20) {
                    quoted += L"\\x" + FormatHexByte(static_cast<BYTE>(*c));
                } else {
                    quoted += *c;
                }
        }
    }
    return quoted + L"\"";
}

std::wstring FormatSigned(LONGLONG value) { return std::to_wstring(value); }
std::wstring FormatUnsigned(ULONGLONG value) { return std::to_wstring(value); }

std::wstring FormatHex32(ULONG value) {
    wchar_t buffer[16] = {};
    _snwprintf(buffer, 15, L"0x%08lX", static_cast<unsigned long>(value));
    return buffer;
}

std::wstring FormatHex64(ULONGLONG value) {
    wchar_t buffer[24] = {};
    _snwprintf(buffer, 23, L"0x%016I64X", value);
    return buffer;
}

std::wstring FormatVarType(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY: return L"VT_EMPTY";
        case VT_NULL: return L"VT_NULL";
        case VT_I1: return L"VT_I1";
        case VT_I2: return L"VT_I2";
        case VT_I4: return L"VT_I4";
        case VT_I8: return L"VT_I8";
        case VT_UI1: return L"VT_UI1";
        case VT_UI2: return L"VT_UI2";
        case VT_UI4: return L"VT_UI4";
        case VT_UI8: return L"VT_UI8";
        case VT_INT: return L"VT_INT";
        case VT_UINT: return L"VT_UINT";
        case VT_R4: return L"VT_R4";
        case VT_R8: return L"VT_R8";
        case VT_CY: return L"VT_CY";
        case VT_DATE: return L"VT_DATE";
        case VT_BOOL: return L"VT_BOOL";
        case VT_BSTR: return L"VT_BSTR";
        case VT_VARIANT: return L"VT_VARIANT";
        case VT_ERROR: return L"VT_ERROR";
        case VT_UNKNOWN: return L"VT_UNKNOWN";
        case VT_DISPATCH: return L"VT_DISPATCH";
        case VT_DECIMAL: return L"VT_DECIMAL";
        case VT_RECORD: return L"VT_RECORD";
        default: return L"VT_" + FormatUnsigned(vt);
    }
}

std::wstring FormatVariant(const VARIANT& value) {
    const VARTYPE vt = value.vt;
    if ((vt & VT_ARRAY) && !(vt & VT_BYREF)) {
        return L"VT_ARRAY:" + FormatArray(value.parray);
    }
    if (vt & (VT_BYREF | VT_ARRAY | VT_VECTOR)) return FormatVarType(vt & VT_TYPEMASK) + L":?";
    if (vt == VT_EMPTY || vt == VT_NULL) return FormatVarType(vt);
    if (vt == VT_VARIANT) return L"VT_VARIANT:?";
    return FormatVarType(vt) + L":" + FormatElement(vt, reinterpret_cast<const BYTE*>(&value.llVal));
}

std::wstring FormatArray(SAFEARRAY* array) {
    if (!array) return L"null";
    const win::SafeArrayView view(array);
    return FormatShapeHeader(view) + FormatElements(view);
}

}  // namespace tarnref

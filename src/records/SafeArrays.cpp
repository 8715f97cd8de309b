#include "records/SafeArrays.h"

#include <cstring>

#include "win/Text.h"

namespace safe_arrays {

win::UniqueSafeArray FromUlongs(const std::vector<ULONG>& values) {
    win::UniqueSafeArray array(SafeArrayCreateVector(VT_UI4, 0, static_cast<ULONG>(values.size())));
    if (!array || values.empty()) return array;
    win::SafeArrayData data(array.get());
    if (!data) return {};
    std::memcpy(data.as<ULONG>(), values.data(), values.size() * sizeof(ULONG));
    return array;
}

win::UniqueSafeArray FromTexts(const std::vector<std::wstring>& texts) {
    win::UniqueSafeArray array(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size())));
    if (!array) return array;
    for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
        win::UniqueBstr text = win::UniqueBstr::Copy(texts[i]);
        // SafeArrayPutElement stores its own copy of the BSTR.
        if (!text.get() || FAILED(SafeArrayPutElement(array.get(), &i, text.get()))) return {};
    }
    return array;
}

win::UniqueSafeArray FromBytes(const BYTE* bytes, ULONG count) {
    win::UniqueSafeArray array(SafeArrayCreateVector(VT_UI1, 0, count));
    if (!array || count == 0) return array;
    win::SafeArrayData data(array.get());
    if (!data) return {};
    std::memcpy(data.as<BYTE>(), bytes, count);
    return array;
}

namespace {

bool IsVectorOf(SAFEARRAY* array, VARTYPE vt) {
    VARTYPE actual = VT_EMPTY;
    return SafeArrayGetDim(array) == 1 && SUCCEEDED(SafeArrayGetVartype(array, &actual)) && actual == vt;
}

}  // namespace

ULONG ElementCount(SAFEARRAY* array) {
    LONG lower = 0, upper = -1;
    if (!array || FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)))
        return 0;
    return upper >= lower ? static_cast<ULONG>(upper - lower + 1) : 0;
}

std::optional<std::wstring> Utf8Text(SAFEARRAY* array) {
    if (!array) return std::wstring();
    if (!IsVectorOf(array, VT_UI1)) return std::nullopt;
    const ULONG count = ElementCount(array);
    if (count == 0) return std::wstring();
    win::SafeArrayData data(array);
    if (!data) return std::nullopt;
    return text::Utf8ToWide(data.as<const char>(), count);
}

std::optional<std::vector<LONG>> Longs(SAFEARRAY* array) {
    if (!array) return std::vector<LONG>();
    if (!IsVectorOf(array, VT_I4)) return std::nullopt;
    const ULONG count = ElementCount(array);
    std::vector<LONG> values(count);
    if (count == 0) return values;
    win::SafeArrayData data(array);
    if (!data) return std::nullopt;
    std::memcpy(values.data(), data.as<LONG>(), count * sizeof(LONG));
    return values;
}

}  // namespace safe_arrays

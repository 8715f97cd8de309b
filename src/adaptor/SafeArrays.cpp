#include "adaptor/SafeArrays.h"

#include <cstring>

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
        win::UniqueBstr text = win::UniqueBstr::Copy(texts[i].c_str(), static_cast<UINT>(texts[i].size()));
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

}  // namespace safe_arrays

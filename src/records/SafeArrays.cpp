#include "records/SafeArrays.h"

#include "win/SafeArrayView.h"
#include "win/Text.h"

namespace safe_arrays {

win::UniqueSafeArray FromUlongs(const std::vector<ULONG>& values) {
    return win::MakeVector<VT_UI4>(values.data(), static_cast<ULONG>(values.size()));
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

win::UniqueSafeArray FromBytes(const BYTE* bytes, ULONG count) { return win::MakeVector<VT_UI1>(bytes, count); }

std::optional<std::wstring> Utf8Text(SAFEARRAY* array) {
    const win::SafeArrayView view(array);
    if (!view) return std::wstring();
    if (view.Dimensions() != 1) return std::nullopt;
    const auto bytes = view.Lock<VT_UI1>();
    if (!bytes) return std::nullopt;
    return text::Utf8ToWide(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::optional<std::vector<LONG>> Longs(SAFEARRAY* array) {
    const win::SafeArrayView view(array);
    if (!view) return std::vector<LONG>();
    if (view.Dimensions() != 1) return std::nullopt;
    const auto values = view.Lock<VT_I4>();
    if (!values) return std::nullopt;
    return std::vector<LONG>(values.begin(), values.end());
}

}  // namespace safe_arrays

#include "records/ProviderInfo.h"

#include <new>

#include "records/SafeArrayTable.h"
#include "records/WideText.h"
#include "win/SafeArrayView.h"

namespace {

constexpr ULONG kPropertyColumns = 4;
constexpr ULONG kNotificationColumns = 2;

std::wstring TextAt(const wchar_t* const* list, LONG index) { return records::TextOrEmpty(list[index]); }

// The number of entries to read from a blade's list: none for a negative
// count or a missing list.
LONG UsableCount(const void* list, LONG count) { return list && count > 0 ? count : 0; }

template <typename Item>
void AppendOrDrop(std::vector<Item>& list, Item item) {
    try {
        list.push_back(std::move(item));
    } catch (const std::bad_alloc&) {
        // Dropping the item is the documented outcome; the list is unchanged.
    }
}

// Stores a VT_BSTR VARIANT holding a copy of text at (column, row).
HRESULT PutTextVariant(SAFEARRAY* array, LONG column, LONG row, const std::wstring& text) {
    win::UniqueVariant cell = win::UniqueVariant::Text(text);
    if (cell.type() != VT_BSTR) return E_OUTOFMEMORY;
    LONG index[2] = {column, row};
    // The array keeps its own copy of the VARIANT.
    return ::SafeArrayPutElement(array, index, cell.get());
}

HRESULT PutKindVariant(SAFEARRAY* array, LONG row, ProviderInfo::ItemKind kind) {
    win::UniqueVariant cell = win::UniqueVariant::Unsigned(kind);
    LONG index[2] = {3, row};
    return ::SafeArrayPutElement(array, index, cell.get());
}

HRESULT PutPropertyRow(SAFEARRAY* array, LONG row, const std::wstring& providerName,
                       const ProviderInfo::NamedText& item, ProviderInfo::ItemKind kind) {
    HRESULT hr = PutTextVariant(array, 0, row, providerName);
    if (SUCCEEDED(hr)) hr = PutTextVariant(array, 1, row, item.first);
    if (SUCCEEDED(hr)) hr = PutTextVariant(array, 2, row, item.second);
    if (SUCCEEDED(hr)) hr = PutKindVariant(array, row, kind);
    return hr;
}

HRESULT PutBstrCell(SAFEARRAY* array, LONG column, LONG row, const std::wstring& text) {
    win::UniqueBstr copy = win::UniqueBstr::Copy(text);
    if (!copy.get()) return E_OUTOFMEMORY;
    LONG index[2] = {column, row};
    // For a BSTR array the element argument is the BSTR itself; it is copied.
    return ::SafeArrayPutElement(array, index, copy.get());
}

// The array a table is written into: a new one when the caller's owner is
// empty, else the caller's own, which must already have the table's shape so
// that no cell lands outside it or in an element of another type.
bool PrepareTable(win::UniqueSafeArray& callerArray, win::UniqueSafeArray& created, VARTYPE vt, ULONG columns,
                  size_t rowCount, SAFEARRAY*& target) {
    if (rowCount > static_cast<size_t>(MAXLONG)) return false;
    const ULONG rows = static_cast<ULONG>(rowCount);
    if (!callerArray) {
        if (FAILED(records::CreateTable(vt, columns, rows, created))) return false;
        target = created.get();
        return true;
    }
    const win::SafeArrayView view(callerArray.get());
    if (!view.IsTableOf(vt) || view.Count(1) != columns || view.Count(2) != rows || !view.IsZeroBased()) {
        return false;
    }
    target = callerArray.get();
    return true;
}

}  // namespace

ProviderInfo::ProviderInfo(std::wstring providerName) : name(std::move(providerName)) {}

ProviderInfo ProviderInfo::FromData(const ProviderInfoData& data) {
    ProviderInfo info(records::TextOrEmpty(data.name));
    const LONG propertyCount = data.propertyValues ? UsableCount(data.propertyNames, data.propertyCount) : 0;
    for (LONG i = 0; i < propertyCount; ++i) {
        info.AppendProperty(TextAt(data.propertyNames, i), TextAt(data.propertyValues, i));
    }
    const LONG chunkCount = data.xmlChunkValues ? UsableCount(data.xmlChunkNames, data.xmlChunkCount) : 0;
    for (LONG i = 0; i < chunkCount; ++i) {
        info.AppendXmlChunk(TextAt(data.xmlChunkNames, i), TextAt(data.xmlChunkValues, i));
    }
    const LONG messageCount = UsableCount(data.notifications, data.notificationCount);
    for (LONG i = 0; i < messageCount; ++i) {
        info.AppendNotification(TextAt(data.notifications, i));
    }
    return info;
}

void ProviderInfo::AppendProperty(const std::wstring& itemName, const std::wstring& value) {
    AppendOrDrop(properties, NamedText(itemName, value));
}

void ProviderInfo::AppendXmlChunk(const std::wstring& itemName, const std::wstring& value) {
    AppendOrDrop(xmlChunks, NamedText(itemName, value));
}

void ProviderInfo::AppendNotification(const std::wstring& message) { AppendOrDrop(notifications, message); }

bool ProviderInfo::IsValid() const {
    return !name.empty() && properties.size() + xmlChunks.size() + notifications.size() >= 1;
}

std::wstring ProviderInfo::ToString() const {
    std::wstring text = L"Provider:\n";
    text += records::FormatWide(L"\tName=\"%s\"\n", name.c_str());
    text += L"\tProperties:\n";
    for (const NamedText& item : properties) {
        text += records::FormatWide(L"\t\tName: \"%s\" Value: \"%s\"\n", item.first.c_str(), item.second.c_str());
    }
    text += L"\tXmlChunks:\n";
    for (const NamedText& item : xmlChunks) {
        text +=
            records::FormatWide(L"\t\tXmlChunkName: \"%s\" Value: \"%s\"\n", item.first.c_str(), item.second.c_str());
    }
    text += L"\tNotifications:\n";
    for (size_t i = 0; i < notifications.size(); ++i) {
        text += records::FormatWide(L"\t\tMessage[%d]: \"%s\"\n", static_cast<int>(i), notifications[i].c_str());
    }
    return text;
}

bool ProviderInfo::GetPropertiesSafeArray(win::UniqueSafeArray& array) const {
    win::UniqueSafeArray created;
    SAFEARRAY* target = nullptr;
    if (!PrepareTable(array, created, VT_VARIANT, kPropertyColumns, properties.size() + xmlChunks.size(), target)) {
        return false;
    }
    LONG row = 0;
    for (const NamedText& item : properties) {
        if (FAILED(PutPropertyRow(target, row++, name, item, kPropertyItem))) return false;
    }
    for (const NamedText& item : xmlChunks) {
        if (FAILED(PutPropertyRow(target, row++, name, item, kXmlChunkItem))) return false;
    }
    if (created) array = std::move(created);
    return true;
}

bool ProviderInfo::GetNotificationsSafeArray(win::UniqueSafeArray& array) const {
    if (name.empty()) return false;
    win::UniqueSafeArray created;
    SAFEARRAY* target = nullptr;
    if (!PrepareTable(array, created, VT_BSTR, kNotificationColumns, notifications.size(), target)) {
        return false;
    }
    LONG row = 0;
    for (const std::wstring& message : notifications) {
        if (FAILED(PutBstrCell(target, 0, row, name)) || FAILED(PutBstrCell(target, 1, row, message))) {
            return false;
        }
        ++row;
    }
    if (created) array = std::move(created);
    return true;
}

// ProviderInfo: a blade's description of itself as a provider (a name,
// named properties, named XML chunks and notification messages), kept by the
// adaptor so that it can be sent again after the server restarts.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>
#include <vector>

#include "tarnstub.h"
#include "win/raii.h"

class ProviderInfo {
public:
    using NamedText = std::pair<std::wstring, std::wstring>;

    // Kind column of the properties array.
    enum ItemKind : ULONG { kPropertyItem = 0, kXmlChunkItem = 1 };

    ProviderInfo() = default;
    explicit ProviderInfo(std::wstring providerName);

    // Reads a blade's record. Negative counts count as none, and so does a
    // null list; a null text inside a list is read as the empty text.
    static ProviderInfo FromData(const ProviderInfoData& data);

    // Each append keeps insertion order and duplicates. An item that cannot
    // be stored for lack of memory is dropped; the record stays usable.
    void AppendProperty(const std::wstring& itemName, const std::wstring& value);
    void AppendXmlChunk(const std::wstring& itemName, const std::wstring& value);
    void AppendNotification(const std::wstring& message);

    // A description worth sending: a name and at least one item of any kind.
    bool IsValid() const;
    // The multi-line text form, for diagnostics.
    std::wstring ToString() const;

    // Fills the 4-by-(properties + XML chunks) VARIANT table of SetProperties:
    // columns provider name, item name, item value, kind (VT_UI4). An empty
    // owner receives a new table; an array already held must have exactly that
    // shape. The owner's holder frees the table. False when the table cannot
    // be built; a table created here is then not handed out.
    bool GetPropertiesSafeArray(win::UniqueSafeArray& array) const;
    // Fills the 2-by-notifications BSTR table of SetNotification: columns
    // provider name and message. False without a name or when the table
    // cannot be built; same ownership rules as above.
    bool GetNotificationsSafeArray(win::UniqueSafeArray& array) const;

    std::wstring name;
    std::vector<NamedText> properties;
    std::vector<NamedText> xmlChunks;
    std::vector<std::wstring> notifications;
};

// PolicyInfo identifies a policy everywhere in the stub: by type and PAC, or
// by its policy id.
#pragma once

#include <windows.h>

#include <string>

// The lower-case text form of a GUID, 36 characters without braces.
std::wstring GuidToString(const GUID& guid);

class PolicyInfo {
public:
    LONG pac = 0;
    LONG type = 0;
    GUID id = {};          // all zero: the record has no id
    LONGLONG modDate = 0;  // milliseconds since 1970-01-01 00:00:00 UTC
    std::wstring key;      // shown in the text form only

    bool HasId() const;
    std::wstring ToString() const;
    // Reads type, pac, id and modDate from a policy description text; false
    // at the first attribute that is missing or unreadable.
    bool Parse(const std::wstring& text);
};

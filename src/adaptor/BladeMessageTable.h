// The blade message types a blade may send, each with its settings.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "records/BladeMessage.h"
#include "win/raii.h"

// Entries keep the order in which they were appended; nothing is removed.
// The table is appended to by SendBladePayload under the module lock, but
// every connection attempt lists it, also on the monitor thread, which does
// not hold that lock: the table's own lock keeps a listing from meeting an
// append that moves the storage.
class BladeMessageTable {
public:
    bool Empty() const;
    // The index of the first entry of exactly this type, or -1.
    int Find(const std::wstring& msgType) const;
    // A copy of the settings of that entry; none when there is no such entry.
    std::optional<BladeMessageSettings> SettingsOf(const std::wstring& msgType) const;
    std::vector<std::wstring> Types() const;
    void Append(const std::wstring& msgType, const BladeMessageSettings& settings);

private:
    mutable win::CriticalSection lock_;
    std::vector<std::pair<std::wstring, BladeMessageSettings>> entries_ GUARDED_BY(lock_);
};

#include "adaptor/BladeMessageTable.h"

bool BladeMessageTable::Empty() const {
    win::Lock lock(lock_);
    return entries_.empty();
}

int BladeMessageTable::Find(const std::wstring& msgType) const {
    win::Lock lock(lock_);
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].first == msgType) return static_cast<int>(i);
    return -1;
}

std::optional<BladeMessageSettings> BladeMessageTable::SettingsOf(const std::wstring& msgType) const {
    win::Lock lock(lock_);
    const int index = Find(msgType);
    if (index < 0) return std::nullopt;
    return entries_[static_cast<size_t>(index)].second;
}

std::vector<std::wstring> BladeMessageTable::Types() const {
    win::Lock lock(lock_);
    std::vector<std::wstring> types;
    for (const auto& entry : entries_) types.push_back(entry.first);
    return types;
}

void BladeMessageTable::Append(const std::wstring& msgType, const BladeMessageSettings& settings) {
    win::Lock lock(lock_);
    entries_.emplace_back(msgType, settings);
}

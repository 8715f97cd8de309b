#include "stub/VPNNotificationPeer.h"

#include "notify/PolicySource.h"

namespace {

constexpr LONG kRemoteAccessPolicyType = 60;
constexpr wchar_t kEngineAttribute[] = L"client_verification_engine";
constexpr wchar_t kValueEnd[] = L"/>";
constexpr wchar_t kTrimmed[] = L" =\"";

std::wstring Trimmed(const std::wstring& value) {
    const size_t first = value.find_first_not_of(kTrimmed);
    if (first == std::wstring::npos) return {};
    return value.substr(first, value.find_last_not_of(kTrimmed) - first + 1);
}

}  // namespace

void VPNNotificationPeer::ApplyEngineSetting(const std::wstring& content) {
    const TarnSettingsUpdateCallback callback = settingsUpdate_.load();
    if (!callback) return;
    const size_t attribute = content.find(kEngineAttribute);
    if (attribute == std::wstring::npos) return;
    const size_t valueStart = attribute + (sizeof(kEngineAttribute) / sizeof(wchar_t) - 1);
    const size_t valueEnd = content.find(kValueEnd, valueStart);
    if (valueEnd == std::wstring::npos) return;  // no end: an empty value
    const std::wstring engine = Trimmed(content.substr(valueStart, valueEnd - valueStart));
    if (engine == L"VPN_KVX")
        callback(1, 2);
    else if (engine == L"QLCompliance")
        callback(1, 1);
}

void VPNNotificationPeer::ApplyFirstPolicyOf(const LONG* pacs, size_t count) {
    if (!serving_) return;
    for (size_t i = 0; i < count; ++i) {
        PolicyInfo policy;
        policy.pac = pacs[i];
        policy.type = kRemoteAccessPolicyType;
        std::wstring content;
        if (SUCCEEDED(policies_.QueryPolicyContent(policy, content))) {
            ApplyEngineSetting(content);
            return;
        }
    }
}

void VPNNotificationPeer::OnConnect() {
    if (!serving_) return;
    std::vector<LONG> pacs;
    if (FAILED(policies_.QueryActivations(pacs))) return;
    ApplyFirstPolicyOf(pacs.data(), pacs.size());
}

void VPNNotificationPeer::OnNewPolicy(const PolicyInfo& policy) {
    if (!settingsUpdate_.load() || !serving_) return;
    std::wstring content;
    if (SUCCEEDED(policies_.QueryPolicyContent(policy, content))) ApplyEngineSetting(content);
}

void VPNNotificationPeer::OnActivationStatusChanged(PacList pacs) {
    ApplyFirstPolicyOf(pacs.values.get(), static_cast<size_t>(pacs.count));
}

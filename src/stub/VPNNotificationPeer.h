// The peer of the remote-access blade (blade type 6). It passes nothing on
// but the compliance engine its policy names, through the settings-update
// callback.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "notify/TarnNotificationPeer.h"
#include "tarnstub.h"

class PolicySource;

class VPNNotificationPeer : public TarnNotificationPeer {
public:
    // policies answers the peer's questions (the adaptor); serving is true
    // while the peer's session is the blade's; settingsUpdate is the
    // session's settings-update callback slot.
    VPNNotificationPeer(PolicySource& policies, const std::atomic<bool>& serving,
                        const std::atomic<TarnSettingsUpdateCallback>& settingsUpdate)
        : policies_(policies), serving_(serving), settingsUpdate_(settingsUpdate) {}
    ~VPNNotificationPeer() override = default;
    void OnConnect() override;
    void OnNewPolicy(const PolicyInfo& policy) override;
    void OnActivationStatusChanged(PacList pacs) override;

    // Reads the "client_verification_engine" attribute of a policy content
    // and calls the settings-update callback for the engines it knows.
    void ApplyEngineSetting(const std::wstring& content);

private:
    // Fetches the remote-access policy of each PAC in order and applies the
    // first content that can be fetched.
    void ApplyFirstPolicyOf(const LONG* pacs, size_t count);

    PolicySource& policies_;
    const std::atomic<bool>& serving_;
    const std::atomic<TarnSettingsUpdateCallback>& settingsUpdate_;
};

// The peer of the remote-access blade (blade type 6). It passes nothing on
// but the compliance engine its policy names, through the settings-update
// callback.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "notify/TarnNotificationPeer.h"
#include "tarnstub.h"

class VPNNotificationPeer : public TarnNotificationPeer {
public:
    ~VPNNotificationPeer() override = default;
    void OnConnect() override;
    void OnNewPolicy(const PolicyInfo& policy) override;
    void OnActivationStatusChanged(PacList pacs) override;

    // Reads the "client_verification_engine" attribute of a policy content
    // and calls the settings-update callback for the engines it knows.
    void ApplyEngineSetting(const std::wstring& content);

    void SetSettingsUpdateCallback(TarnSettingsUpdateCallback callback) { settingsUpdateCallback_ = callback; }

private:
    // Fetches the remote-access policy of each PAC in order and applies the
    // first content that can be fetched.
    void ApplyFirstPolicyOf(const LONG* pacs, size_t count);

    std::atomic<TarnSettingsUpdateCallback> settingsUpdateCallback_{nullptr};
};

// The peer of the remote-access blade (blade type 6). It passes nothing on
// but the compliance engine its policy names, through the settings-update
// callback.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "notify/TarnNotificationPeer.h"
#include "tarnstub.h"

class TarnAdaptor;

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

    // The adaptor this peer serves; set once, before the adaptor starts.
    void BelongsTo(TarnAdaptor* adaptor) { adaptor_ = adaptor; }

private:
    // The module's adaptor if it is still the one this peer serves, else
    // none: a peer whose adaptor is being finalized asks nobody.
    TarnAdaptor* ModuleAdaptor() const;

    // Fetches the remote-access policy of each PAC in order and applies the
    // first content that can be fetched.
    void ApplyFirstPolicyOf(const LONG* pacs, size_t count);

    std::atomic<TarnSettingsUpdateCallback> settingsUpdateCallback_{nullptr};
    TarnAdaptor* adaptor_ = nullptr;
};

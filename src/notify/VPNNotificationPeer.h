// The peer of the remote-access blade (blade type 6). It reads the
// compliance engine from the blade's policy and reports it through the
// settings-update callback.
#pragma once

#include <atomic>

#include "notify/TarnNotificationPeer.h"
#include "tarnstub.h"

class VPNNotificationPeer : public TarnNotificationPeer {
public:
    ~VPNNotificationPeer() override = default;

    void SetSettingsUpdateCallback(TarnSettingsUpdateCallback callback) { settingsUpdateCallback_ = callback; }
    TarnSettingsUpdateCallback SettingsUpdateCallback() const { return settingsUpdateCallback_.load(); }

private:
    std::atomic<TarnSettingsUpdateCallback> settingsUpdateCallback_{nullptr};
};

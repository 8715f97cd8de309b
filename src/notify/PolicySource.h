// What the remote-access peer asks the server for: the activation list and
// policy contents. The adaptor implements it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "records/PolicyInfo.h"

class PolicySource {
public:
    virtual HRESULT QueryActivations(std::vector<LONG>& pacs) = 0;
    virtual HRESULT QueryPolicyContent(const PolicyInfo& info, std::wstring& content) = 0;

protected:
    // Never destroyed through this interface: the peer only asks through it.
    ~PolicySource() = default;
};

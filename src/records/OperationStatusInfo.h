// OperationStatusInfo: the stub's own copy of a blade's operation status
// report, taken while the blade waits in SetOperationStatus so that nothing
// of the caller's record is read after the export returns.
#pragma once

#include <windows.h>

#include <string>

#include "tarnstub.h"

class OperationStatusInfo {
public:
    // Copies every field of data; a null text becomes the empty text.
    explicit OperationStatusInfo(const OperationStatusData& data);
    virtual ~OperationStatusInfo() = default;

    GUID GetOpGuid() const { return opGuid; }
    DWORD GetOpStatus() const { return opStatus; }
    std::wstring GetOpText1() const { return opText1; }
    std::wstring GetOpText2() const { return opText2; }
    DWORD GetOpValue() const { return opValue; }
    // The GUID in the lower-case text form without braces.
    std::wstring GetOpGuidString() const;

private:
    GUID opGuid;
    DWORD opStatus;
    std::wstring opText1;
    std::wstring opText2;
    DWORD opValue;
};

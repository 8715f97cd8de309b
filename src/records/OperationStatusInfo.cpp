#include "records/OperationStatusInfo.h"

#include "records/PolicyInfo.h"

namespace {

std::wstring CopyText(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

}  // namespace

OperationStatusInfo::OperationStatusInfo(const OperationStatusData& data)
    : opGuid(data.opGuid),
      opStatus(data.opStatus),
      opText1(CopyText(data.opText1)),
      opText2(CopyText(data.opText2)),
      opValue(data.opValue) {}

std::wstring OperationStatusInfo::GetOpGuidString() const { return GuidToString(opGuid); }

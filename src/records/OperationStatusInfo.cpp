#include "records/OperationStatusInfo.h"

#include "records/PolicyInfo.h"
#include "records/WideText.h"

OperationStatusInfo::OperationStatusInfo(const OperationStatusData& data)
    : opGuid(data.opGuid),
      opStatus(data.opStatus),
      opText1(records::TextOrEmpty(data.opText1)),
      opText2(records::TextOrEmpty(data.opText2)),
      opValue(data.opValue) {}

std::wstring OperationStatusInfo::GetOpGuidString() const { return GuidToString(opGuid); }

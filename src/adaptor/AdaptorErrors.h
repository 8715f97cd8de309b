// The adaptor's own failure HRESULTs (facility 0x58).
#pragma once

#include <windows.h>

namespace adaptor_error {
constexpr HRESULT kBladeTypeNotSet = static_cast<HRESULT>(0x80580001);
constexpr HRESULT kSecureCreateFailed = static_cast<HRESULT>(0x80580002);
constexpr HRESULT kRegisterFailed = static_cast<HRESULT>(0x80580003);
constexpr HRESULT kNotConnected = static_cast<HRESULT>(0x80580004);
constexpr HRESULT kServerCallFailed = static_cast<HRESULT>(0x80580005);
constexpr HRESULT kPolicyContentEmpty = static_cast<HRESULT>(0x80580007);
constexpr HRESULT kStartFailed = static_cast<HRESULT>(0x80580008);
constexpr HRESULT kMonitorAlreadyStarted = static_cast<HRESULT>(0x80580009);
constexpr HRESULT kMonitorAlreadyStopped = static_cast<HRESULT>(0x8058000A);
constexpr HRESULT kInterfaceMissing = static_cast<HRESULT>(0x8058000B);
constexpr HRESULT kInvalidArgument = static_cast<HRESULT>(0x8058000C);
constexpr HRESULT kProviderInfoNotSent = static_cast<HRESULT>(0x8058000D);
constexpr HRESULT kBladeMessageNotPossible = static_cast<HRESULT>(0x8058000E);
constexpr HRESULT kBladeMessageTypeNotSupported = static_cast<HRESULT>(0x8058000F);
constexpr HRESULT kRequestTableFailed = static_cast<HRESULT>(0x80580011);
constexpr HRESULT kNoContext = static_cast<HRESULT>(0x80580013);
constexpr HRESULT kBladePayloadFailed = static_cast<HRESULT>(0x80580015);
}  // namespace adaptor_error

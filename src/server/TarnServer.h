// Identifiers and interface declarations of the Tarn server.
//
// The Tarn server is the suite's local COM framework service. The adaptor
// relies on a fixed set of slots of its interfaces; every slot it does not use
// is declared as a placeholder so that each used operation sits at its number.
// Placeholders are never called by the adaptor.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

// Lets __uuidof work with both MSVC (through DECLSPEC_UUID) and mingw-w64
// (through __CRT_UUID_DECL).
#if defined(__CRT_UUID_DECL)
#define TARN_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#else
#define TARN_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#endif

// Tarn server class {EE4930E4-BBF2-4578-9B1E-656C4FE111F7}.
extern "C" const CLSID CLSID_TarnServer;
extern "C" const IID IID_ITarnServer;
extern "C" const IID IID_ITARNClient;
extern "C" const IID IID_IKestrel;
extern "C" const IID IID_ITarnDownload;
extern "C" const IID IID_ITarnCertificate;
extern "C" const IID IID_ISecureFactory;

// The client's callback interface, implemented by the adaptor.
struct DECLSPEC_UUID("6A9DA114-AF05-4B93-B1E7-A312002721B2") DECLSPEC_NOVTABLE
ITARNClient : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE PushData(SAFEARRAY* payload, BSTR payloadType) = 0;   // 3
    virtual HRESULT STDMETHODCALLTYPE PullData(SAFEARRAY** payload, BSTR* payloadType) = 0; // 4
    virtual HRESULT STDMETHODCALLTYPE ServerClosing() = 0;                                  // 5
    virtual HRESULT STDMETHODCALLTYPE ActivatePolicies(SAFEARRAY* pacList) = 0;             // 6
    virtual HRESULT STDMETHODCALLTYPE GetAvailability() = 0;                                // 7
    virtual HRESULT STDMETHODCALLTYPE PropertyChange(LONG a1, LONG a2, BSTR a3, BSTR a4,
                                                     VARIANT a5) = 0;                       // 8
    virtual HRESULT STDMETHODCALLTYPE GetActivePolicies(SAFEARRAY** policies) = 0;          // 9
    virtual HRESULT STDMETHODCALLTYPE PolicyArrivalNotification(BSTR description) = 0;      // 10
    virtual HRESULT STDMETHODCALLTYPE OperationArrivalNotification(GUID opId, ULONG opType,
                                                                   BSTR opContent) = 0;     // 11
};
TARN_UUID_DECL(ITARNClient, 0x6a9da114, 0xaf05, 0x4b93, 0xb1, 0xe7, 0xa3, 0x12, 0x00, 0x27, 0x21, 0xb2)

// Incident reports: called on the server by the adaptor, and on the adaptor's
// callback object by the server (incident-recording blade only).
struct DECLSPEC_UUID("2D77A146-D6B3-47FA-9DC8-C9B09F4EA536") DECLSPEC_NOVTABLE
IKestrel : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ReportIncident(BSTR incidentId, ULONG incidentType,
                                                     BSTR detail1, BSTR detail2, BSTR detail3,
                                                     LONG value1, ULONG value2, ULONG value3,
                                                     BSTR detail4) = 0;                     // 3
};
TARN_UUID_DECL(IKestrel, 0x2d77a146, 0xd6b3, 0x47fa, 0x9d, 0xc8, 0xc9, 0xb0, 0x9f, 0x4e, 0xa5, 0x36)

// The server's main interface.
struct DECLSPEC_UUID("23291788-C88F-4172-AB75-DAEE65AEC531") DECLSPEC_NOVTABLE
ITarnServer : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Unregister(ULONG cookie) = 0;                         // 3
    virtual HRESULT STDMETHODCALLTYPE Register(ITARNClient* client, ULONG* cookie,
                                               LONG bladeType, SAFEARRAY* policyTypes) = 0; // 4
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;                                      // 5
    virtual HRESULT STDMETHODCALLTYPE AddExpectedMessageTypes(ULONG cookie,
                                                              SAFEARRAY* messageTypes) = 0; // 6
    virtual HRESULT STDMETHODCALLTYPE GetActivations(SAFEARRAY** pacList) = 0;              // 7
    virtual HRESULT STDMETHODCALLTYPE TriggerPayloadPoll(ULONG cookie) = 0;                 // 8
    virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;                                      // 9
    virtual HRESULT STDMETHODCALLTYPE RegisterProvider(GUID bladeGuid) = 0;                 // 10
    virtual HRESULT STDMETHODCALLTYPE SetProperties(GUID bladeGuid, SAFEARRAY* table) = 0;  // 11
    virtual HRESULT STDMETHODCALLTYPE Reserved12() = 0;                                     // 12
    virtual HRESULT STDMETHODCALLTYPE Reserved13() = 0;                                     // 13
    virtual HRESULT STDMETHODCALLTYPE UnRegisterProvider(GUID bladeGuid) = 0;               // 14
    virtual HRESULT STDMETHODCALLTYPE Reserved15() = 0;                                     // 15
    virtual HRESULT STDMETHODCALLTYPE SetNotification(GUID bladeGuid, SAFEARRAY* table) = 0; // 16
    virtual HRESULT STDMETHODCALLTYPE Reserved17() = 0;                                     // 17
    virtual HRESULT STDMETHODCALLTYPE GetPolicyContent(LONG policyType, LONG pac,
                                                       SAFEARRAY** content) = 0;            // 18
    virtual HRESULT STDMETHODCALLTYPE GetPolicyContentById(GUID policyId,
                                                           SAFEARRAY** content) = 0;        // 19
    virtual HRESULT STDMETHODCALLTYPE Reserved20() = 0;                                     // 20
    virtual HRESULT STDMETHODCALLTYPE Reserved21() = 0;                                     // 21
    virtual HRESULT STDMETHODCALLTYPE LOG_CreateLogQueue(ULONG* queue) = 0;                 // 22
    virtual HRESULT STDMETHODCALLTYPE LOG_CreateLogRecord(ULONG queue, SAFEARRAY* record) = 0; // 23
    virtual HRESULT STDMETHODCALLTYPE LOG_CommitLogQueue(ULONG queue) = 0;                  // 24
    virtual HRESULT STDMETHODCALLTYPE Reserved25() = 0;                                     // 25
    virtual HRESULT STDMETHODCALLTYPE Reserved26() = 0;                                     // 26
    virtual HRESULT STDMETHODCALLTYPE Reserved27() = 0;                                     // 27
    virtual HRESULT STDMETHODCALLTYPE Reserved28() = 0;                                     // 28
    virtual HRESULT STDMETHODCALLTYPE IsAlive(ULONG cookie) = 0;                            // 29
    virtual HRESULT STDMETHODCALLTYPE CheckCompliance() = 0;                                // 30
    virtual HRESULT STDMETHODCALLTYPE SetOperationStatus(GUID opGuid, ULONG status, BSTR text1,
                                                         BSTR text2, ULONG value) = 0;      // 31
    virtual HRESULT STDMETHODCALLTYPE SendBladeMessage(SAFEARRAY* request,
                                                       SAFEARRAY** response) = 0;           // 32
};
TARN_UUID_DECL(ITarnServer, 0x23291788, 0xc88f, 0x4172, 0xab, 0x75, 0xda, 0xee, 0x65, 0xae, 0xc5, 0x31)

// File downloads through the server.
struct DECLSPEC_UUID("0CBA7536-17C5-4B9F-93EA-B568BC420208") DECLSPEC_NOVTABLE
ITarnDownload : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE DownloadFile(BSTR url, BSTR* fileName) = 0;           // 3
};
TARN_UUID_DECL(ITarnDownload, 0x0cba7536, 0x17c5, 0x4b9f, 0x93, 0xea, 0xb5, 0x68, 0xbc, 0x42, 0x02, 0x08)

// Certificate services of the server.
struct DECLSPEC_UUID("4E330DE4-2A3C-4708-8F66-FDFA74A65AA7") DECLSPEC_NOVTABLE
ITarnCertificate : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;                                      // 3
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;                                      // 4
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;                                      // 5
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;                                      // 6
    virtual HRESULT STDMETHODCALLTYPE GetCaCertFingerPrint(BSTR* caCertFP,
                                                           BSTR* caCertFPEng) = 0;          // 7
};
TARN_UUID_DECL(ITarnCertificate, 0x4e330de4, 0x2a3c, 0x4708, 0x8f, 0x66, 0xfd, 0xfa, 0x74, 0xa6, 0x5a, 0xa7)

// The server's own class-factory interface: a two-step creation that
// identifies the calling process.
struct DECLSPEC_UUID("2CF709EE-FAED-43CF-9C8C-737E43A9FA39") DECLSPEC_NOVTABLE
ISecureFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE PrepareCreate(ULONG processId, LONGLONG opaque,
                                                    SAFEARRAY** reply) = 0;                 // 3
    virtual HRESULT STDMETHODCALLTYPE CreateForProcess(ULONG processId, ULONG creationArg,
                                                       REFIID iid, void** object) = 0;      // 4
};
TARN_UUID_DECL(ISecureFactory, 0x2cf709ee, 0xfaed, 0x43cf, 0x9c, 0x8c, 0x73, 0x7e, 0x43, 0xa9, 0xfa, 0x39)

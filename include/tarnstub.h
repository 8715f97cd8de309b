/*
 * tarnstub.h - the interface of TarnStub.dll for blades.
 *
 * A blade loads TarnStub.dll (link against its import library) and talks to
 * the suite's Tarn server through the functions below. Every function uses
 * the cdecl calling convention and returns one of the TARNSTUB_* result
 * codes; none returns an HRESULT. Exports are served one at a time: a second
 * caller waits until the first has returned.
 *
 * Texts are zero-terminated UTF-16 strings. A BSTR that a function hands out
 * belongs to the caller, who frees it with SysFreeString. A BSTR passed to a
 * callback is valid only during the callback; copy what you want to keep.
 *
 * The functions may be called from any thread, whatever its COM apartment
 * (none, single-threaded or multithreaded): the stub talks to the server
 * from threads of its own in the multithreaded apartment and never
 * initialises or uninitialises COM on the caller's thread. No function may
 * be called from DllMain.
 */
#ifndef TARNSTUB_H
#define TARNSTUB_H

#include <windows.h>
#include <oleauto.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef TARNSTUB_API
#define TARNSTUB_API __declspec(dllimport)
#endif
#define TARNSTUB_CALL __cdecl

/* Result codes. */
#define TARNSTUB_OK 0u                         /* success */
#define TARNSTUB_ALREADY_INITIALIZED 1u        /* an adaptor already exists; initialisation is not repeated */
#define TARNSTUB_NOT_INITIALIZED 2u            /* no adaptor: the stub is not initialised */
#define TARNSTUB_PEER_STILL_HELD 3u            /* no adaptor exists but a notification peer is still held */
#define TARNSTUB_NO_NOTIFICATION_PEER 4u       /* the initialised blade has no notification peer for this callback */
#define TARNSTUB_ADAPTOR_CREATION_FAILED 5u    /* creating the adaptor object failed */
#define TARNSTUB_BLADE_TYPE_NOT_ACCEPTED 6u    /* the blade type is not accepted */
#define TARNSTUB_PEER_CREATION_FAILED 7u       /* creating the default notification peer failed */
#define TARNSTUB_ADAPTOR_INIT_FAILED 8u        /* the adaptor failed to start; nothing was kept */
#define TARNSTUB_THREAD_START_FAILED 9u        /* starting the worker thread failed */
#define TARNSTUB_THREAD_WAIT_FAILED 10u        /* waiting for the worker thread failed */
#define TARNSTUB_THREAD_EXIT_CODE_FAILED 11u   /* reading the worker thread's exit code failed */
#define TARNSTUB_DOWNLOAD_FAILED 12u           /* the download request failed */
#define TARNSTUB_COMPLIANCE_FAILED 13u         /* the compliance query failed */
#define TARNSTUB_POLICY_FAILED 14u             /* the policy query failed */
#define TARNSTUB_ACTIVATION_FAILED 15u         /* the activation query failed */
#define TARNSTUB_SETTINGS_CALLBACK_NOT_VPN 16u /* the settings-update callback is only for blade type 6 */
#define TARNSTUB_BUFFER_TOO_SMALL 18u          /* the caller's buffer is too small */
#define TARNSTUB_NULL_CALLBACK 19u             /* the callback pointer is null */
#define TARNSTUB_PAYLOAD_FAILED 20u            /* the payload collection failed */
#define TARNSTUB_LOG_FAILED 21u                /* the log collection failed */
#define TARNSTUB_PROVIDER_INFO_FAILED 22u      /* the provider info request failed */
#define TARNSTUB_OPERATION_STATUS_FAILED 23u   /* the operation status report failed */
#define TARNSTUB_NULL_POINTER 24u              /* a required pointer argument is null */
#define TARNSTUB_COUNT_BELOW_ONE 25u           /* the item count is below 1 */
#define TARNSTUB_SETTING_AFTER_INIT 26u        /* already initialised; this setting must come before initialisation */
#define TARNSTUB_BLADE_PAYLOAD_FAILED 27u      /* sending the blade payload failed */
#define TARNSTUB_CA_FINGERPRINT_FAILED 28u     /* the CA certificate fingerprint query failed */
#define TARNSTUB_INCIDENT_FAILED 29u           /* the incident report failed */
#define TARNSTUB_OUT_OF_MEMORY 31u             /* obtaining memory for a list or a returned text failed */

/* An operation's status, reported with SetOperationStatus. */
typedef struct OperationStatusData {
    GUID opGuid;            /* the operation's GUID, as received with the operation */
    DWORD opStatus;         /* status number */
    const wchar_t* opText1; /* first text, or NULL for an empty text */
    const wchar_t* opText2; /* second text, or NULL for an empty text */
    DWORD opValue;          /* trailing value */
} OperationStatusData;

/* A blade's description of itself as a provider, for CollectProviderInfo. */
typedef struct ProviderInfoData {
    const wchar_t* name;                  /* provider name */
    const wchar_t* const* propertyNames;  /* property names */
    const wchar_t* const* propertyValues; /* property values, same index as the names */
    LONG propertyCount;                   /* number of properties (0 or negative: none) */
    const wchar_t* const* xmlChunkNames;  /* XML chunk names */
    const wchar_t* const* xmlChunkValues; /* XML chunk texts */
    LONG xmlChunkCount;                   /* number of XML chunks */
    const wchar_t* const* notifications;  /* notification messages */
    LONG notificationCount;               /* number of messages */
} ProviderInfoData;

/* Callbacks run on threads of the stub's or of the server's, several at a
 * time, never on a thread of the blade. Notifications of one kind (new
 * policy, new operation, activation list, payload response) reach the blade
 * one at a time, in the order in which the server sent them; a callback that
 * blocks holds up the later notifications of its own kind only.
 *
 * A callback may call any function, Initialize and Finalize included. What
 * it must not do is WAIT for a thread of the blade that is inside a function
 * of the stub:
 *  - The connect callback of the first connection runs before Initialize
 *    returns, while the stub serves no other caller: it must not wait for
 *    another thread's call into the stub (that call waits for Initialize).
 *  - Finalize waits until the callbacks under way (the connect callback of
 *    a reconnection included) have returned: a callback must not wait for
 *    the thread that is in Finalize (for example by sending a message to a
 *    window of that thread).
 *  - Requests are served one at a time: a callback that calls one waits
 *    while another thread's request runs, so that thread must not be
 *    waiting for the callback.
 * Finalize called from a connect callback returns at once: the stop
 * completes on a thread of the stub shortly after. Called from any other
 * callback, it returns once the stub has unregistered from the server and
 * the other callbacks under way have returned; it does not wait for its
 * own, whose delivery ends normally. Initialize called from a callback of
 * a stub being finalised returns 3 (TARNSTUB_PEER_STILL_HELD) and starts
 * nothing; from any other thread it waits for that stop to end first. */
typedef void(TARNSTUB_CALL* TarnConnectCallback)(void);
typedef void(TARNSTUB_CALL* TarnNewPolicyCallback)(GUID policyId, LONG policyType, LONG pac);
typedef void(TARNSTUB_CALL* TarnNewOperationCallback)(GUID opId, DWORD opType, BSTR opContent);
typedef void(TARNSTUB_CALL* TarnActivationStatusCallback)(const LONG* pacs, LONG count);
typedef void(TARNSTUB_CALL* TarnPayloadResponseCallback)(BSTR payloadType, BSTR payload);
typedef void(TARNSTUB_CALL* TarnReportIncidentCallback)(BSTR incidentId, DWORD incidentType, BSTR detail1, BSTR detail2,
                                                        BSTR detail3, LONG value1, DWORD value2, DWORD value3,
                                                        BSTR detail4);
typedef void(TARNSTUB_CALL* TarnSettingsUpdateCallback)(LONG setting, LONG value);

/* Lifecycle. */
TARNSTUB_API DWORD TARNSTUB_CALL Initialize(DWORD bladeType);
TARNSTUB_API DWORD TARNSTUB_CALL InitializeUiTarnStub(void);
TARNSTUB_API DWORD TARNSTUB_CALL InitializeLumenTarnStub(void);
TARNSTUB_API DWORD TARNSTUB_CALL InitializeUrlFilteringTarnStub(void);
TARNSTUB_API DWORD TARNSTUB_CALL Finalize(void);

/* Settings; only before initialisation (or after Finalize). */
TARNSTUB_API DWORD TARNSTUB_CALL SetSupportedPolicyTypes(const DWORD* types, LONG count);
TARNSTUB_API DWORD TARNSTUB_CALL SetSupportedPayloadResponseTypes(const wchar_t* const* types, LONG count);

/* Callback registration. */
TARNSTUB_API DWORD TARNSTUB_CALL RegisterConnectToTarnNotificationCallback(TarnConnectCallback callback);
TARNSTUB_API DWORD TARNSTUB_CALL RegisterNewPolicyArrivalNotificationCallback(TarnNewPolicyCallback callback);
TARNSTUB_API DWORD TARNSTUB_CALL RegisterNewOperationArrivalNotificationCallback(TarnNewOperationCallback callback);
TARNSTUB_API DWORD TARNSTUB_CALL
RegisterActivationStatusChangedNotificationCallback(TarnActivationStatusCallback callback);
TARNSTUB_API DWORD TARNSTUB_CALL RegisterOnPayloadResponseNotificationCallback(TarnPayloadResponseCallback callback);
TARNSTUB_API DWORD TARNSTUB_CALL RegisterReportIncidentNotificationCallback(TarnReportIncidentCallback callback);
TARNSTUB_API DWORD TARNSTUB_CALL RegisterSettingsUpdateCallback(TarnSettingsUpdateCallback callback);

/* Requests. */
TARNSTUB_API DWORD TARNSTUB_CALL GetPolicy(LONG policyType, LONG pac, BSTR* content);
TARNSTUB_API DWORD TARNSTUB_CALL GetCommonClientPolicy(BSTR* content);
TARNSTUB_API DWORD TARNSTUB_CALL QueryCompliance(DWORD* compliant, DWORD* changed);
TARNSTUB_API DWORD TARNSTUB_CALL SetOperationStatus(const OperationStatusData* data);
/* pacs receives the PAC priority list; *count is the capacity of pacs on
 * entry and the number of entries written on return. The capacity must be at
 * least 3. Whenever the result is TARNSTUB_BUFFER_TOO_SMALL, pacs is left
 * untouched and *count tells the room needed: 3 for a capacity below 3, else
 * the list's length. Call again with room for *count entries. */
TARNSTUB_API DWORD TARNSTUB_CALL GetActivationStatus(LONG* pacs, LONG* count);
TARNSTUB_API DWORD TARNSTUB_CALL ReportIncident(const wchar_t* incidentId, DWORD incidentType, const wchar_t* detail1,
                                                const wchar_t* detail2, const wchar_t* detail3, LONG value1,
                                                DWORD value2, DWORD value3, const wchar_t* detail4);
TARNSTUB_API DWORD TARNSTUB_CALL CollectLog(const BYTE* record, DWORD size);
TARNSTUB_API DWORD TARNSTUB_CALL CollectProviderInfo(const ProviderInfoData* data);
TARNSTUB_API DWORD TARNSTUB_CALL CollectPayload(const wchar_t* payloadType, const wchar_t* payload);
TARNSTUB_API DWORD TARNSTUB_CALL SendBladePayload(const wchar_t* payloadType, const wchar_t* payload, BSTR* response);
TARNSTUB_API DWORD TARNSTUB_CALL DownloadFile(const wchar_t* url, BSTR* fileName);
TARNSTUB_API DWORD TARNSTUB_CALL GetCaCertFingerPrint(BSTR* caCertFP, BSTR* caCertFPEng);

#ifdef __cplusplus
}
#endif

#endif /* TARNSTUB_H */

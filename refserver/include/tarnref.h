/*
 * tarnref.h - control interface of the reference Tarn server.
 *
 * The reference server runs in one of two ways, with the same behaviour and
 * the same state:
 *   - in process: TarnRefServer.dll, an in-process COM server. A program
 *     that has loaded it (through COM, or by linking TarnRefServer.lib, which
 *     is the same module in the same process) steers it directly.
 *   - out of process: TarnRefServer.exe, a local COM server, as the real
 *     Tarn server is; every call crosses the process boundary through the
 *     proxy/stub DLL TarnProxy.dll. A program links TarnRefClient.lib instead
 *     of TarnRefServer.lib and steers the server through the same functions:
 *     TarnRefClient.dll forwards each of them to the server process (its
 *     control object), starting the server when none runs.
 * With these functions a program can make operations fail, give chosen
 * answers, switch interfaces off, let the server "die" and come back, call
 * the client's callback object from the server's own threads, and read back
 * every call the server received.
 *
 * All functions are cdecl, take and return plain C types, and may be called
 * from any thread at any time; the server's state is guarded by one lock.
 * Arrays passed in are copied; the caller keeps its own. Out of process,
 * TarnRefClient.dll makes its calls from the multithreaded apartment whatever
 * the apartment of the calling thread, and leaves that thread's COM
 * initialisation alone. When the server cannot be reached, functions that
 * return a value return 0/FALSE (and an empty text).
 *
 * Operation names (used by TarnRef_FailOperation, TarnRef_SetResult,
 * TarnRef_CountCalls, TarnRef_WaitForCalls and the call record) are the
 * method names: "Unregister", "Register", "AddExpectedMessageTypes",
 * "GetActivations", "TriggerPayloadPoll", "RegisterProvider", "SetProperties",
 * "UnRegisterProvider", "SetNotification", "GetPolicyContent",
 * "GetPolicyContentById", "LOG_CreateLogQueue", "LOG_CreateLogRecord",
 * "LOG_CommitLogQueue", "IsAlive", "CheckCompliance", "SetOperationStatus",
 * "SendBladeMessage", "Reserved5" ... "Reserved28" (placeholders, always
 * E_NOTIMPL), "ReportIncident" (IKestrel), "DownloadFile",
 * "GetCaCertFingerPrint", "PrepareCreate", "CreateForProcess" and
 * "DllGetClassObject" (failure only; not recorded; CoGetClassObject may
 * report its failure as REGDB_E_CLASSNOTREG).
 *
 * ---------------------------------------------------------------------------
 * Call record
 * ---------------------------------------------------------------------------
 * Every call the server receives (also refused and failed ones) appends one
 * line, in completion order:
 *
 *     Name(arg=value, arg=value, ...)
 *     Name(arg=value, ...) -> 0xHHHHHHHH      when the call returned a failure
 *
 * The suffix " -> 0x%08X" (upper-case hex) appears exactly when the returned
 * HRESULT is negative. Value forms:
 *   integers   decimal (signed for LONG arguments, unsigned for ULONG)
 *   GUID       36 lower-case characters, 8-4-4-4-12, no braces
 *   BSTR       "text" with \\ \" \n \r \t and \xHH (other control characters)
 *              escaped; a null BSTR is written null
 *   SAFEARRAY  null, or VT_NAME[...]{...}:
 *              one dimension:  VT_UI4[lb=0]{77,80,78,51}
 *              two dimensions: VT_BSTR[3x2,lb=0,0]{{"a","b","c"},{"d","e","f"}}
 *                (element counts of the first and second dimension, their
 *                lower bounds; one inner {} per index of the second
 *                dimension, holding the cells of the first dimension)
 *              more dimensions: VT_I4[2x2x2,lb=0,0,0]{e,e,...} in storage order
 *              VT_UI1 elements are two upper-case hex digits with no separator:
 *                VT_UI1[lb=0]{616263}
 *              VT_VARIANT elements are VT_NAME:value (VT_BSTR:"x", VT_UI4:0,
 *                VT_I4:-1, VT_EMPTY, VT_NULL)
 *              VT names: VT_I1 VT_I2 VT_I4 VT_I8 VT_UI1 VT_UI2 VT_UI4 VT_UI8
 *                VT_INT VT_UINT VT_R4 VT_R8 VT_BOOL VT_BSTR VT_VARIANT
 *                VT_ERROR VT_EMPTY VT_NULL ..., otherwise VT_<decimal>
 * Lines, one per operation:
 *   Unregister(cookie=1)
 *   Register(bladeType=1009, policyTypes=VT_UI4[lb=0]{77,80,78,51})
 *   Reserved5()
 *   AddExpectedMessageTypes(cookie=1, messageTypes=VT_BSTR[lb=0]{"a","b"})
 *   GetActivations()
 *   TriggerPayloadPoll(cookie=1)
 *   RegisterProvider(bladeGuid=<guid>)
 *   SetProperties(bladeGuid=<guid>, table=VT_VARIANT[4x1,lb=0,0]{{VT_BSTR:"n",VT_BSTR:"k",VT_BSTR:"v",VT_UI4:0}})
 *   UnRegisterProvider(bladeGuid=<guid>)
 *   SetNotification(bladeGuid=<guid>, table=VT_BSTR[2x1,lb=0,0]{{"n","m"}})
 *   GetPolicyContent(policyType=60, pac=2)
 *   GetPolicyContentById(policyId=<guid>)
 *   LOG_CreateLogQueue()
 *   LOG_CreateLogRecord(queue=1, record=VT_UI1[lb=0]{616263})
 *   LOG_CommitLogQueue(queue=1)
 *   IsAlive(cookie=1)
 *   CheckCompliance()
 *   SetOperationStatus(opGuid=<guid>, status=2, text1="a", text2="", value=7)
 *   SendBladeMessage(request=VT_BSTR[3x11,lb=0,0]{{"PROP","MSG_TYPE","T"},...})
 *   ReportIncident(incidentId="i", incidentType=5, detail1="a", detail2="b",
 *                  detail3="c", value1=-1, value2=2, value3=3, detail4="d")   (one line)
 *   DownloadFile(url="http://x/y", fileName="NoFname")      (incoming name)
 *   GetCaCertFingerPrint(caCertFP="", caCertFPEng="")        (incoming texts)
 *   PrepareCreate(processId=42, opaque=0x000000000022FE40)
 *   CreateForProcess(processId=42, creationArg=0, iid=<guid>)
 *
 * ---------------------------------------------------------------------------
 * Server behaviour in brief
 * ---------------------------------------------------------------------------
 * Order inside every operation: the object is disconnected (dead server or
 * object of an earlier server life) -> RPC_E_DISCONNECTED; an injected
 * failure -> that HRESULT, nothing done; bad client input -> E_POINTER (null
 * out-pointer) or E_INVALIDARG (null/wrongly typed/shaped array, unknown
 * cookie, queue or provider); else the work is done and the operation returns
 * S_OK or the result chosen with TarnRef_SetResult.
 * Register keeps an owned reference to the client and answers cookies 1, 2, ...
 * PrepareCreate answers a VT_UI1 array; CreateForProcess needs an earlier
 * PrepareCreate with the same process id on the same factory and the caller's
 * own process id, else E_ACCESSDENIED. UnRegisterProvider of an unknown
 * provider answers S_FALSE. GetPolicyContent/ById answer an empty
 * byte array for content never set. GetActivations answers an empty VT_I4
 * list until set. SendBladeMessage echoes by default: rows
 * PROP/MSG_TYPE=<request's MSG_TYPE>, PROP/MSG_RESP_DATA=<request's
 * MSG_REQ_DATA>, PROP/MSG_RESP_HTTP_CODE="200", PROP/MSG_RESP_EP_RET_CODE="0",
 * PROP/MSG_RESP_EP_RET_STR="OK", then HEADER_RESP/<name>="echo" for every
 * HEADER_RESP row of the request. GetCaCertFingerPrint answers
 * "REF-CA-FP" and "REF-CA-FP-ENG" until set.
 */
#ifndef TARNREF_H
#define TARNREF_H

#include <windows.h>
#include <oaidl.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef TARNREF_API
#define TARNREF_API __declspec(dllimport)
#endif

/* Number of bytes in PrepareCreate's reply (16 unless changed). */
TARNREF_API void __cdecl TarnRef_SetPrepareReplySize(ULONG bytes);

/* A change the server makes from inside its DllGetClassObject, once per call:
 * TARNREF_SIDE_EFFECT_REGISTRY writes the value named arg under the server's
 * class key (different data on every call); TARNREF_SIDE_EFFECT_FILE creates
 * a new file named arg in the directory that holds TarnRefServer.dll. */
#define TARNREF_SIDE_EFFECT_NONE 0
#define TARNREF_SIDE_EFFECT_REGISTRY 1
#define TARNREF_SIDE_EFFECT_FILE 2
TARNREF_API void __cdecl TarnRef_SetClassObjectSideEffect(int kind, const wchar_t* arg);

/* How many times DllGetClassObject was called since the module was loaded.
 * Out of process (no DllGetClassObject): how many times the class object was
 * asked for ISecureFactory since the server process started (COM may ask
 * several times for one client's request: the count grows, by at least one
 * per request); the side effect and a failure injected for
 * "DllGetClassObject" apply to each of these, and the file is created
 * beside TarnRefServer.exe. */
TARNREF_API ULONG __cdecl TarnRef_ClassObjectRequests(void);

/* ----- state ------------------------------------------------------------- */

/* Back to the state of a freshly loaded module: no registrations (their
 * client references are released), providers, queues, configured answers,
 * failures or record; all interfaces on; alive; reply size 16; no side
 * effect; no pull on trigger. Only TarnRef_ClassObjectRequests keeps
 * counting. Callback threads still running finish on their own. Releasing
 * a held client runs the client's code: reset before unloading its module. */
TARNREF_API void __cdecl TarnRef_Reset(void);

/* Makes the named operation return hr without doing anything (the call is
 * still recorded). Any non-zero hr is returned as it is, success codes too;
 * 0 clears the failure. */
TARNREF_API void __cdecl TarnRef_FailOperation(const wchar_t* operation, HRESULT hr);

/* The HRESULT the named operation returns after doing its work (default
 * S_OK), e.g. 3 for CheckCompliance, 1 for LOG_CreateLogRecord, S_FALSE for
 * ReportIncident. 0 restores S_OK. */
TARNREF_API void __cdecl TarnRef_SetResult(const wchar_t* operation, HRESULT hr);

/* ----- chosen answers ---------------------------------------------------- */

/* Policy content for (type, pac) / for a policy id: size raw bytes, zero
 * bytes included (size 0: an empty array). bytes may be null when size is 0. */
TARNREF_API void __cdecl TarnRef_SetPolicyContent(LONG policyType, LONG pac, const void* bytes, ULONG size);
TARNREF_API void __cdecl TarnRef_SetPolicyContentById(const GUID* policyId, const void* bytes, ULONG size);

/* PAC list answered by GetActivations: a VT_I4 vector with lower bound 0. */
TARNREF_API void __cdecl TarnRef_SetActivations(const LONG* pacs, ULONG count);
/* Any array instead (element type, dimensions and bounds as given; copied).
 * NULL: GetActivations succeeds and leaves its out-pointer null. */
TARNREF_API void __cdecl TarnRef_SetActivationsArray(SAFEARRAY* array);

/* Response table of SendBladeMessage: any array (copied), NULL for S_OK with
 * a null response. */
TARNREF_API void __cdecl TarnRef_SetBladeMessageResponse(SAFEARRAY* table);
/* A valid 3-by-rows VT_BSTR table; cells holds 3*rows texts row after row
 * (section, key, value); a null cell becomes an empty text. */
TARNREF_API void __cdecl TarnRef_SetBladeMessageResponseRows(const wchar_t* const* cells, ULONG rows);
/* Back to the default echo response. */
TARNREF_API void __cdecl TarnRef_SetBladeMessageEcho(void);

/* File name that DownloadFile writes; NULL leaves the caller's name as it is
 * (the default). */
TARNREF_API void __cdecl TarnRef_SetDownloadFileName(const wchar_t* fileName);

/* The two texts GetCaCertFingerPrint answers (null: empty text). */
TARNREF_API void __cdecl TarnRef_SetCaCertFingerPrint(const wchar_t* caCertFP, const wchar_t* caCertFPEng);

/* Switches an extra interface of the server object on or off; off, its
 * QueryInterface answers E_NOINTERFACE. Out of process, a client's proxy
 * remembers an interface it has once been given and answers a later query
 * for it itself: switching off then affects only objects whose proxy has not
 * asked for that interface yet (for example objects created afterwards). */
#define TARNREF_IFACE_KESTREL 1
#define TARNREF_IFACE_DOWNLOAD 2
#define TARNREF_IFACE_CERTIFICATE 3
TARNREF_API void __cdecl TarnRef_EnableInterface(int iface, BOOL enabled);

/* ----- life of the server ------------------------------------------------ */

/* dead = TRUE: every call on every server object (all four interfaces)
 * answers RPC_E_DISCONNECTED, IsAlive included (QueryInterface, AddRef and
 * Release keep working); the calls are still recorded; DllGetClassObject and the
 * factory answer CO_E_SERVER_EXEC_FAILURE. FALSE: the same objects answer
 * again, registrations kept (a passing outage). With the local server in
 * the class context, CoGetClassObject may report the class object's refusal
 * as REGDB_E_CLASSNOTREG. */
TARNREF_API void __cdecl TarnRef_SetDead(BOOL dead);
/* The server restarts: every object created so far stays disconnected for
 * good, registrations (client references released), providers and queues are
 * dropped, and new objects work. Clears a TarnRef_SetDead(TRUE). */
TARNREF_API void __cdecl TarnRef_Restart(void);

/* ----- what the server holds --------------------------------------------- */

TARNREF_API ULONG __cdecl TarnRef_LastCookie(void);        /* 0: none yet */
TARNREF_API ULONG __cdecl TarnRef_RegistrationCount(void); /* live registrations */
TARNREF_API BOOL __cdecl TarnRef_IsProviderRegistered(const GUID* bladeGuid);
TARNREF_API ULONG __cdecl TarnRef_PayloadPollCount(void); /* successful TriggerPayloadPoll calls */

/* When on, every successful TriggerPayloadPoll starts a PullData call to that
 * registration's client on a thread of the server (it does not wait for it);
 * TarnRef_LastPullCall gives its call id. */
TARNREF_API void __cdecl TarnRef_SetPullOnTrigger(BOOL enabled);
/* When on, every successful TriggerPayloadPoll makes that PullData call and
 * waits for it to return (at most 30 seconds) before it answers, as a real
 * server may. TarnRef_LastPullCall, TarnRef_WaitCall and
 * TarnRef_GetPulledPayload give its outcome. Either switch turned on
 * replaces the other; turned off, both are off. */
TARNREF_API void __cdecl TarnRef_SetSyncPullOnTrigger(BOOL enabled);
TARNREF_API ULONG __cdecl TarnRef_LastPullCall(void); /* 0: none */

/* ----- calls to the client ----------------------------------------------- */
/* Each function starts one call on a new thread in the multithreaded
 * apartment to the client registered under cookie (0: the most recent live
 * registration) and returns a call id, or 0 when there is no such client or
 * the thread cannot start. The thread holds its own reference to the client. */

TARNREF_API ULONG __cdecl TarnRef_CallPolicyArrival(ULONG cookie, const wchar_t* description);
TARNREF_API ULONG __cdecl TarnRef_CallOperationArrival(ULONG cookie, const GUID* opId, ULONG opType,
                                                       const wchar_t* content);
/* VT_I4 vector, lower bound 0. */
TARNREF_API ULONG __cdecl TarnRef_CallActivatePolicies(ULONG cookie, const LONG* pacs, ULONG count);
/* Any array (copied; NULL passes a null array). */
TARNREF_API ULONG __cdecl TarnRef_CallActivatePoliciesArray(ULONG cookie, SAFEARRAY* array);
/* bytes as a VT_UI1 vector, lower bound 0; a null type passes a null BSTR. */
TARNREF_API ULONG __cdecl TarnRef_CallPushData(ULONG cookie, const void* bytes, ULONG size, const wchar_t* payloadType);
/* Any array as payload (copied; NULL passes a null array). */
TARNREF_API ULONG __cdecl TarnRef_CallPushDataArray(ULONG cookie, SAFEARRAY* payload, const wchar_t* payloadType);
TARNREF_API ULONG __cdecl TarnRef_CallPullData(ULONG cookie);
/* QueryInterface on the client for IKestrel first; its failure is the call's
 * result. Null texts pass null BSTRs. */
TARNREF_API ULONG __cdecl TarnRef_CallReportIncident(ULONG cookie, const wchar_t* incidentId, ULONG incidentType,
                                                     const wchar_t* detail1, const wchar_t* detail2,
                                                     const wchar_t* detail3, LONG value1, ULONG value2, ULONG value3,
                                                     const wchar_t* detail4);

/* Waits up to timeoutMs for the call to return. TRUE when it has returned;
 * *result (may be null) then holds its HRESULT. FALSE on time-out or for an
 * unknown id. */
TARNREF_API BOOL __cdecl TarnRef_WaitCall(ULONG callId, DWORD timeoutMs, HRESULT* result);

/* What a finished PullData call received: TRUE when the client handed over a
 * payload array. type and data receive zero-terminated copies (cut to their
 * capacities; either may be null with capacity 0); data is the array's bytes
 * decoded from UTF-8 (up to the first zero byte). *elementType (may be null)
 * gets the array's VARTYPE; bytes of arrays other than one-dimensional VT_UI1
 * are not decoded (data stays empty). */
TARNREF_API BOOL __cdecl TarnRef_GetPulledPayload(ULONG callId, wchar_t* type, ULONG typeCapacity, wchar_t* data,
                                                  ULONG dataCapacity, VARTYPE* elementType);

/* ----- notification streams --------------------------------------------- */
/* One thread of the server makes count calls of one kind to the client
 * registered under cookie (0: the most recent live registration), one after
 * another (each waits for the previous one to return). Each call carries its
 * sequence number seq = 1..count, so that the receiver can check the order:
 *   TARNREF_STREAM_ACTIVATIONS  ActivatePolicies with the VT_I4 list {seq}
 *   TARNREF_STREAM_POLICIES     PolicyArrivalNotification with
 *       <policy type="60" pac="seq" id="5e0a11d5-7a72-4e00-8000-0000XXXXXXXX" modDate="seq"/>
 *       (XXXXXXXX: seq in 8 lower-case hex digits)
 *   TARNREF_STREAM_OPERATIONS   OperationArrivalNotification with opType seq,
 *       the same id as above and content "operation <seq>"
 *   TARNREF_STREAM_PUSHDATA     PushData with the UTF-8 bytes of "<seq>"
 *       (decimal) and payloadType (null: a null BSTR)
 *   TARNREF_STREAM_INCIDENTS    IKestrel::ReportIncident (queried once, first;
 *       its failure ends the stream) with incidentId "<seq>", incidentType 1,
 *       detail1 "stream", value2 seq, other texts empty, other numbers 0
 * Returns the stream's id (a call id: TarnRef_WaitCall gives its result, the
 * first failure of its calls or S_OK), 0 when there is no such client, the
 * kind is unknown or the thread cannot start. */
#define TARNREF_STREAM_ACTIVATIONS 1
#define TARNREF_STREAM_POLICIES 2
#define TARNREF_STREAM_OPERATIONS 3
#define TARNREF_STREAM_PUSHDATA 4
#define TARNREF_STREAM_INCIDENTS 5
TARNREF_API ULONG __cdecl TarnRef_StartStream(ULONG cookie, int kind, ULONG count, const wchar_t* payloadType);
/* Waits up to timeoutMs for the stream to finish; TRUE when it has. *made and
 * *failed (either may be null) get the number of calls made so far and how
 * many of them failed (also on time-out; 0 for an unknown id). */
TARNREF_API BOOL __cdecl TarnRef_WaitStream(ULONG streamId, DWORD timeoutMs, ULONG* made, ULONG* failed);

/* ----- call record ------------------------------------------------------- */

TARNREF_API ULONG __cdecl TarnRef_CallCount(void);
/* Copies line index (0 = oldest) without a newline into buffer, cut to
 * capacity-1 characters and zero-terminated. Returns the line's full length,
 * 0 when there is no such line. */
TARNREF_API ULONG __cdecl TarnRef_GetCallLine(ULONG index, wchar_t* buffer, ULONG capacity);
/* Copies all lines, each followed by '\n', the same way; returns the full
 * length in characters (without the terminator). */
TARNREF_API ULONG __cdecl TarnRef_GetCallRecord(wchar_t* buffer, ULONG capacity);
TARNREF_API void __cdecl TarnRef_ClearCallRecord(void);
/* Number of recorded calls of the named operation. */
TARNREF_API ULONG __cdecl TarnRef_CountCalls(const wchar_t* operation);
/* Waits until at least count calls of the operation are recorded; TRUE when
 * they are, FALSE after timeoutMs. */
TARNREF_API BOOL __cdecl TarnRef_WaitForCalls(const wchar_t* operation, ULONG count, DWORD timeoutMs);

/* ----- registration and the server process ------------------------------ */

/* In process: TarnRefServer.dll registers / unregisters itself
 * (InProcServer32, ThreadingModel "Both"; a LocalServer32 entry is removed).
 * Out of process: registers TarnProxy.dll (every interface's proxy) and
 * TarnRefServer.exe (the Tarn server class and the control class,
 * LocalServer32; an InProcServer32 entry is removed), both found beside
 * TarnRefClient.dll; unregistering removes both. S_OK or the failure. */
TARNREF_API HRESULT __cdecl TarnRef_RegisterServer(void);
TARNREF_API HRESULT __cdecl TarnRef_UnregisterServer(void);

/* The functions below exist only in TarnRefClient.dll (out of process).
 *
 * The server process ends by itself when its last client is gone (no server
 * object, class object, control object or call to a client left, after a
 * linger of a few hundred milliseconds), when every client process it has
 * seen has ended (also one that died holding objects), and when it was
 * started but never used for about 30 seconds. A call after the server
 * process ended connects to a fresh server (whose state is new). */

/* Starts TarnRefServer.exe (found beside TarnRefClient.dll) and waits up to
 * timeoutMs until it serves; returns its process id, 0 on failure. When a
 * server already runs, returns its id. */
TARNREF_API ULONG __cdecl TarnRef_StartServer(DWORD timeoutMs);
/* The running server's process id, 0 when none runs (starts none). */
TARNREF_API ULONG __cdecl TarnRef_ServerProcessId(void);
/* The server process exits now, by itself (its class objects revoked);
 * waits up to timeoutMs for it to end. TRUE once it has ended (also when
 * none ran). */
TARNREF_API BOOL __cdecl TarnRef_ExitServer(DWORD timeoutMs);
/* The server process exits in the middle of the next call of the named
 * operation (any operation name above, "PrepareCreate" and
 * "CreateForProcess" included), before it answers: the caller sees
 * 0x800706BE. NULL clears; TarnRef_Reset clears too. */
TARNREF_API void __cdecl TarnRef_ExitDuring(const wchar_t* operation);
/* Releases this program's hold on the server (its control object), so that
 * the server can end when its last client is gone. The next function that
 * needs the server connects again. */
TARNREF_API void __cdecl TarnRef_Disconnect(void);
/* Waits up to timeoutMs for the last server process this program knew of to
 * end by itself; TRUE once it has ended (also when none was known). */
TARNREF_API BOOL __cdecl TarnRef_WaitServerExit(DWORD timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* TARNREF_H */

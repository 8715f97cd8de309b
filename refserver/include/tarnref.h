/*
 * tarnref.h - control interface of the reference Tarn server
 * (TarnRefServer.dll).
 *
 * The reference server is an in-process COM server. A program that has
 * loaded it (through COM, or by linking TarnRefServer.lib, which is the same
 * module in the same process) steers it with these functions: it can make
 * operations fail, give chosen answers, switch interfaces off, let the
 * server "die" and come back, call the client's callback object from the
 * server's own threads, and read back every call the server received.
 *
 * The full set of functions is declared further down by the server itself;
 * the functions below are fixed because the secure creation's tests rely on
 * them.
 */
#ifndef TARNREF_H
#define TARNREF_H

#include <windows.h>

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

/* How many times DllGetClassObject was called since the module was loaded. */
TARNREF_API ULONG __cdecl TarnRef_ClassObjectRequests(void);

#ifdef __cplusplus
}
#endif

#endif /* TARNREF_H */

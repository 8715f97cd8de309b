/*
 * gantry.h - the start-up support module GANTRY.dll.
 *
 * GANTRY.dll exports one entry, by ordinal 1 only (no name): a resolver that
 * fills a versioned table of function pointers. Callers load the module by
 * its full path, resolve ordinal 1, ask for the table version they were built
 * against and check that every entry they use is present. A caller that
 * cannot get the table must treat everything the table would have checked as
 * refused (fail closed).
 *
 * The module links statically and imports only system DLLs.
 */
#ifndef GANTRY_H
#define GANTRY_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- IsPEFileValidExT: file validation ---------------------------------
 *
 * BOOL IsPEFileValidExT(const wchar_t* path, ULONG flags, ULONG machines)
 *
 * Opens the file for shared reading and checks that it is a well-formed PE
 * image that is not cut short:
 *   - "MZ" DOS header; e_lfanew inside the file and 4-byte aligned;
 *   - "PE\0\0" signature and the file header inside the file;
 *   - at least one section; SizeOfOptionalHeader covers the fixed part of the
 *     optional header, and the optional header and the section table lie
 *     inside the file;
 *   - an optional header of a known kind (PE32 0x10B or PE32+ 0x20B) that
 *     matches the machine's pointer size;
 *   - every section's raw data, the COFF symbol and string table and the
 *     certificate table lie inside the file (a truncated copy is refused).
 * EXE and DLL images are both accepted.
 *
 * flags (second argument) selects extra requirements; the secure creation
 * of the server passes 1:
 *   GANTRY_PE_REQUIRE_EXECUTABLE  (0x1) the file header must carry
 *       IMAGE_FILE_EXECUTABLE_IMAGE (the linker marks images it finished
 *       without errors; object files and failed links lack it).
 *   GANTRY_PE_REQUIRE_DLL         (0x2) the image must be a DLL.
 *   GANTRY_PE_REQUIRE_EXE         (0x4) the image must not be a DLL.
 * Any other bit makes the call refuse the file: a caller asking for a check
 * this module does not know must not get a silent "valid".
 *
 * machines (third argument) is the mask of accepted machine kinds; the
 * secure creation passes 9, the two kinds the suite ships (x86 and x64):
 *   GANTRY_PE_MACHINE_I386   (0x1) IMAGE_FILE_MACHINE_I386, PE32
 *   GANTRY_PE_MACHINE_ARMNT  (0x2) IMAGE_FILE_MACHINE_ARMNT, PE32
 *   GANTRY_PE_MACHINE_ARM64  (0x4) IMAGE_FILE_MACHINE_ARM64, PE32+
 *   GANTRY_PE_MACHINE_AMD64  (0x8) IMAGE_FILE_MACHINE_AMD64, PE32+
 * A mask of 0 or with unknown bits refuses every file.
 *
 * Returns TRUE only when every check passed; a null path, a directory, a
 * device, a missing or unreadable file gives FALSE.
 */
#define GANTRY_PE_REQUIRE_EXECUTABLE 0x1u
#define GANTRY_PE_REQUIRE_DLL 0x2u
#define GANTRY_PE_REQUIRE_EXE 0x4u
#define GANTRY_PE_KNOWN_FLAGS 0x7u

#define GANTRY_PE_MACHINE_I386 0x1u
#define GANTRY_PE_MACHINE_ARMNT 0x2u
#define GANTRY_PE_MACHINE_ARM64 0x4u
#define GANTRY_PE_MACHINE_AMD64 0x8u
#define GANTRY_PE_KNOWN_MACHINES 0xFu

typedef BOOL(WINAPI* GANTRY_IS_PE_FILE_VALID)(const wchar_t* path, ULONG flags, ULONG machines);

/* Fill the caller's SECURITY_ATTRIBUTES for the object in question. Both give
 * the creator's default security descriptor and handles that child processes
 * do not inherit. Return FALSE for a null pointer. */
typedef BOOL(WINAPI* GANTRY_GET_SECURITY_ATTRIBUTES)(SECURITY_ATTRIBUTES* attributes);

/* Thread procedure in the form of the C runtime's _beginthreadex. */
typedef unsigned(__stdcall* GANTRY_THREAD_PROC)(void* argument);

/* Starts proc(argument) on a new thread with the default stack size and the
 * given security attributes (may be null), names it (thread description, seen
 * by debuggers and crash dumps) and lets it run. The name is best effort: a
 * system without thread descriptions still gets the thread. Returns the
 * thread handle, which the caller closes, or null when no thread was started.
 * Only the caller's procedure runs on the thread: unloading GANTRY.dll while
 * it runs is safe. */
typedef HANDLE(WINAPI* GANTRY_START_NAMED_THREAD)(SECURITY_ATTRIBUTES* attributes, GANTRY_THREAD_PROC proc,
                                                  void* argument, const wchar_t* name);

/* ---- The table and the resolver (ordinal 1) ---------------------------- */

#define GANTRY_ENTRIES_VERSION_1 1u

typedef struct GANTRY_ENTRIES_V1 {
    ULONG size;    /* set by the resolver: sizeof(GANTRY_ENTRIES_V1) */
    ULONG version; /* set by the resolver: GANTRY_ENTRIES_VERSION_1 */
    GANTRY_IS_PE_FILE_VALID IsPEFileValidExT;
    GANTRY_GET_SECURITY_ATTRIBUTES GetMonitorEventAttributes;
    GANTRY_GET_SECURITY_ATTRIBUTES GetMonitorThreadAttributes;
    GANTRY_START_NAMED_THREAD StartNamedThread;
} GANTRY_ENTRIES_V1;

/* Ordinal 1. Fills entries (of entriesSize bytes) with the table of the
 * requested version. Returns FALSE, leaving entries untouched, for an unknown
 * version, a null table or a buffer smaller than that version's table. */
#define GANTRY_RESOLVER_ORDINAL 1
typedef BOOL(__cdecl* GANTRY_RESOLVE)(ULONG version, void* entries, ULONG entriesSize);

#ifdef __cplusplus
}
#endif

#endif /* GANTRY_H */

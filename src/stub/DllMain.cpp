#include <windows.h>

// The module lock and the log lock are created by static initialisation
// when the DLL is loaded; nothing else is set up here.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

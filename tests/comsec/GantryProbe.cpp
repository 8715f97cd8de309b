// A helper program for the fail-closed test: copied into a directory without
// GANTRY.dll, it shows what the secure creation does when the start-up
// support is missing. Argument: a class id. Exit code: bit 0 set when
// ValidateServerFile accepted the class's server, bit 1 set when
// SecureCreateInstance returned E_ABORT; 100 for a bad argument.
#include "comsec/SecureCreate.h"

#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
    CLSID clsid{};
    if (argc < 2 || FAILED(::CLSIDFromString(argv[1], &clsid))) return 100;
    win::MtaScope mta;
    int result = 0;
    if (comsec::ValidateServerFile(clsid)) result |= 1;
    win::ComPtr<ITarnServer> server;
    if (comsec::SecureCreateInstance(clsid, server, 0) == E_ABORT) result |= 2;
    return result;
}

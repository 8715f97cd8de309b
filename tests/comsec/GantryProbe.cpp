// A helper program for the fail-closed test: copied into a directory without
// GANTRY.dll, it shows what the secure creation does when the start-up
// support is missing. Argument: a class id. Exit code: bit 0 set when
// ValidateServerFile accepted the class's server, bit 1 set when
// SecureCreateInstance returned E_ABORT; 100 for a bad argument.
#include "comsec/SecureCreate.h"

int wmain(int argc, wchar_t** argv) {
    CLSID clsid{};
    if (argc < 2 || FAILED(::CLSIDFromString(argv[1], &clsid))) return 100;
    win::MtaScope mta;
    win::ComPtr<ITarnServer> server;
    return (comsec::ValidateServerFile(clsid) ? 1 : 0) |
           (comsec::SecureCreateInstance(clsid, server, 0) == E_ABORT ? 2 : 0);
}

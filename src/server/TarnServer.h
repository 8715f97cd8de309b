// Identifiers and interface declarations of the Tarn server.
//
// The Tarn server is the suite's local COM framework service. Its interfaces
// are described once, in TarnServer.idl; the declarations below come from it
// at build time (TarnServerIdl.h, with the identifiers in TarnServerIdl_i.c):
// ITARNClient, IKestrel, ITarnServer, ITarnDownload, ITarnCertificate,
// ISecureFactory, CLSID_TarnServer and the IID_* of each interface. The
// interfaces carry their identifiers for __uuidof (and so ComPtr::As).
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

#include "TarnServerIdl.h"

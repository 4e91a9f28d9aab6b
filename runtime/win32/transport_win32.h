// The download engine's wire on Windows: HTTP, HTTPS and FTP through WinINet.
//
// HTTP(S) hands back the server's own head; FTP has none, so the transport writes an HTTP-like one
// from what the server said to SIZE and REST, and the engine judges both the same way.
// Certificates are always checked: an HTTPS server the system does not trust fails to open.
#pragma once
#include <memory>

#include "runtime/transport.h"

namespace rt::win32 {

std::shared_ptr<Transport> MakeWinInetTransport();

}  // namespace rt::win32

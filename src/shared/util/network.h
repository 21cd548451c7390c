// Network helpers: the host's name and IPv4 address, and a TCP reachability check.
// GetMyFQDN and GetMyIP return process-wide buffers that the next call overwrites; use the text at
// once and do not call them from several threads at the same time.
#pragma once

#include "qzav/qz_export.h"

extern "C" {
QZ_API_BEGIN

// The host name as the system reports it (at most 2047 characters), or NULL with
// "Failed to get hostname" at ERROR.
char* qzhlp_GetMyFQDN(void);

// The first IPv4 address of the host name in dotted form, or NULL with "Failed to get hostname"
// or "Failed to get host by name" at ERROR.
char* qzhlp_GetMyIP(void);

// Checks that a TCP connection to host (dotted IPv4 or a name) and port (decimal text) opens
// within 3 seconds. 0 on success; -1 when the port is not a number or no socket can be made;
// -2 when the connection fails. On failure a one-line reason goes into message (1024 bytes)
// when it is not NULL.
int qzhlp_CheckConnect(const char* host, const char* port, char* message);
QZ_API_END
}

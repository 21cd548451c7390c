// The scan services an init handle needs, from the INITENGINES list ("mimescan;clamav"): their
// subject names "qz-av-<engine>", in order, the bit set of known services, and the ordering rule
// that the MIME scanner must run before the active-content checker.
#pragma once

#include <cstdint>

extern "C" {

// The serviceMask bit of a full service name ("qz-av-clamav"), compared exactly; 0 for others.
uint32_t vsalib_service_bit(const char* name);

// Builds the NULL-terminated list of service names (malloc'ed, release with
// vsalib_free_services) and their bits. 0; -1 with *services NULL, *mask 0 and the reason in
// message (VSALIB_MESSAGE_SIZE bytes): "Failed to determine needed services. Check INITENGINES
// parameter" (no name, or no known one), "Check services order", or an empty text when memory
// runs out. engines may be NULL (taken as empty).
int vsalib_determine_services(const char* engines, char*** services, uint32_t* mask, char* message);

// Releases a list built above; NULL is ignored.
void vsalib_free_services(char** services);
}

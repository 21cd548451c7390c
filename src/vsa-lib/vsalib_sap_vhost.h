// The SAP virtual host names of this application server, read from the SAP instance profiles:
// SAPLOCALHOST (the short name) and SAPFQDN (the domain) of DEFAULT.PFL, overridden by the
// instance profile "<SID>_<instance>_*" of the profile directory.
#pragma once

#include <cstddef>

extern "C" {

// *short_name and *long_name start NULL and receive malloc'ed texts when found; the long name is
// "<short>.<SAPFQDN>" and needs both. 0, or -1 when SAPSYSTEMNAME is unset or empty.
int get_sap_virtual_hostname(char** short_name, char** long_name);

// Reads one profile file (missing files are skipped) and replaces *short_name / *fqdn (malloc'ed)
// with the last SAPLOCALHOST / SAPFQDN found in it. 0, or -1 when a copy cannot be allocated.
int vsalib_read_sap_profile(const char* path, char** short_name, char** fqdn);

// The instance name from DIR_INSTANCE (its last path component), else from a current directory
// ".../<instance>/work", into buf (at most 63 characters). 0, or -1 when neither gives one.
int vsalib_sap_instance_name(char* buf, size_t size);
}

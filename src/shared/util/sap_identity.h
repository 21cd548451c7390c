// Where this installation lives and which SAP system it serves: the base directory derived from
// the path of the library that holds this code, and the SAP system identifier (or host name).
#pragma once

#include <cstddef>

extern "C" {

// Writes the base directory into basedir: the part of this module's path before a
// "/qz-av-vsa/" (found ignoring case), otherwise the module's own directory. 0, or -1 with a
// one-line reason in errbuf ("Could not determine module path to derive basedir") and basedir
// left empty.
int HlpEvaluateVSA_LIB(char* basedir, size_t basedir_size, char* errbuf, size_t errbuf_size);
// The base directory that a module at module_path yields, by the rule above. 0, or -1 when the
// path holds no '/' or the result does not fit (basedir is then empty).
int qz_basedir_from_module_path(const char* module_path, char* basedir, size_t basedir_size);
// SAPSYSTEMNAME into buf: 1. Failing that the host name: 0. Neither: buf zeroed, -1. The text
// is cut to len - 1 characters.
int HlpGetSID(char* buf, size_t len);
}

// TRACE dumps of the VSA result records, field by field, for diagnostics; no scan path calls
// them. Record numbers start at 0.
#pragma once

#include "qzav/qz_export.h"
#include "qzav/vsa_types.h"

extern "C" {
QZ_API_BEGIN

// The record with its three arrays (counts uiScanned, uiInfections, uiScanErrors). NULL prints
// nothing.
void trace_VSA_SCANINFO(const VSA_SCANINFO* scaninfo);
// count records; a NULL array or a count of 0 or less prints nothing.
void trace_VSA_CONTENTINFO(const VSA_CONTENTINFO* records, int count);
void trace_VSA_VIRUSINFO(const VSA_VIRUSINFO* records, int count);
void trace_VSA_SCANERROR(const VSA_SCANERROR* records, int count);
QZ_API_END
}

#include "scan/records_trace.h"

#include "log/log.h"

namespace {

constexpr const char* kRow =
    "============================================================================";

const char* text_or_null(const char* text) { return text != nullptr ? text : "(null)"; }

unsigned long long wide(uint64_t value) { return static_cast<unsigned long long>(value); }

}  // namespace

extern "C" {

void trace_VSA_CONTENTINFO(const VSA_CONTENTINFO* records, int count) {
    if (records == nullptr) return;
    for (int i = 0; i < count; ++i) {
        const VSA_CONTENTINFO& r = records[i];
        LOG_TRACE("%s", kRow);
        LOG_TRACE("VSA_CONTENTINFO #%d", i);
        LOG_TRACE("    struct_size: %llu", wide(r.struct_size));
        LOG_TRACE("    tObjectType: %d", r.tObjectType);
        LOG_TRACE("    pszExtension (pointer): %p", static_cast<void*>(r.pszExtension));
        LOG_TRACE("    pszExtension (value): %s", text_or_null(r.pszExtension));
        LOG_TRACE("    pszContentType: %s", text_or_null(r.pszContentType));
        LOG_TRACE("    pszCharSet: %s", text_or_null(r.pszCharSet));
        LOG_TRACE("    uiJobID: %u", r.uiJobID);
        LOG_TRACE("    pszObjectName: %s", text_or_null(r.pszObjectName));
        LOG_TRACE("    lObjectSize: %llu", wide(r.lObjectSize));
        LOG_TRACE("    match_so: %llu", wide(r.match_so));
        LOG_TRACE("    match_eo: %llu", wide(r.match_eo));
        LOG_TRACE("%s", kRow);
    }
}

void trace_VSA_VIRUSINFO(const VSA_VIRUSINFO* records, int count) {
    if (records == nullptr) return;
    for (int i = 0; i < count; ++i) {
        const VSA_VIRUSINFO& r = records[i];
        LOG_TRACE("%s", kRow);
        LOG_TRACE("VSA_VIRUSINFO #%d", i);
        LOG_TRACE("    struct_size: %llu", wide(r.struct_size));
        LOG_TRACE("    bRepairable: %d", r.bRepairable);
        LOG_TRACE("    tDetectType: %d", r.tDetectType);
        LOG_TRACE("    tVirusType: %d", r.tVirusType);
        LOG_TRACE("    tObjectType: %d", r.tObjectType);
        LOG_TRACE("    tActionType: %d", r.tActionType);
        LOG_TRACE("    uiVirusID: %u", r.uiVirusID);
        LOG_TRACE("    pszVirusName: %s", text_or_null(r.pszVirusName));
        LOG_TRACE("    uiJobID: %u", r.uiJobID);
        LOG_TRACE("    pszObjectName: %s", text_or_null(r.pszObjectName));
        LOG_TRACE("    lObjectSize: %llu", wide(r.lObjectSize));
        LOG_TRACE("    pszFreeTextInfo: %s", text_or_null(r.pszFreeTextInfo));
        LOG_TRACE("%s", kRow);
    }
}

void trace_VSA_SCANERROR(const VSA_SCANERROR* records, int count) {
    if (records == nullptr) return;
    for (int i = 0; i < count; ++i) {
        const VSA_SCANERROR& r = records[i];
        LOG_TRACE("%s", kRow);
        LOG_TRACE("    VSA_SCANERROR #%d", i);
        LOG_TRACE("    struct_size: %llu", wide(r.struct_size));
        LOG_TRACE("    uiJobID: %u", r.uiJobID);
        LOG_TRACE("    pszObjectName: %s", text_or_null(r.pszObjectName));
        LOG_TRACE("    lObjectSize: %llu", wide(r.lObjectSize));
        LOG_TRACE("    iErrorRC: %d", r.iErrorRC);
        LOG_TRACE("    pszErrorText: %s", text_or_null(r.pszErrorText));
        LOG_TRACE("%s", kRow);
    }
}

void trace_VSA_SCANINFO(const VSA_SCANINFO* scaninfo) {
    if (scaninfo == nullptr) return;
    LOG_TRACE("%s", kRow);
    LOG_TRACE("VSA_SCANINFO");
    LOG_TRACE("struct_size: %llu", wide(scaninfo->struct_size));
    LOG_TRACE("uiJobID: %u", scaninfo->uiJobID);
    LOG_TRACE("uiScanned: %u", scaninfo->uiScanned);
    LOG_TRACE("uiNotScanned: %u", scaninfo->uiNotScanned);
    LOG_TRACE("uiClean: %u", scaninfo->uiClean);
    LOG_TRACE("uiInfections: %u", scaninfo->uiInfections);
    LOG_TRACE("uiScanErrors: %u", scaninfo->uiScanErrors);
    trace_VSA_CONTENTINFO(scaninfo->pContentInfo, static_cast<int>(scaninfo->uiScanned));
    trace_VSA_VIRUSINFO(scaninfo->pVirusInfo, static_cast<int>(scaninfo->uiInfections));
    trace_VSA_SCANERROR(scaninfo->pScanError, static_cast<int>(scaninfo->uiScanErrors));
    LOG_TRACE("pbBytesCleaned: %p", static_cast<void*>(scaninfo->pbBytesCleaned));
    LOG_TRACE("lBytesCleaned: %llu", wide(scaninfo->lBytesCleaned));
    LOG_TRACE("pvReserved1: %p", scaninfo->pvReserved1);
    LOG_TRACE("%s", kRow);
}
}

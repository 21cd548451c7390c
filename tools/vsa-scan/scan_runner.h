// Scans the collected objects through one init handle on N threads, as SAP work processes share
// one handle, and prints each object's line as soon as its scan is released. Owns the worker
// threads (started and joined inside run_scans) and the progress line on stderr.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "adapter_library.h"
#include "options.h"
#include "scan_objects.h"

namespace vsascan {

struct RunSettings {
    ScanMode mode = ScanMode::kFile;
    uint32_t action = VSA_ACTION_SCAN;
    unsigned threads = 1;
    bool json = false;
    ProgressMode progress = ProgressMode::kAuto;
    std::string stdin_name = "stdin";
};

struct RunTally {
    size_t objects = 0;  // objects that got a line
    size_t clean = 0;
    size_t findings = 0;
    size_t errors = 0;   // objects with an error, and scan records VsaReleaseScan refused
    size_t skipped = 0;  // objects not started because `stop` was set
    double seconds = 0;  // from the first scan's start to the last release
};

// `init` is a live handle; `optional` may be null. Threads stop taking objects once `stop` is
// set; the scans already running finish and are released.
RunTally run_scans(const AdapterLibrary& adapter, VSA_INIT* init, VSA_OPTPARAMS* optional,
                   const std::vector<ScanObject>& objects, const RunSettings& settings,
                   const std::atomic<bool>& stop);

}  // namespace vsascan

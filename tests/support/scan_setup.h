// One scan as the service loop sees it, for the loop's tests: a parameter store with the "SCAN"
// settings, an init handle's runtime record with its service list, an encoded scan job over an
// in-memory payload and the consolidated result linked to its scan information record. Header
// only: it needs the implementation library's core (vsa_engine.h, the staged-payload registry),
// which only the tests that link qz_vsalib_core have.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "scan/scan_job.h"
#include "scan/scan_records.h"
#include "scan/scan_result.h"
#include "vsa_engine.h"
#include "vsalib_staged_registry.h"

namespace qztest {

class ScanSetup {
  public:
    ScanSetup() : store_(qz_config_new_list()) {
        scanparam_.struct_size = sizeof scanparam_;
        scanparam_.tActioncode = VSA_ACTION_SCAN;
        job_.scanparam = &scanparam_;
        job_.scan_config = qz_config_new_list();
        job_.event_id = strdup("7d1f0c52-1d2a-11ef-9c1b-0242ac120002");
        job_.object_name = "report.pdf";
        engine_.config = store_;
        engine_.realmID = const_cast<char*>("realm-7");
        engine_.SID = const_cast<char*>("PRD");
        engine_.FQDN = const_cast<char*>("host1.example.org");
        scaninfo_ = static_cast<VSA_SCANINFO*>(calloc(1, sizeof(VSA_SCANINFO)));
        scaninfo_->struct_size = QZ_SCANINFO_SIZE;
        result_ = qzvsalib_new_engine_scan_result();
        result_->scaninfo = scaninfo_;
        set_store("SCANTIMEOUT", "5000");
        set_payload(std::string("hello, world\n"));
        set_services({"qz-av-mimescan", "qz-av-dummy"});
    }
    ~ScanSetup() {
        // The registry entry goes before the record, as vsalib_VsaReleaseScan does it.
        if (scaninfo_ != nullptr) {
            vsalib_staged_release(connection_, scaninfo_);
            vsalib_FreeScanInfo(&scaninfo_);
        }
        qzvsalib_free_engine_scan_result(result_, 1);
        qz_scanjob_release(&job_);
        qz_config_free_list(store_);
    }
    ScanSetup(const ScanSetup&) = delete;
    ScanSetup& operator=(const ScanSetup&) = delete;

    // A parameter of section "SCAN" in the store (as the configuration files give it).
    void set_store(const char* key, const char* value) {
        ASSERT_EQ(StoreConfigParameter_String(store_, "SCAN", key, value, QZ_SOURCE_VSI_API), 0);
    }
    // A parameter of the per-scan configuration, which the job document carries.
    void set_job(const char* key, const char* value) {
        ASSERT_EQ(
            StoreConfigParameter_String(job_.scan_config, "SCAN", key, value, QZ_SOURCE_VSI_API),
            0);
    }
    void set_services(std::vector<std::string> names) {
        names_ = std::move(names);
        pointers_.clear();
        for (std::string& name : names_) pointers_.push_back(name.data());
        pointers_.push_back(nullptr);
        engine_.services = pointers_.data();
    }
    // The bytes to scan, in memory; an empty text gives an empty buffer.
    void set_payload(std::string bytes) {
        payload_ = std::move(bytes);
        job_.data = reinterpret_cast<uint8_t*>(payload_.data());
        job_.data_len = payload_.size();
        job_.shm_id = QZ_SHM_IN_MEMORY;
    }
    // An empty file: no bytes at all.
    void set_no_payload() {
        payload_.clear();
        job_.data = nullptr;
        job_.data_len = 0;
        job_.shm_id = QZ_SHM_NONE;
    }
    // Builds the job document; call after the settings above.
    void encode() {
        qz_scan_runtime runtime{};
        runtime.config = store_;
        runtime.realmID = engine_.realmID;
        runtime.SID = engine_.SID;
        runtime.FQDN = engine_.FQDN;
        runtime.services = engine_.services;
        char errbuf[QZ_SCAN_MESSAGE_SIZE] = "";
        ASSERT_EQ(qzvsalib_EncodeScanjobToJSON(&runtime, &job_, errbuf), 0) << errbuf;
    }
    // Connection used to delete staged payloads at teardown (NULL: registry entry only).
    void set_connection(qz_connection_config* connection) { connection_ = connection; }

    VSA_ENGINE* engine() { return &engine_; }
    qz_scanjob* job() { return &job_; }
    qz_scan_result* result() { return result_; }
    VSA_SCANINFO* scaninfo() { return scaninfo_; }
    VSA_SCANINFO** scaninfo_place() { return &scaninfo_; }
    const std::string& payload() const { return payload_; }
    list_t* store() { return store_; }

  private:
    list_t* store_;
    VSA_ENGINE engine_{};
    VSA_SCANPARAM scanparam_{};
    qz_scanjob job_{};
    VSA_SCANINFO* scaninfo_ = nullptr;
    qz_scan_result* result_ = nullptr;
    qz_connection_config* connection_ = nullptr;
    std::string payload_;
    std::vector<std::string> names_;
    std::vector<char*> pointers_;
};

}  // namespace qztest

// VsaGetConfig's description of the adapter and its parameters, and its release.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/vsa_host.h"
#include "vsa/vsa_internal_functions.h"

namespace {

using qztest::InitParams;
using qztest::VsaHost;
using qztest::VsaHostOptions;

intptr_t number_of(const VSA_OPTPARAM& p) { return reinterpret_cast<intptr_t>(p.pvValue); }

struct InitEntry {
    uint32_t code;
    uint32_t type;
    std::string text;  // for VSA_TYPE_STRING; "<null>" for no value
    intptr_t number;   // for VSA_TYPE_TIMEOUT
};

void expect_init_entries(const VSA_CONFIG* config, const InitEntry (&expected)[8]) {
    ASSERT_NE(config->pInitParams, nullptr);
    ASSERT_EQ(config->pInitParams->usCount, 8);
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const VSA_INITPARAM& p = config->pInitParams->pParams[i];
        const InitEntry& e = expected[i];
        EXPECT_EQ(p.struct_size, 32u);
        EXPECT_EQ(p.tCode, e.code);
        EXPECT_EQ(p.tType, e.type);
        if (e.type == VSA_TYPE_TIMEOUT) {
            EXPECT_EQ(p.lLength, 4u);
            EXPECT_EQ(number_of(p), e.number);
        } else if (e.text == "<null>") {
            EXPECT_EQ(p.lLength, 0u);
            EXPECT_EQ(p.pvValue, nullptr);
        } else {
            ASSERT_NE(p.pvValue, nullptr);
            EXPECT_STREQ(static_cast<const char*>(p.pvValue), e.text.c_str());
            EXPECT_EQ(p.lLength, e.text.size());
        }
    }
}

TEST(VsaConfigDescription, RightAfterStartup) {
    VsaHost host(qztest::built_vsa_libraries());
    ASSERT_EQ(host.startup(), VSA_OK);
    VSA_CONFIG* config = nullptr;
    ASSERT_EQ(host.get_config(&config), VSA_OK);
    ASSERT_NE(config, nullptr);

    EXPECT_EQ(config->struct_size, 64u);
    EXPECT_EQ(config->uiFlags1, 6u);
    EXPECT_EQ(config->uiFlags2, 27u);
    EXPECT_EQ(config->lReserved1, 0u);
    EXPECT_EQ(config->lReserved2, 0u);
    EXPECT_EQ(config->lReserved3, 0u);

    const VSA_ADAPTERINFO* info = config->pAdapterInfo;
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->struct_size, 56u);
    EXPECT_EQ(info->lAdapterKind, 5u);
    EXPECT_EQ(info->usInterfaceVersion, 2);
    EXPECT_EQ(info->usMajorVersion, 4);
    EXPECT_EQ(info->usMinorVersion, 0);
    EXPECT_STREQ(info->pszVendor, "vendrix Software GmbH");
    EXPECT_STREQ(info->pszVersionText, "Anti-Virus for SAP Solutions, wrapper v.4.0.5 Build 139");
    EXPECT_EQ(info->pvReserved1, nullptr);
    EXPECT_EQ(info->pvReserved2, nullptr);

    const InitEntry kInit[8] = {
        {VSA_INITDRIVERS, VSA_TYPE_STRING, "<null>", 0},
        {VSA_INITEXTRADRIVERS, VSA_TYPE_STRING, "<null>", 0},
        {VSA_INITENGINES, VSA_TYPE_STRING, "DUMMY", 0},
        {VSA_INITSERVERS, VSA_TYPE_STRING, "", 0},
        {VSA_INITDIRECTORY, VSA_TYPE_STRING, "", 0},
        {VSA_INITEXTRADRIVERDIRECTORY, VSA_TYPE_STRING, "", 0},
        {VSA_INITTEMP_PATH, VSA_TYPE_STRING, "/tmp", 0},
        {VSA_INITTIMEOUT, VSA_TYPE_TIMEOUT, "", 60},
    };
    expect_init_entries(config, kInit);

    struct OptEntry {
        uint32_t code, type;
        size_t length;
        intptr_t value;
    };
    const OptEntry kOptional[] = {
        {100, 0, 0, 1}, {101, 0, 0, 1}, {108, 0, 0, 1}, {112, 3, 4, 20}, {113, 3, 4, 0},
        {110, 9, 8, 0}, {114, 7, 0, 0}, {300, 7, 0, 0}, {118, 7, 0, 0},  {301, 7, 0, 0},
        {104, 7, 0, 0}, {202, 7, 0, 0}, {103, 0, 4, 1},
    };
    ASSERT_NE(config->pOptParams, nullptr);
    ASSERT_EQ(config->pOptParams->usCount, 13);
    for (int i = 0; i < 13; ++i) {
        SCOPED_TRACE(i);
        const VSA_OPTPARAM& p = config->pOptParams->pParams[i];
        EXPECT_EQ(p.struct_size, 32u);
        EXPECT_EQ(p.tCode, kOptional[i].code);
        EXPECT_EQ(p.tType, kOptional[i].type);
        EXPECT_EQ(p.lLength, kOptional[i].length);
        EXPECT_EQ(number_of(p), kOptional[i].value);
    }
    EXPECT_TRUE(
        host.traced(QZ_LOG_DEBUG, "VsaGetConfig", "allocated memory for 8 VSA_INITPARAM structs"));
    EXPECT_TRUE(host.traced(QZ_LOG_TRACE, "VsaGetConfig", "rc=0 (vsa-wrapper/src/VsaGetConfig:"));

    // The adapter's own release (no implementation is loaded).
    EXPECT_EQ(host.end(nullptr, &config), VSA_OK);
    EXPECT_EQ(config, nullptr);
}

TEST(VsaConfigDescription, ReportsFileAndHostValues) {
    VsaHostOptions options;
    options.config =
        "[INIT]\nINITENGINES = MIMESCAN;DUMMY\nINITEXTRADRIVERDIRECTORY = /opt/drivers\n"
        "INITTIMEOUT = ninety\n";
    VsaHost host(qztest::built_vsa_libraries(), options);
    ASSERT_EQ(host.startup(), VSA_OK);
    VSA_CONFIG* config = nullptr;
    ASSERT_EQ(host.get_config(&config), VSA_OK);
    std::string base = std::filesystem::canonical(host.base()).string();
    {
        const InitEntry kInit[8] = {
            {VSA_INITDRIVERS, VSA_TYPE_STRING, "<null>", 0},
            {VSA_INITEXTRADRIVERS, VSA_TYPE_STRING, "<null>", 0},
            {VSA_INITENGINES, VSA_TYPE_STRING, "MIMESCAN;DUMMY", 0},
            {VSA_INITSERVERS, VSA_TYPE_STRING, "", 0},
            {VSA_INITDIRECTORY, VSA_TYPE_STRING, "", 0},
            {VSA_INITEXTRADRIVERDIRECTORY, VSA_TYPE_STRING, "/opt/drivers", 0},
            {VSA_INITTEMP_PATH, VSA_TYPE_STRING, "/tmp", 0},
            {VSA_INITTIMEOUT, VSA_TYPE_TIMEOUT, "", -1},  // not a number
        };
        expect_init_entries(config, kInit);
    }

    InitParams params;
    params.text(VSA_INITDRIVERS, "nats://127.0.0.1:4222")
        .text(VSA_INITDIRECTORY, host.base())
        .text(VSA_INITSERVERS, "10.0.0.1")
        .number(VSA_INITTIMEOUT, 30);
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(host.init(nullptr, params.get(), &handle), VSA_OK);
    VSA_CONFIG* after_init = nullptr;
    ASSERT_EQ(host.get_config(&after_init), VSA_OK);
    {
        const InitEntry kInit[8] = {
            {VSA_INITDRIVERS, VSA_TYPE_STRING, "<null>", 0},
            {VSA_INITEXTRADRIVERS, VSA_TYPE_STRING, "<null>", 0},
            {VSA_INITENGINES, VSA_TYPE_STRING, "MIMESCAN;DUMMY", 0},
            {VSA_INITSERVERS, VSA_TYPE_STRING, "10.0.0.1", 0},
            {VSA_INITDIRECTORY, VSA_TYPE_STRING, base, 0},
            {VSA_INITEXTRADRIVERDIRECTORY, VSA_TYPE_STRING, "/opt/drivers", 0},
            {VSA_INITTEMP_PATH, VSA_TYPE_STRING, "/tmp", 0},
            {VSA_INITTIMEOUT, VSA_TYPE_TIMEOUT, "", 30},
        };
        expect_init_entries(after_init, kInit);
    }
    // The implementation releases a description handed back with the handle.
    EXPECT_EQ(host.end(&handle, &after_init), VSA_OK);
    EXPECT_EQ(after_init, nullptr);
    EXPECT_NE(host.calls().find("end pp_init="), std::string::npos);
    EXPECT_EQ(host.end(nullptr, &config), VSA_OK);
}

TEST(VsaConfigDescription, NullPlaceIsRefused) {
    VsaHost host(qztest::built_vsa_libraries());
    ASSERT_EQ(host.startup(), VSA_OK);
    EXPECT_EQ(host.get_config(nullptr), VSA_E_NULL_PARAM);
    EXPECT_TRUE(host.traced(QZ_LOG_ERROR, "VsaGetConfig", "parameter pp_config is NULL"));
}

TEST(VsaConfigDescription, ReleaseLeavesNothingAndIgnoresNothing) {
    VsaHost host(qztest::built_vsa_libraries());
    ASSERT_EQ(host.startup(), VSA_OK);
    VSA_CONFIG* config = nullptr;
    ASSERT_EQ(host.get_config(&config), VSA_OK);
    // The shared release function of this binary frees what the adapter built: both use the C
    // heap and the same record layout.
    VsaFreeVSA_CONFIG(&config);
    EXPECT_EQ(config, nullptr);
    VsaFreeVSA_CONFIG(&config);
    VsaFreeVSA_CONFIG(nullptr);

    // A partly built record (a list without its array, no description) is released as far as
    // it goes.
    auto* partial = static_cast<VSA_CONFIG*>(calloc(1, sizeof(VSA_CONFIG)));
    partial->pInitParams = static_cast<VSA_INITPARAMS*>(calloc(1, sizeof(VSA_INITPARAMS)));
    VsaFreeVSA_CONFIG(&partial);
    EXPECT_EQ(partial, nullptr);
}

}  // namespace

#include "util/sap_identity.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Restores SAPSYSTEMNAME as it was before the test.
class SidEnvironment {
  public:
    SidEnvironment() {
        if (const char* v = getenv("SAPSYSTEMNAME")) {
            saved_ = v;
            had_ = true;
        }
    }
    ~SidEnvironment() {
        if (had_)
            setenv("SAPSYSTEMNAME", saved_.c_str(), 1);
        else
            unsetenv("SAPSYSTEMNAME");
    }

  private:
    std::string saved_;
    bool had_ = false;
};

TEST(BaseDirectory, DerivedFromTheModulePath) {
    struct Case {
        const char* module;
        int rc;
        const char* basedir;
    };
    const Case kCases[] = {
        {"/inst/QZ-AV-VSA/latest/lib/libqzvsa.so", 0, "/inst"},
        {"/inst/qz-av-vsa/latest/lib/libqzvsa.so", 0, "/inst"},
        {"/other/libqzAV.so", 0, "/other"},
        {"/a/qz-av-vsa-old/lib/libqzAV.so", 0, "/a/qz-av-vsa-old/lib"},
        {"/qz-av-vsa/latest/lib/libqzvsa.so", 0, ""},
        {"/libqzAV.so", 0, ""},
        {"libqzAV.so", -1, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.module);
        char basedir[64] = "junk";
        EXPECT_EQ(qz_basedir_from_module_path(c.module, basedir, sizeof basedir), c.rc);
        EXPECT_STREQ(basedir, c.basedir);
    }
    char small[6] = "junk";
    EXPECT_EQ(qz_basedir_from_module_path("/other/libqzAV.so", small, sizeof small), -1);
    EXPECT_STREQ(small, "");
    char fits[7];
    EXPECT_EQ(qz_basedir_from_module_path("/other/libqzAV.so", fits, sizeof fits), 0);
    EXPECT_STREQ(fits, "/other");
    EXPECT_EQ(qz_basedir_from_module_path(nullptr, fits, sizeof fits), -1);
}

TEST(BaseDirectory, OfThisTestProgram) {
    char exe[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", exe), nullptr);
    std::string path = exe;
    // The checkout may itself lie below a directory named like the installation.
    std::string expected;
    if (const char* marker = strcasestr(exe, "/qz-av-vsa/"))
        expected.assign(exe, static_cast<size_t>(marker - exe));
    else
        expected = path.substr(0, path.rfind('/'));

    char basedir[4096] = "junk";
    char message[1024] = "";
    EXPECT_EQ(HlpEvaluateVSA_LIB(basedir, sizeof basedir, message, sizeof message), 0);
    EXPECT_EQ(basedir, expected);
    EXPECT_STREQ(message, "");

    char tiny[2];
    EXPECT_EQ(HlpEvaluateVSA_LIB(tiny, sizeof tiny, message, sizeof message), -1);
    EXPECT_STREQ(tiny, "");
    EXPECT_NE(message[0], '\0');
    EXPECT_EQ(HlpEvaluateVSA_LIB(nullptr, 10, message, sizeof message), -1);
}

TEST(SystemIdentifier, SapSystemNameWinsOverTheHostName) {
    SidEnvironment restore;
    char buf[64];
    setenv("SAPSYSTEMNAME", "PRD", 1);
    EXPECT_EQ(HlpGetSID(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "PRD");

    setenv("SAPSYSTEMNAME", "LONGNAME", 1);
    char small[5];
    EXPECT_EQ(HlpGetSID(small, sizeof small), 1);
    EXPECT_STREQ(small, "LONG");

    unsetenv("SAPSYSTEMNAME");
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    EXPECT_EQ(HlpGetSID(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), std::string(host).substr(0, sizeof buf - 1));

    EXPECT_EQ(HlpGetSID(nullptr, 10), -1);
    EXPECT_EQ(HlpGetSID(buf, 0), -1);
}

}  // namespace

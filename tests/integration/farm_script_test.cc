// scripts/farm.sh against this build: start brings up a provisioned broker and the control
// service with the shipped sample configuration, which answers; status shows it; stop ends
// every started process by PID; a failed start leaves nothing running. With --gateway the HTTPS
// gateway comes up last with its own certificate, which clients can verify as their CA file.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "connection/nats_handles.h"
#include "support/nats_test_helpers.h"
#include "support/temp_dir.h"

namespace {

struct RunResult {
    int rc = -1;
    std::string output;
};

std::string build_dir() {
    std::string bin = QZ_BIN_DIR;
    return bin.substr(0, bin.rfind('/'));
}

RunResult farm(const std::string& args) {
    const std::string command =
        "QZ_BUILD_DIR='" + build_dir() + "' '" + QZ_FARM_SCRIPT + "' " + args + " 2>&1";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// A process that exists and has not exited (an unreaped orphan counts as gone).
bool running(pid_t pid) {
    const std::string stat = qztest::read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Every "(pid N)" the script printed.
std::set<pid_t> pids_in(const std::string& output) {
    std::set<pid_t> pids;
    static const std::regex kPid(R"(\(pid (\d+)\))");
    for (std::sregex_iterator it(output.begin(), output.end(), kPid), end; it != end; ++it) {
        pids.insert(static_cast<pid_t>(std::stol((*it)[1].str())));
    }
    return pids;
}

std::string env_value(const std::string& env, const std::string& name) {
    std::smatch match;
    const std::regex line("(^|\n)" + name + "=([^\n]*)");
    return std::regex_search(env, match, line) ? match[2].str() : "";
}

// One request through the gateway as the library's HTTP client sends it: a multipart POST with
// Basic credentials, the certificate and host name checked against ca_file. Returns the HTTP
// status (0 when the exchange failed) and the body.
std::pair<long, std::string> gateway_ping(const std::string& url, const std::string& ca_file,
                                          const std::string& user, const std::string& password) {
    std::pair<long, std::string> answer{0, ""};
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return answer;
    curl_mime* form = curl_mime_init(curl);
    curl_mimepart* part = curl_mime_addpart(form);
    curl_mime_name(part, "request");
    curl_mime_type(part, "application/json");
    curl_mime_data(part, R"({"Command":3})", CURL_ZERO_TERMINATED);
    curl_slist* headers = curl_slist_append(nullptr, "X-Target-Service: qz-av-control");
    const std::string endpoint = url + "/vsi";
    curl_easy_setopt(curl, CURLOPT_URL, endpoint.c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, form);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.second);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                     +[](char* data, size_t size, size_t count, void* body) -> size_t {
                         static_cast<std::string*>(body)->append(data, size * count);
                         return size * count;
                     });
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.first);
    }
    curl_slist_free_all(headers);
    curl_mime_free(form);
    curl_easy_cleanup(curl);
    return answer;
}

class FarmScript : public ::testing::Test {
  protected:
    void TearDown() override {
        // Whatever a failed assertion left behind goes, by the PIDs the script printed.
        farm("stop --run-dir '" + dir_.path() + "'");
        for (pid_t pid : started_) {
            if (running(pid)) kill(pid, SIGKILL);
        }
    }

    RunResult start(const std::string& extra = "") {
        RunResult result = farm("start --run-dir '" + dir_.path() + "' " + extra);
        for (pid_t pid : pids_in(result.output)) started_.insert(pid);
        return result;
    }

    qztest::TempDir dir_;
    std::set<pid_t> started_;
};

TEST_F(FarmScript, StartStatusStop) {
    RunResult started = start();
    ASSERT_EQ(started.rc, 0) << started.output;
    const std::string env = qztest::read_file(dir_.file("farm.env"));
    const std::string url = env_value(env, "QZ_FARM_URL");
    ASSERT_EQ(url.rfind("nats://127.0.0.1:", 0), 0u) << env;
    const pid_t broker = std::stoi(env_value(env, "QZ_FARM_PID_NATS_SERVER"));
    const pid_t control = std::stoi(env_value(env, "QZ_FARM_PID_QZ_AV_CONTROL"));
    EXPECT_TRUE(running(broker));
    EXPECT_TRUE(running(control));

    RunResult status = farm("status --run-dir '" + dir_.path() + "'");
    EXPECT_EQ(status.rc, 0) << status.output;
    EXPECT_NE(status.output.find(url), std::string::npos) << status.output;
    EXPECT_NE(status.output.find("qz-av-control"), std::string::npos) << status.output;

    // A second farm in the same run directory is refused while this one runs.
    RunResult again = start();
    EXPECT_EQ(again.rc, 2) << again.output;
    EXPECT_NE(again.output.find("already running"), std::string::npos) << again.output;

    // The control service answers with the sample configuration and finds itself registered.
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, url.c_str()), NATS_OK);
    qz::nats::ConnectionPtr nc(raw);
    const std::string request = R"({"Command":6,"realmID":"r","Services":["qz-av-control"]})";
    natsMsg* raw_reply = nullptr;
    ASSERT_EQ(natsConnection_Request(&raw_reply, nc.get(), "qz-av-control", request.data(),
                                     static_cast<int>(request.size()), 5000),
              NATS_OK);
    qz::nats::MsgPtr reply_msg(raw_reply);
    auto reply = qztest::parse(std::string(natsMsg_GetData(raw_reply),
                                           static_cast<size_t>(natsMsg_GetDataLength(raw_reply))));
    ASSERT_TRUE(reply);
    EXPECT_EQ(qztest::member(reply.get(), "tenantID"), "example-tenant");
    json_object* services = nullptr;
    json_object* info = nullptr;
    json_object* present = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(reply.get(), "Services", &services));
    ASSERT_TRUE(
        json_object_object_get_ex(json_object_array_get_idx(services, 0), "Driverinfo", &info));
    ASSERT_TRUE(json_object_object_get_ex(info, "Present", &present));
    EXPECT_TRUE(json_object_get_boolean(present)) << json_object_to_json_string(reply.get());
    nc.reset();

    RunResult stopped = farm("stop --run-dir '" + dir_.path() + "'");
    EXPECT_EQ(stopped.rc, 0) << stopped.output;
    EXPECT_FALSE(running(control));
    EXPECT_FALSE(running(broker));
    for (pid_t pid : started_) EXPECT_FALSE(running(pid)) << pid;

    RunResult after = farm("status --run-dir '" + dir_.path() + "'");
    EXPECT_EQ(after.rc, 3) << after.output;
}

TEST_F(FarmScript, GatewayStartsLastAndStopsFirst) {
    RunResult started = start("--gateway");
    ASSERT_EQ(started.rc, 0) << started.output;
    const std::string env = qztest::read_file(dir_.file("farm.env"));
    const std::string url = env_value(env, "QZ_FARM_GATEWAY_URL");
    const std::string cert = env_value(env, "QZ_FARM_GATEWAY_CERT");
    const std::string user = env_value(env, "QZ_FARM_GATEWAY_USER");
    const std::string password = env_value(env, "QZ_FARM_GATEWAY_PASSWORD");
    ASSERT_EQ(url.rfind("https://127.0.0.1:", 0), 0u) << env;
    EXPECT_EQ(cert, dir_.file("gateway.pem"));
    ASSERT_FALSE(user.empty()) << env;
    const pid_t gateway = std::stoi(env_value(env, "QZ_FARM_PID_QZ_AV_GATEWAY"));
    EXPECT_TRUE(running(gateway));
    EXPECT_NE(farm("status --run-dir '" + dir_.path() + "'").output.find(url), std::string::npos);

    // The certificate holds for 127.0.0.1 with verification on, the credentials are the ones
    // recorded, and the gateway reaches the control service on the farm's broker.
    const auto ping = gateway_ping(url, cert, user, password);
    EXPECT_EQ(ping.first, 200) << ping.second;
    EXPECT_EQ(ping.second, R"({"ReturnCode":0})");
    EXPECT_EQ(gateway_ping(url, cert, user, password + "x").first, 401);

    RunResult stopped = farm("stop --run-dir '" + dir_.path() + "'");
    EXPECT_EQ(stopped.rc, 0) << stopped.output;
    // Stopped in the reverse start order: the gateway before the services it forwards to.
    EXPECT_LT(stopped.output.find("stopped qz-av-gateway"),
              stopped.output.find("stopped qz-av-control"))
        << stopped.output;
    for (pid_t pid : started_) EXPECT_FALSE(running(pid)) << pid;
}

TEST_F(FarmScript, FailedStartLeavesNothingRunning) {
    qztest::write_file(dir_.file("broken.cfg"), "[CONTROL]\nTENANT = x\n");
    RunResult started = start("--config '" + dir_.file("broken.cfg") + "'");
    EXPECT_EQ(started.rc, 1) << started.output;
    EXPECT_NE(started.output.find("unknown key TENANT"), std::string::npos) << started.output;
    EXPECT_GE(started_.size(), 2u) << started.output;  // the broker and the control service
    for (pid_t pid : started_) EXPECT_FALSE(running(pid)) << pid;
    EXPECT_NE(farm("status --run-dir '" + dir_.path() + "'").rc, 0);
}

}  // namespace

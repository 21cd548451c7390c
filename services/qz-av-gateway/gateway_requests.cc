#include "gateway_requests.h"

#include <json-c/json.h>
#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "connection/nats_handles.h"
#include "log/log.h"

namespace qz::gateway_service {
namespace {

using qz::nats::JsonPtr;

constexpr size_t kErrbufSize = 1024;
constexpr size_t kMaxSubjectLength = 255;
constexpr char kJsonType[] = "application/json";
constexpr int kJsonFlags = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE;
constexpr char kRealmHeader[] = "Basic realm=\"qz-av-gateway\", charset=\"UTF-8\"";

struct RequestReplyDeleter {
    void operator()(qz_request_reply* pair) const { qz_const_request_reply_free_structs(pair); }
};
using RequestReplyPtr = std::unique_ptr<qz_request_reply, RequestReplyDeleter>;

// Equal length and equal bytes, looking at every byte whatever the first difference.
bool same_secret(const std::string& given, const std::string& expected) {
    if (expected.empty()) return false;
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    }
    return difference == 0;
}

// Reads and drops the body of a request that is refused, so that the client, still sending,
// gets to read the answer instead of a reset connection. The server's body limit bounds it.
void discard_body(const httplib::Request& request, const httplib::ContentReader& reader) {
    const auto drop = [](const char*, size_t) { return true; };
    if (request.is_multipart_form_data()) {
        reader([](const httplib::MultipartFormData&) { return true; }, drop);
    } else {
        reader(drop);
    }
}

// The parts the gateway takes out of the form.
struct Form {
    std::string json;
    std::string payload;
    int request_parts = 0;
    int payload_parts = 0;
};

bool read_form(const httplib::Request& request, const httplib::ContentReader& reader,
               size_t max_body, Form* form) {
    std::string* target = nullptr;
    // The object dominates the body: room for all of it at once, so that the buffer never
    // doubles its way up (which would briefly need twice the object's size).
    const uint64_t announced = request.get_header_value<uint64_t>("Content-Length");
    const size_t room = static_cast<size_t>(std::min<uint64_t>(announced, max_body));
    return reader(
        [&](const httplib::MultipartFormData& part) {
            if (part.name == "request") {
                ++form->request_parts;
                target = &form->json;
            } else if (part.name == "payload") {
                ++form->payload_parts;
                target = &form->payload;
                target->reserve(room);
            } else {
                target = nullptr;  // parts of a later version are skipped
            }
            if (target != nullptr) target->clear();
            return true;
        },
        [&](const char* data, size_t length) {
            if (target != nullptr) target->append(data, length);
            return true;
        });
}

// The whole text as one JSON object (blanks may follow it), or null.
JsonPtr parse_object(const std::string& text) {
    std::unique_ptr<json_tokener, decltype(&json_tokener_free)> tokener(json_tokener_new(),
                                                                        &json_tokener_free);
    if (!tokener || text.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
    JsonPtr object(
        json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size())));
    if (!object || json_tokener_get_error(tokener.get()) != json_tokener_success ||
        !json_object_is_type(object.get(), json_type_object)) {
        return nullptr;
    }
    const size_t end = json_tokener_get_parse_end(tokener.get());
    if (text.find_first_not_of(" \t\r\n", end) != std::string::npos) return nullptr;
    return object;
}

void answer(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    response.set_content(body, kJsonType);
}

}  // namespace

bool credentials_match(const std::string& authorization, const std::string& user,
                       const std::string& password) {
    constexpr size_t kSchemeLength = 6;  // "Basic "
    if (authorization.size() <= kSchemeLength ||
        strncasecmp(authorization.c_str(), "Basic ", kSchemeLength) != 0) {
        return false;
    }
    const std::string encoded = authorization.substr(kSchemeLength);
    if (encoded.size() % 4 != 0 || encoded.size() > 4096) return false;
    std::string decoded(encoded.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                       reinterpret_cast<const unsigned char*>(encoded.data()),
                                       static_cast<int>(encoded.size()));
    // The block decoder counts the bytes that padding stands for as well.
    size_t padding = 0;
    if (encoded.size() >= 1 && encoded[encoded.size() - 1] == '=') ++padding;
    if (encoded.size() >= 2 && encoded[encoded.size() - 2] == '=') ++padding;
    if (length < 0 || static_cast<size_t>(length) < padding) return false;
    decoded.resize(static_cast<size_t>(length) - padding);
    return same_secret(decoded, user + ":" + password);
}

bool usable_subject(const std::string& subject) {
    if (subject.empty() || subject.size() > kMaxSubjectLength) return false;
    if (subject.front() == '.' || subject.back() == '.' ||
        subject.find("..") != std::string::npos || subject.rfind("_INBOX.", 0) == 0) {
        return false;
    }
    return std::all_of(subject.begin(), subject.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.';
    });
}

int status_for_broker_failure(const char* reason) {
    return reason != nullptr && strstr(reason, "timed out") != nullptr ? 504 : 502;
}

std::string error_body(const std::string& text) {
    JsonPtr body(json_object_new_object());
    json_object_object_add(body.get(), "ReturnCode", json_object_new_int(-1));
    json_object_object_add(body.get(), "Error", json_object_new_string(text.c_str()));
    return json_object_to_json_string_ext(body.get(), kJsonFlags);
}

void RequestHandler::serve(const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) const {
    const auto started = std::chrono::steady_clock::now();
    const std::string service = request.get_header_value("X-Target-Service");
    // The header is the client's text: only a valid subject goes into the trace as it is.
    const char* shown = usable_subject(service) ? service.c_str() : "(not a subject)";
    const std::string& from = request.remote_addr;
    bool body_read = false;
    auto refuse = [&](int status, const std::string& why) {
        if (!body_read) discard_body(request, reader);
        LOG_WARN("gateway: %s from %s for service '%s' refused with %d: %s", request.path.c_str(),
                 from.c_str(), shown, status, why.c_str());
        answer(response, status, error_body(why));
    };

    if (!credentials_match(request.get_header_value("Authorization"), settings_.user,
                           settings_.password)) {
        response.set_header("WWW-Authenticate", kRealmHeader);
        return refuse(401, "authentication failed: wrong or missing user and password");
    }
    if (!usable_subject(service)) {
        return refuse(400, "the X-Target-Service header must name a service subject");
    }
    if (!settings_.services.empty() &&
        std::find(settings_.services.begin(), settings_.services.end(), service) ==
            settings_.services.end()) {
        return refuse(403, "service '" + service + "' is not offered by this gateway");
    }
    if (!request.is_multipart_form_data()) {
        return refuse(400, "expected a multipart/form-data body with a \"request\" part");
    }

    Form form;
    body_read = true;
    if (!read_form(request, reader, settings_.max_body_bytes, &form)) {
        // The reader has set the status (413 for a body above the limit, 400 otherwise); the
        // connection is no longer usable for an answer with a body of ours.
        if (response.status < 400) response.status = 400;
        LOG_WARN("gateway: body of a request from %s for service '%s' could not be read (%d)",
                 from.c_str(), shown, response.status);
        return;
    }
    if (form.request_parts != 1 || form.payload_parts > 1) {
        return refuse(400, "the form must hold one \"request\" part and at most one \"payload\"");
    }
    if (!parse_object(form.json)) {
        return refuse(400, "the \"request\" part is not a JSON object");
    }

    char errbuf[kErrbufSize] = "";
    JsonPtr reply;
    if (form.payload.empty()) {
        reply.reset(qz_connection_send_recv_json(config_, service.c_str(), form.json.c_str(),
                                                 settings_.timeout_ms, 0, errbuf));
    } else {
        RequestReplyPtr pair(qz_const_request_reply_new());
        if (!pair) return answer(response, 500, error_body("out of memory"));
        pair->request->json = form.json.data();
        pair->request->data = reinterpret_cast<unsigned char*>(form.payload.data());
        pair->request->data_len = form.payload.size();
        reply.reset(qz_connection_send_recv_json_data(config_, service.c_str(), pair.get(),
                                                      settings_.timeout_ms, 0, 0, errbuf));
    }
    const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - started)
                               .count();
    if (!reply) {
        const int status = status_for_broker_failure(errbuf);
        LOG_ERROR("gateway: service '%s' for %s failed with %d after %lld ms: %s", service.c_str(),
                  from.c_str(), status, took, errbuf);
        return answer(response, status,
                      error_body(errbuf[0] != '\0' ? errbuf : "no reply from the service"));
    }
    LOG_INFO("gateway: service '%s' for %s answered (json %zu bytes, object %zu bytes, %lld ms)",
             service.c_str(), from.c_str(), form.json.size(), form.payload.size(), took);
    answer(response, 200, json_object_to_json_string_ext(reply.get(), kJsonFlags));
}

}  // namespace qz::gateway_service

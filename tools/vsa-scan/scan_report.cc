#include "scan_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace vsascan {
namespace {

std::string text_or_empty(const char* text) { return text != nullptr ? text : ""; }

std::string without_trailing_blanks(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return text;
}

void add_once(std::vector<std::string>* list, const std::string& value) {
    if (value.empty()) return;
    if (std::find(list->begin(), list->end(), value) == list->end()) list->push_back(value);
}

// The library prefixes a service's failure with "Service <name>: "; that is the only place the
// result records name a service.
std::string service_named_in(const std::string& error_text) {
    const std::string prefix = "Service ";
    if (error_text.rfind(prefix, 0) != 0) return {};
    size_t end = error_text.find_first_of(": ", prefix.size());
    if (end == std::string::npos) return {};
    return error_text.substr(prefix.size(), end - prefix.size());
}

std::string format(const char* fmt, double value) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, fmt, value);
    return buffer;
}

std::string join(const std::vector<std::string>& values, const char* separator) {
    std::string joined;
    for (const std::string& value : values) {
        if (!joined.empty()) joined += separator;
        joined += value;
    }
    return joined;
}

std::string json_array(const std::vector<std::string>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ",";
        out += json_string(values[i]);
    }
    return out + "]";
}

// The number a non-string parameter record carries in its value field.
long long parameter_number(const VSA_OPTPARAM& record) {
    auto raw = reinterpret_cast<uintptr_t>(record.pvValue);
    if (record.tType == VSA_TYPE_INTEGER64) return static_cast<long long>(raw);
    return static_cast<int32_t>(static_cast<uint32_t>(raw));
}

template <typename List>
void parameters_text(const char* kind, const List* list, const char* (*name_of)(uint32_t),
                     std::string* out) {
    if (list == nullptr || list->pParams == nullptr) return;
    for (uint16_t i = 0; i < list->usCount; ++i) {
        const VSA_OPTPARAM& record = list->pParams[i];
        const char* name = name_of(record.tCode);
        std::string value =
            record.tType == VSA_TYPE_STRING
                ? text_value(text_or_empty(static_cast<const char*>(record.pvValue)))
                : std::to_string(parameter_number(record));
        *out += std::string("config: ") + kind + " " +
                (name != nullptr ? name : std::to_string(record.tCode)) +
                " code=" + std::to_string(record.tCode) + " type=" + std::to_string(record.tType) +
                " value=" + value + "\n";
    }
}

template <typename List>
std::string parameters_json(const List* list, const char* (*name_of)(uint32_t)) {
    std::string out = "[";
    if (list != nullptr && list->pParams != nullptr) {
        for (uint16_t i = 0; i < list->usCount; ++i) {
            const VSA_OPTPARAM& record = list->pParams[i];
            const char* name = name_of(record.tCode);
            const char* text = static_cast<const char*>(record.pvValue);
            std::string value = record.tType != VSA_TYPE_STRING
                                    ? std::to_string(parameter_number(record))
                                : text != nullptr ? json_string(text)
                                                  : std::string("null");
            if (i > 0) out += ",";
            out += std::string("{\"name\":") + (name != nullptr ? json_string(name) : "null") +
                   ",\"code\":" + std::to_string(record.tCode) +
                   ",\"type\":" + std::to_string(record.tType) + ",\"value\":" + value + "}";
        }
    }
    return out + "]";
}

double objects_per_second(const Summary& summary) {
    if (summary.objects == 0 || summary.seconds <= 0) return 0;
    return static_cast<double>(summary.objects) / summary.seconds;
}

}  // namespace

Outcome ObjectReport::outcome() const { return scanned ? verdict_of(rc).outcome : Outcome::kError; }

const char* ObjectReport::verdict() const { return scanned ? verdict_of(rc).word : "error"; }

ObjectReport report_from_records(const std::string& name, VSA_RC rc, const VSA_SCANINFO* info) {
    ObjectReport report;
    report.name = name;
    report.scanned = true;
    report.rc = rc;
    if (info == nullptr) return report;
    if (info->pContentInfo != nullptr && info->uiScanned > 0) {
        report.files = info->uiScanned;
        report.mime = text_or_empty(info->pContentInfo[0].pszContentType);
        report.size = info->pContentInfo[0].lObjectSize;
    }
    if (info->pVirusInfo != nullptr) {
        for (uint32_t i = 0; i < info->uiInfections; ++i) {
            const VSA_VIRUSINFO& virus = info->pVirusInfo[i];
            report.findings.push_back({without_trailing_blanks(text_or_empty(virus.pszVirusName)),
                                       text_or_empty(virus.pszObjectName)});
        }
    }
    if (info->pScanError != nullptr) {
        for (uint32_t i = 0; i < info->uiScanErrors; ++i) {
            std::string text = text_or_empty(info->pScanError[i].pszErrorText);
            if (text.empty()) {
                text = std::string("error record with code ") +
                       std::to_string(info->pScanError[i].iErrorRC) + " (" +
                       vsa_code_name(info->pScanError[i].iErrorRC) + ")";
            }
            add_once(&report.services, service_named_in(text));
            report.errors.push_back(text);
        }
    }
    return report;
}

ObjectReport report_not_scanned(const std::string& name, const std::string& reason) {
    ObjectReport report;
    report.name = name;
    report.errors.push_back(reason);
    return report;
}

std::string text_line(const ObjectReport& report) {
    std::vector<std::string> viruses;
    for (const Finding& finding : report.findings) add_once(&viruses, finding.virus);
    std::string line = text_value(report.name) + ": " + report.verdict();
    if (report.scanned) {
        line += " code=" + std::to_string(report.rc) + " vsa=" + vsa_code_name(report.rc);
    } else {
        line += " code=- vsa=-";
    }
    line += " virus=" + text_value(join(viruses, ",")) + " mime=" + text_value(report.mime) +
            " services=" + text_value(join(report.services, ",")) +
            " time=" + format("%.1f", report.ms) + "ms";
    if (!report.errors.empty()) line += " error=" + text_value(join(report.errors, "; "));
    return line + "\n";
}

std::string json_line(const ObjectReport& report) {
    std::string out =
        "{\"object\":" + json_string(report.name) + ",\"verdict\":" + json_string(report.verdict());
    if (report.scanned) {
        out += ",\"code\":" + std::to_string(report.rc) +
               ",\"vsa\":" + json_string(vsa_code_name(report.rc));
    } else {
        out += ",\"code\":null,\"vsa\":null";
    }
    out += ",\"virus\":" +
           (report.findings.empty() ? std::string("null") : json_string(report.findings[0].virus));
    out += ",\"findings\":[";
    for (size_t i = 0; i < report.findings.size(); ++i) {
        if (i > 0) out += ",";
        out += "{\"virus\":" + json_string(report.findings[i].virus) +
               ",\"object\":" + json_string(report.findings[i].object) + "}";
    }
    out += "],\"mime\":" + (report.mime.empty() ? std::string("null") : json_string(report.mime));
    out += ",\"size\":" + std::to_string(report.size) +
           ",\"files\":" + std::to_string(report.files) +
           ",\"services\":" + json_array(report.services) + ",\"ms\":" + format("%.3f", report.ms) +
           ",\"errors\":" + json_array(report.errors);
    return out + "}\n";
}

std::string text_summary(const Summary& summary) {
    return "summary: objects=" + std::to_string(summary.objects) +
           " clean=" + std::to_string(summary.clean) +
           " findings=" + std::to_string(summary.findings) +
           " errors=" + std::to_string(summary.errors) +
           " time=" + format("%.3f", summary.seconds) +
           "s objects/s=" + format("%.1f", objects_per_second(summary)) + "\n";
}

std::string json_summary(const Summary& summary) {
    return "{\"summary\":{\"objects\":" + std::to_string(summary.objects) +
           ",\"clean\":" + std::to_string(summary.clean) +
           ",\"findings\":" + std::to_string(summary.findings) +
           ",\"errors\":" + std::to_string(summary.errors) +
           ",\"seconds\":" + format("%.3f", summary.seconds) +
           ",\"objects_per_s\":" + format("%.1f", objects_per_second(summary)) +
           ",\"exit\":" + std::to_string(summary.exit_code) + "}}\n";
}

std::string config_text(const VSA_CONFIG* config) {
    if (config == nullptr) return "config: none\n";
    std::string out = "config: struct_size=" + std::to_string(config->struct_size) +
                      " flags=" + std::to_string(config->uiFlags1) + "," +
                      std::to_string(config->uiFlags2) + "\n";
    if (const VSA_ADAPTERINFO* adapter = config->pAdapterInfo; adapter != nullptr) {
        out += "config: adapter vendor=" + text_value(text_or_empty(adapter->pszVendor)) +
               " version=" + text_value(text_or_empty(adapter->pszVersionText)) +
               " kind=" + std::to_string(adapter->lAdapterKind) +
               " interface=" + std::to_string(adapter->usInterfaceVersion) +
               " major=" + std::to_string(adapter->usMajorVersion) +
               " minor=" + std::to_string(adapter->usMinorVersion) + "\n";
    }
    parameters_text("init", config->pInitParams, init_parameter_name, &out);
    parameters_text("optional", config->pOptParams, optional_parameter_name, &out);
    return out;
}

std::string config_json(const VSA_CONFIG* config) {
    if (config == nullptr) return "{\"config\":null}\n";
    std::string out = "{\"config\":{\"struct_size\":" + std::to_string(config->struct_size) +
                      ",\"flags\":[" + std::to_string(config->uiFlags1) + "," +
                      std::to_string(config->uiFlags2) + "]";
    if (const VSA_ADAPTERINFO* adapter = config->pAdapterInfo; adapter != nullptr) {
        out += ",\"adapter\":{\"vendor\":" + json_string(text_or_empty(adapter->pszVendor)) +
               ",\"version\":" + json_string(text_or_empty(adapter->pszVersionText)) +
               ",\"kind\":" + std::to_string(adapter->lAdapterKind) +
               ",\"interface\":" + std::to_string(adapter->usInterfaceVersion) +
               ",\"major\":" + std::to_string(adapter->usMajorVersion) +
               ",\"minor\":" + std::to_string(adapter->usMinorVersion) + "}";
    }
    out += ",\"init_parameters\":" + parameters_json(config->pInitParams, init_parameter_name);
    out +=
        ",\"optional_parameters\":" + parameters_json(config->pOptParams, optional_parameter_name);
    return out + "}}\n";
}

std::string init_text(const VSA_INIT* init) {
    if (init == nullptr) return "init: none\n";
    std::string out = "init: library=" + text_value(text_or_empty(init->pszLibraryText)) +
                      " build=" + std::to_string(init->iBuildNumber) +
                      " major=" + std::to_string(init->iMajorVersion) +
                      " services=" + std::to_string(init->usDriverCount) + "\n";
    if (init->pDriverInfo == nullptr) return out;
    for (uint16_t i = 0; i < init->usDriverCount; ++i) {
        const VSA_DRIVERINFO& driver = init->pDriverInfo[i];
        out += "init: service " + text_value(text_or_empty(driver.pszDriverName)) +
               " version=" + std::to_string(driver.usMajorVersion) + "." +
               std::to_string(driver.usMinorVersion) + " code=" + std::to_string(driver.iDriverRC) +
               "\n";
    }
    return out;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    auto escape_byte = [&](unsigned char byte) {
        char buffer[8];
        snprintf(buffer, sizeof buffer, "\\u%04x", byte);
        out += buffer;
    };
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
            ++i;
        } else if (byte == '\n') {
            out += "\\n", ++i;
        } else if (byte == '\t') {
            out += "\\t", ++i;
        } else if (byte == '\r') {
            out += "\\r", ++i;
        } else if (byte < 0x20 || byte == 0x7f) {
            escape_byte(byte), ++i;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte), ++i;
        } else {
            // A well-formed UTF-8 sequence is copied; anything else goes byte by byte as Latin-1.
            size_t length = 0;
            if (byte >= 0xc2 && byte <= 0xdf) length = 2;
            if (byte >= 0xe0 && byte <= 0xef) length = 3;
            if (byte >= 0xf0 && byte <= 0xf4) length = 4;
            bool valid = length > 0 && i + length <= text.size();
            for (size_t k = 1; valid && k < length; ++k)
                valid = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
            if (valid && length >= 3) {
                auto second = static_cast<unsigned char>(text[i + 1]);
                // Overlong forms, surrogates and code points above U+10FFFF are not UTF-8.
                if ((byte == 0xe0 && second < 0xa0) || (byte == 0xed && second > 0x9f) ||
                    (byte == 0xf0 && second < 0x90) || (byte == 0xf4 && second > 0x8f))
                    valid = false;
            }
            if (valid) {
                out.append(text, i, length);
                i += length;
            } else {
                escape_byte(byte);
                ++i;
            }
        }
    }
    return out + "\"";
}

std::string text_value(const std::string& text) {
    if (text.empty()) return "-";
    bool plain = std::none_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte <= ' ' || byte == '"' || byte == '\\' || byte == 0x7f;
    });
    if (plain) return text;
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            char buffer[8];
            snprintf(buffer, sizeof buffer, "\\x%02x", byte);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace vsascan

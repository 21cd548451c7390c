#include "util/strings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>

#include "log/log.h"

namespace {

constexpr size_t kNormalizedMax = 1023;

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

char fold_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

extern "C" {

char* qzhlp_TrimWhitespace(char* str) {
    if (str == nullptr) return nullptr;
    char* start = str;
    while (is_space(*start)) ++start;
    size_t len = strlen(start);
    while (len > 0 && is_space(start[len - 1])) --len;
    memmove(str, start, len);
    str[len] = '\0';
    return str;
}

int qzhlp_StringEndsWith(const char* str, const char* suffix) {
    if (str == nullptr || suffix == nullptr) return 0;
    const size_t len = strlen(str);
    const size_t suffix_len = strlen(suffix);
    if (suffix_len > len) return 0;
    return memcmp(str + len - suffix_len, suffix, suffix_len) == 0 ? 1 : 0;
}

int qzhlp_StringIsNumber(const char* str) {
    if (str == nullptr) return -1;
    for (const char* p = str; *p != '\0'; ++p) {
        if (std::isalpha(static_cast<unsigned char>(*p))) return 0;
    }
    return 1;
}

char* qzhlp_normalize_string(const char* str) {
    thread_local char buffer[kNormalizedMax + 1];
    if (str == nullptr) {
        LOG_ERROR("Invalid argument (NULL)");
        return nullptr;
    }
    while (is_space(*str)) ++str;
    size_t len = strnlen(str, kNormalizedMax);
    for (size_t i = 0; i < len; ++i) {
        buffer[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(str[i])));
    }
    // Trailing blanks are trimmed after the cut, so a long text never ends in blanks either.
    while (len > 0 && is_space(buffer[len - 1])) --len;
    buffer[len] = '\0';
    LOG_TRACE("Normalized string \"%s\"", buffer);
    return buffer;
}

char* qzhlp_remove_linebreak(char* str) {
    if (str == nullptr) return nullptr;
    char* lf = strchr(str, '\n');
    if (lf != nullptr) *lf = '\0';
    return str;
}

char* qzhlp_replace_all_linebreaks(char* str, char replacement) {
    if (str == nullptr) return nullptr;
    for (char* p = str; *p != '\0'; ++p) {
        if (*p == '\n') *p = replacement;
    }
    return str;
}

int qzhlp_escape_quotes_inplace(char** str) {
    if (str == nullptr || *str == nullptr) {
        LOG_ERROR("Invalid argument (NULL)");
        return -1;
    }
    const char* old = *str;
    size_t quotes = 0;
    size_t len = 0;
    for (; old[len] != '\0'; ++len) {
        if (old[len] == '"') ++quotes;
    }
    char* escaped = static_cast<char*>(malloc(len + quotes + 1));
    if (escaped == nullptr) {
        LOG_ERROR("Failed to allocate %zu bytes", len + quotes + 1);
        return -1;
    }
    char* out = escaped;
    for (size_t i = 0; i < len; ++i) {
        if (old[i] == '"') *out++ = '\\';
        *out++ = old[i];
    }
    *out = '\0';
    free(*str);
    *str = escaped;
    return 0;
}

size_t qzhlp_GetQuotedText(const char* text, size_t limit, char* out, size_t out_size,
                           const char** stop) {
    if (text == nullptr || out == nullptr || out_size == 0) {
        LOG_ERROR("Invalid arguments");
        if (stop != nullptr) *stop = text;
        return 0;
    }
    out[0] = '\0';
    size_t i = 0;
    while (i < limit && text[i] != '\0' && text[i] != '"') ++i;
    if (i >= limit || text[i] != '"') {
        if (stop != nullptr) *stop = text + i;
        return 0;
    }
    const size_t first = ++i;
    while (i < limit && text[i] != '\0' && !(text[i] == '"' && text[i - 1] != '\\')) ++i;
    if (i >= limit || text[i] != '"') {
        if (stop != nullptr) *stop = text + i;
        return 0;
    }
    const size_t len = i - first;
    if (stop != nullptr) *stop = text + i + 1;
    if (len >= out_size) {
        LOG_ERROR("Quoted text of %zu characters does not fit a buffer of %zu", len, out_size);
        return 0;
    }
    memcpy(out, text + first, len);
    out[len] = '\0';
    return len + 1;
}

const unsigned char* qzhlp_FindBinaryPattern(const unsigned char* buffer, size_t buffer_length,
                                             const unsigned char* pattern, size_t pattern_length,
                                             unsigned int stride) {
    if (buffer == nullptr || pattern == nullptr || pattern_length == 0) {
        LOG_ERROR("Invalid arguments");
        return nullptr;
    }
    const size_t step = static_cast<size_t>(stride) + 1;
    // Bytes the match covers from its first to its last pattern byte.
    const size_t span = (pattern_length - 1) * step + 1;
    if (span > buffer_length) return nullptr;
    for (size_t pos = 0; pos + span <= buffer_length; ++pos) {
        size_t k = 0;
        while (k < pattern_length && buffer[pos + k * step] == pattern[k]) ++k;
        if (k == pattern_length) {
            LOG_DEBUG("_FindBinaryPattern(): Got Pattern Match");
            return buffer + pos + span;
        }
    }
    return nullptr;
}

char* qzhlp_rand_str(char* buffer, size_t n) {
    static constexpr char kAlphabet[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    if (buffer == nullptr) {
        LOG_ERROR("Invalid argument (NULL)");
        return nullptr;
    }
    // A fresh seed from the system's entropy per call: two calls within one clock tick must not
    // produce the same text.
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
    std::mt19937 generator(seed);
    std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 2);
    for (size_t i = 0; i < n; ++i) buffer[i] = kAlphabet[pick(generator)];
    buffer[n] = '\0';
    return buffer;
}

int qzhlp_WildcardTextMatch(const char* tame, const char* wild, int case_sensitive,
                            char terminator) {
    if (tame == nullptr) {
        LOG_ERROR("Invalid parameter pTameText (NULL)");
        return 0;
    }
    if (wild == nullptr) {
        LOG_ERROR("Invalid parameter pWildText (NULL)");
        return 0;
    }
    auto at_end = [terminator](const char* p) { return *p == '\0' || *p == terminator; };
    auto same = [case_sensitive](char a, char b) {
        return case_sensitive ? a == b : fold_ascii(a) == fold_ascii(b);
    };

    // The one backtrack point: the wild text just after the latest '*', and the tame position
    // that '*' currently stops at.
    const char* wild_after_star = nullptr;
    const char* tame_at_star = nullptr;
    for (;;) {
        if (!at_end(wild) && *wild == '*') {
            wild_after_star = ++wild;
            tame_at_star = tame;
            continue;
        }
        if (at_end(tame)) return at_end(wild) ? 1 : 0;
        if (!at_end(wild) && (*wild == '?' || same(*tame, *wild))) {
            ++tame;
            ++wild;
            continue;
        }
        if (wild_after_star == nullptr) return 0;
        // Let the '*' swallow one more character and retry from just after it.
        wild = wild_after_star;
        tame = ++tame_at_star;
    }
}

}  // extern "C"

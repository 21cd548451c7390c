#include "scan/scan_message.h"

#include <cstdarg>
#include <cstdio>

#include "log/log.h"
#include "scan/scan_result.h"

namespace qz::scan {

void report_failure(char* errbuf, const char* function, int line, const char* format, ...) {
    char text[QZ_SCAN_MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (errbuf != nullptr) snprintf(errbuf, QZ_SCAN_MESSAGE_SIZE, "%s", text);
    log_log(QZ_LOG_ERROR, function, __FILE__, line, "%s", text);
}

}  // namespace qz::scan

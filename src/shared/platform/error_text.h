// System error texts. QZstrerror returns one process-wide buffer of 1024
// bytes that the next call overwrites, with the text cut at its first line break.
#pragma once

extern "C" {

const char* QZstrerror(int code);
// The calling thread's last system error code (errno).
int QZ_GetLastError(void);
}

// A read-only view of a whole regular file for scanning it in place: the file is mapped, never
// copied, and stays safe to read when another process truncates it under the view. A read past
// the file's new end would raise SIGBUS; a process-wide handler, installed with the first view,
// puts zero pages in place of the vanished part of that view and notes it, so the reader sees
// zeros instead of dying, and qz_file_view_shrunk tells the scan that its bytes are not the file.
// Faults outside every view go to the handler that was there before.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef struct qz_file_view qz_file_view;

// Opens path read-only (never creating it; a FIFO does not block the call) and maps it whole.
// Only regular files are taken: a directory fails with "Is a directory", anything else with "No
// such device". An empty file gives a view of length 0 with NULL data and no mapping. 0 with
// *view set, or -1 with *view NULL and the system's reason in errbuf (errlen bytes, may be NULL).
int qz_file_view_open(const char* path, qz_file_view** view, char* errbuf, size_t errlen);
// The mapped bytes (NULL for an empty file) and their number: the file's size when opened.
const uint8_t* qz_file_view_data(const qz_file_view* view);
uint64_t qz_file_view_length(const qz_file_view* view);
// 1 when the file lost bytes of the view since it was opened: a read fell past its end, or it
// is shorter now than the view. 0 otherwise (also for NULL).
int qz_file_view_shrunk(const qz_file_view* view);
// Unmaps and closes; NULL is ignored. Nothing may read the data afterwards.
void qz_file_view_close(qz_file_view* view);
}

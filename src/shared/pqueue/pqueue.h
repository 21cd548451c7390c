// The persistent queue: every event or log message is one file in a queue directory, so that it
// survives broker outages, restarts and several writing processes. Pushes take no lock (unique
// names, write-sync-rename); consumers claim entries by renaming them to a per-process name.
//
// Conventions: results are 0 for success and -1 for failure unless stated, and every failure
// leaves a trace line. Queue objects come from qz_pqueue_open and go back with qz_pqueue_close
// (the files stay); entries are released with qz_pqueue_data_free, a claimed batch array with
// free() after its entries. Paths use '/'. The queue lock is an open-file-description lock on the
// control file that never waits, so it excludes other processes and other queue objects of this
// process alike.
//
// On disk, for a queue named N in directory D:
//   D/N/control                      three decimal lines: max entries, max bytes, mode
//   D/N/data/{p}{uuid}.dat           a queued entry holding exactly the pushed bytes
//   D/N/data/temp_{p}{uuid}.dat      an entry being written (never read as an entry)
//   D/N/data/claimed_{pid}_{p}{uuid}.dat   an entry claimed by process {pid}
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>
#include <cstdint>

#include "platform/critical_section.h"

extern "C" {
QZ_API_BEGIN

// Longest path (without its NUL) the queue builds; a queue whose entry paths would be longer is
// refused at open.
enum { QZ_PQUEUE_MAX_PATH = 4095 };

typedef struct qz_pqueue {
    char* root;         // D/N
    char* datadir;      // D/N/data
    char* controlfile;  // D/N/control
    int lockfd;         // descriptor of the control file while the queue lock is held, else -1
    long maxelements;   // limits: signed 32-bit values in the control file
    long maxbytes;
    // Advisory statistics over every regular file in the data directory (queued, temporary and
    // claimed), from a listing of the directory plus this object's own pushes and claims since.
    // A push lists the directory again when the last listing is 100 ms old or when it comes
    // within a tenth of a limit. Threads update them concurrently: read them atomically.
    uint64_t elements;
    uint64_t bytes;
    int mode;  // kept in the control file, not interpreted
    QZ_CRITICAL_SECTION lock;
} qz_pqueue;

typedef struct qz_pqueue_data {
    char* path;      // the file as it is now (the claimed name for a claim)
    char* origpath;  // the queued name before the claim; NULL for a popped entry
    char prefix;     // the entry's type
    char* data;      // the content followed by one NUL; NULL until read
    uint64_t size;   // content length
} qz_pqueue_data;

// Opens the queue `name` in `directory`. Flags: O_CREAT creates a missing queue, O_TRUNC empties
// an existing one; others are ignored. An existing queue keeps the limits of its control file;
// the arguments (0 to INT32_MAX) apply to a new queue or when the control file is unreadable,
// which is then written anew. Opening puts back the claims of processes that have ended and
// removes temporary files abandoned for 10 minutes. NULL on failure (errno ENOENT when the queue
// does not exist and O_CREAT is not given).
qz_pqueue* qz_pqueue_open(const char* directory, const char* name, long maxelements, long maxbytes,
                          int flags, int mode);
// Frees the object; the files stay. A lock still held by the calling thread is released. -1 for
// NULL or while another thread holds the queue lock.
int qz_pqueue_close(qz_pqueue* queue);

// Writes a new entry durably (the file and its name are synced before 0 is returned). -1 when
// the queue is full (WARN) or on failure (ERROR); a failed push leaves no file behind. Any
// prefix character but NUL and '/' is accepted.
int qz_pqueue_push(qz_pqueue* queue, char prefix, const void* data, size_t length);

// Claims up to `count` entries whose type is one of `prefixes` by renaming each to
// claimed_{pid}_{name}; a name another claimer took first is skipped. Meant to run under the
// queue lock. The number claimed (0 when none), or -1; *batch receives a malloc'ed array of that
// many entries (NULL when none), owned by the caller. Only names of the form {p}{uuid}.dat that
// are regular files are claimed.
int qz_pqueue_claim_batch(qz_pqueue* queue, const char* prefixes, int count,
                          qz_pqueue_data*** batch);
// Ends a claim by renaming the claimed file back to its queued name. Never replaces a file: -1
// (ERROR) when the queued name is taken or the claimed file is gone. The entry's fields stay.
int qz_pqueue_put_back(qz_pqueue_data* entry);

// Reads the entry's file into data and size (replacing what was read before).
int qz_pqueue_data_read(qz_pqueue_data* entry);
// Frees path, origpath, data and the entry. -1 for NULL.
int qz_pqueue_data_free(qz_pqueue_data* entry);

// Puts claimed entries back into the queue: those of processes that have ended, and those whose
// file is at least max_age_seconds old (counted from the push). Also removes abandoned temporary
// files. The number put back; 0 when the queue lock is not available; -1 on error.
int qz_pqueue_reclaim_stale_claims(qz_pqueue* queue, long max_age_seconds);

// The oldest queued entry of type 'E' or 'L', read into memory; the file stays. NULL when there
// is none or on failure.
qz_pqueue_data* qz_pqueue_pop(qz_pqueue* queue, char prefix);

// Deletes everything in the data directory (claims of other processes included) and resets the
// statistics. Waits up to a second for the queue lock unless the calling thread holds it.
int qz_pqueue_purge(qz_pqueue* queue);

// Takes the queue lock without waiting: -1 when another thread, queue object or process holds
// it (TRACE) or on failure (ERROR). One thread per object holds it at a time.
int qz_pqueue_lock(qz_pqueue* queue);
// Releases the lock held by the calling thread; -1 (ERROR) when it does not hold it.
int qz_pqueue_unlock(qz_pqueue* queue);
QZ_API_END
}

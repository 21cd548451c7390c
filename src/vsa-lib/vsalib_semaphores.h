// The named semaphores of an init handle. The job-ID semaphore is named after the SID and the
// configuration hash, so every process of one SAP system and installation shares it.
#pragma once

#include "platform/semaphore.h"
#include "vsa_engine.h"

extern "C" {

// Opens "/qz_jobID_<SID>_<configHash>" (initial and maximum count 1) as the job-ID semaphore of
// the record. 0, or 1 with "Failed to open jobID semaphore <name>: <reason>" in message
// (VSALIB_MESSAGE_SIZE bytes).
int vsalib_CreateSemaphores(VSA_ENGINE* engine, char* message);

// Opens (creating when missing) one named semaphore into *place. 0, or -1 with the system error
// left in errno.
int vsalib_CreateSingleSemaphore(const char* name, QZ_SEM_HANDLE* place, unsigned initial,
                                 unsigned maximum);
}

// The events that announce the implementation's start and stop in a host process: event 1010 or
// 1030 plus a log message with a "StatusLog" section (and an "EPOLog" section for Trellix
// installations), queued in the persistent queue of the event dispatcher.
#pragma once

#include "vsa/vsa_global.h"
#include "vsa_engine.h"

extern "C" {

enum vsalib_lifecycle_event { VSALIB_EVENT_STARTED, VSALIB_EVENT_STOPPED };

// Queues the event and the log message of `which` for the process; sends nothing (an ERROR line
// says why) without a dispatcher queue or without the record's SID and FQDN. The start event is
// queued only while g->gRefCounter is exactly 1; the caller of the stop event checks that.
void vsalib_send_lifecycle_event(vsalib_lifecycle_event which, vsa_global* g, VSA_ENGINE* engine);
}

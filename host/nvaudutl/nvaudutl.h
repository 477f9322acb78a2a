// Audit events: one event carries one record text and is appended to the sink's file whole when
// committed (one write per record, safe across threads).
#pragma once

extern "C" {
typedef void* nv_log_event_t;

nv_log_event_t NVLogEventStart(void* sink);
void NVLogEventAddText(nv_log_event_t event, unsigned long length, const char* text);
// Writes the event's text, flushes it and frees the event; *event is nulled. `result` gets 0 on success.
void NVLogEventCommit(nv_log_event_t* event, int flags, int* result);
}

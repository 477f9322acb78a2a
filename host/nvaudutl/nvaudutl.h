// Audit events: one event carries one record text and is appended to the sink's file whole when
// committed (one write per record, safe across threads).
//
// An agent is configured with "file path=PATH", or "file path=\"PATH\"" for a path holding blanks.
// A record that cannot be written (disk full, file gone) is reported once through the message
// destination (qzsvc), and again only after a record was written since.
#pragma once

#include <string>

extern "C" {
typedef void* nv_log_event_t;

nv_log_event_t NVLogEventStart(void* sink);
void NVLogEventAddText(nv_log_event_t event, unsigned long length, const char* text);
// Writes the event's text, flushes it and frees the event; *event is nulled. `result` gets 0 on success.
void NVLogEventCommit(nv_log_event_t* event, int flags, int* result);

// Reopens every agent's file by its path, for log rotation: records committed afterwards go to the
// file now at that path. Safe while decisions write records; not async-signal-safe (call it from a
// thread that waits for SIGHUP, not from a signal handler). A file that cannot be reopened is reported
// through the message destination and the agent keeps writing where it did.
void zem_audit_reopen(void);
}

// The audit file named by an agent configuration text ("file path=PATH" or path="PATH"), or "" when
// it names none: the same reading QZLogConfigureAgent applies, for tools that check a configuration.
std::string zem_audit_file_path(const char* configuration);

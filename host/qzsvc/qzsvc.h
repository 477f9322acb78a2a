// Serviceability: message catalogue registration and printing.
//
// Messages print to standard error (or the file given to qz_msg_set_output) as one line: a UTC time
// stamp, then the catalogue text, which begins with its printed identifier ("QLXBA0301I   ...").
#pragma once

#include <cstdarg>

extern "C" {

// Sub-component table row; the table ends with a row of zeros.
typedef struct qz_svc_subcomp {
    const char* name;
    const char* description;
    unsigned int description_id;
    unsigned int level;
} qz_svc_subcomp_t;

// Message table row: identifier (padded to pointer width) and catalogue text.
typedef struct qz_msg_entry {
    unsigned long id;
    const char* text;
} qz_msg_entry_t;

typedef unsigned long qz_svc_handle_t;

void uxmsg_init(const char* program_name);
void qz_svc_set_progname(const char* program_name, unsigned int* status);
void qz_msg_define_msg_table(const qz_msg_entry_t* table, int rows, unsigned int* status);
qz_svc_handle_t qz_svc_register(const qz_svc_subcomp_t* table, const char* component, unsigned int* status);

// Prints the message `id` formatted with `args` as one line (time stamp, text, line end).
int qz_vprintf_utf8(unsigned int id, va_list args);
// The formatted message text without time stamp, allocated; release it with qz_free. Null when the
// identifier is not in a registered table.
char* qz_vsprintf_utf8(unsigned int id, va_list args);
void qz_free(void* text);

// Prints a host library's own report (not a catalogue message) as one line on the message destination.
void qz_msg_print_text(const char* text);

// Where messages go: a file appended to, or standard error when `path` is null.
void qz_msg_set_output(const char* path);
}

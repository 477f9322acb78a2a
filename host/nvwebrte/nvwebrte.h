// Web runtime: stanza configuration file access, booleans, timed socket I/O and base64.
#pragma once

#include <sys/time.h>
#include <cstddef>

extern "C" {

// One name/value pair of a stanza; an array of them ends with a pair whose name is null.
typedef struct qzw_stanza_pair {
    char* name;
    char* value;
} qzw_stanza_pair_t;

// Values of `key` in [stanza] or [stanza:qualifier] as a null-terminated array of texts in file order;
// `*values` stays null when the entry is absent. Returns 1 when the entry exists, 0 otherwise.
int qzw_load_entry(const char* config_file, const char* stanza, const char* qualifier, const char* key, char*** values,
                   int flags);
void qzw_release_entry_data(char** values);

// Every entry of [stanza] in file order. Returns non-zero when the stanza exists.
int qzw_load_stanza(const char* config_file, const char* stanza, int flags, qzw_stanza_pair_t** data);
void qzw_release_stanza_data(qzw_stanza_pair_t* data);

// yes/no, true/false, on/off, 1/0 in any letter case. 0 on success with *value written, else
// NVW_S_BAD_BOOLEAN.
enum { NVW_S_BAD_BOOLEAN = 0x38ad5101 };
int nvw_util_unmarshal_bool(const char* text, int* value);

// Socket I/O bounded by `timeout`. Both return the number of bytes moved (the write: all of `length`
// unless the peer stalls or fails), or -1 on error; *error gets errno or ETIMEDOUT. A signal handled on
// the calling thread ends the wait (EINTR): that is how a waiting thread is interrupted.
int qzw_timed_read(int fd, char* buffer, int length, int flags, struct timeval timeout, int* error);
int qzw_timed_write(int fd, const char* buffer, int length, int flags, struct timeval timeout, int* error);

// Base64 of `length` bytes as a zero-terminated text allocated with malloc (free it with free).
char* mime64_encode(const char* data, size_t length);
}

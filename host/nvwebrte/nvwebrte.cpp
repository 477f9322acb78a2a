#include "nvwebrte/nvwebrte.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "nvwebrte/stanza_file.h"
#include "qzcore/c_boundary.h"

namespace {

std::string stanzaName(const char* stanza, const char* qualifier) {
    std::string name = stanza ? stanza : "";
    if (qualifier && *qualifier) name.append(":").append(qualifier);
    return name;
}

// poll takes an int of milliseconds: longer time-outs wait as long as that allows instead of overflowing.
int timeoutMillis(const struct timeval& timeout) {
    constexpr long long LONGEST = std::numeric_limits<int>::max();
    long long millis = static_cast<long long>(timeout.tv_sec) * 1000 + timeout.tv_usec / 1000;
    return static_cast<int>(std::clamp(millis, 0LL, LONGEST));
}

// Waits until `fd` is ready for `events`; false on time-out, error or a signal handled on this thread
// (how a waiting thread is interrupted), with *error set.
bool waitReady(int fd, short events, const struct timeval& timeout, int* error) {
    struct pollfd target = {fd, events, 0};
    int ready = poll(&target, 1, timeoutMillis(timeout));
    if (ready > 0) return true;
    if (error) *error = ready == 0 ? ETIMEDOUT : errno;
    return false;
}

int loadEntry(const char* config_file, const char* stanza, const char* qualifier, const char* key, char*** values) {
    auto file = zem::loadStanzaFile(config_file ? config_file : "");
    if (!file || !key || !values) return 0;
    std::vector<std::string> found = file->values(stanzaName(stanza, qualifier), key);
    if (found.empty()) return 0;
    auto** array = static_cast<char**>(calloc(found.size() + 1, sizeof(char*)));
    if (!array) return 0;
    for (std::size_t i = 0; i < found.size(); ++i) array[i] = strdup(found[i].c_str());
    *values = array;
    return 1;
}

int loadStanza(const char* config_file, const char* stanza, qzw_stanza_pair_t** data) {
    auto file = zem::loadStanzaFile(config_file ? config_file : "");
    const zem::Stanza* section = file && stanza ? file->find(stanza) : nullptr;
    if (!section || !data) return 0;
    auto* pairs = static_cast<qzw_stanza_pair_t*>(calloc(section->entries.size() + 1, sizeof(qzw_stanza_pair_t)));
    if (!pairs) return 0;
    for (std::size_t i = 0; i < section->entries.size(); ++i) {
        pairs[i].name = strdup(section->entries[i].first.c_str());
        pairs[i].value = strdup(section->entries[i].second.c_str());
    }
    *data = pairs;
    return 1;
}

}  // namespace

extern "C" {

int qzw_load_entry(const char* config_file, const char* stanza, const char* qualifier, const char* key, char*** values,
                   int flags) {
    return zem::cBoundary("qzw_load_entry", 0, [&] { return loadEntry(config_file, stanza, qualifier, key, values); });
}

void qzw_release_entry_data(char** values) {
    if (!values) return;
    for (char** value = values; *value; ++value) free(*value);
    free(values);
}

int qzw_load_stanza(const char* config_file, const char* stanza, int flags, qzw_stanza_pair_t** data) {
    return zem::cBoundary("qzw_load_stanza", 0, [&] { return loadStanza(config_file, stanza, data); });
}

void qzw_release_stanza_data(qzw_stanza_pair_t* data) {
    if (!data) return;
    for (qzw_stanza_pair_t* pair = data; pair->name; ++pair) {
        free(pair->name);
        free(pair->value);
    }
    free(data);
}

int nvw_util_unmarshal_bool(const char* text, int* value) {
    static const struct {
        const char* word;
        int value;
    } words[] = {{"yes", 1}, {"true", 1}, {"on", 1}, {"1", 1}, {"no", 0}, {"false", 0}, {"off", 0}, {"0", 0}};
    if (!text || !value) return NVW_S_BAD_BOOLEAN;
    for (const auto& word : words) {
        if (strcasecmp(text, word.word) == 0) {
            *value = word.value;
            return 0;
        }
    }
    return NVW_S_BAD_BOOLEAN;
}

int qzw_timed_read(int fd, char* buffer, int length, int flags, struct timeval timeout, int* error) {
    if (!waitReady(fd, POLLIN, timeout, error)) return -1;
    ssize_t received;
    do {
        received = recv(fd, buffer, static_cast<size_t>(length), flags);
    } while (received < 0 && errno == EINTR);
    if (received < 0 && error) *error = errno;
    return static_cast<int>(received);
}

int qzw_timed_write(int fd, const char* buffer, int length, int flags, struct timeval timeout, int* error) {
    int sent = 0;
    while (sent < length) {
        if (!waitReady(fd, POLLOUT, timeout, error)) return sent > 0 ? sent : -1;
        ssize_t written = send(fd, buffer + sent, static_cast<size_t>(length - sent), flags | MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) {
            if (error) *error = errno;
            return sent > 0 ? sent : -1;
        }
        sent += static_cast<int>(written);
    }
    return sent;
}

char* mime64_encode(const char* data, size_t length) {
    auto* encoded = static_cast<char*>(malloc(4 * ((length + 2) / 3) + 1));
    if (encoded)
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded), reinterpret_cast<const unsigned char*>(data),
                        static_cast<int>(length));
    return encoded;
}
}

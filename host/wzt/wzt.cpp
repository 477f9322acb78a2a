// SSL toolkit on OpenSSL: environments are SSL_CTXs, sessions are SSLs over the caller's socket. The
// time-out applies to each read and write of the socket, the handshake included.
#include "wzt/wzt.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Session {
    SSL* ssl = nullptr;
    int fd = -1;
    int32_t timeoutSeconds = 30;
    std::string peerName;
};

Session* sessionOf(wzt_soc_handle_t handle) { return static_cast<Session*>(handle); }

int applyTimeout(const Session& session) {
    timeval timeout{session.timeoutSeconds, 0};
    bool applied = setsockopt(session.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
                   setsockopt(session.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
    return applied ? WZT_OK : WZT_ERR_IO;
}

// The toolkit code of a failed SSL_* call.
int failureOf(const Session& session, int result, int otherwise) {
    int error = SSL_get_error(session.ssl, result);
    ERR_clear_error();
    if (error == SSL_ERROR_ZERO_RETURN) return WZT_ERR_CLOSED;
    if (error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK)) return WZT_ERR_TIMEOUT;
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return WZT_ERR_TIMEOUT;
    return otherwise;
}

}  // namespace

extern "C" {

int wzt_env_create(const wzt_env_config_t* config, wzt_env_handle_t* env, char* error, int error_size) {
    auto fail = [&](const char* what, const char* file) {
        unsigned long code = ERR_get_error();
        std::snprintf(error, static_cast<size_t>(error_size), "%s %s: %s", what, file ? file : "",
                      code ? ERR_reason_error_string(code) : "failed");
        ERR_clear_error();
        return WZT_ERR_HANDSHAKE;
    };
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) return WZT_ERR_NO_MEMORY;
    int status = WZT_OK;
    if (config->ca_file ? SSL_CTX_load_verify_locations(context, config->ca_file, nullptr) != 1
                        : SSL_CTX_set_default_verify_paths(context) != 1)
        status = fail("cannot load the trust file", config->ca_file);
    else if (config->cert_file && SSL_CTX_use_certificate_chain_file(context, config->cert_file) != 1)
        status = fail("cannot load the client certificate", config->cert_file);
    else if (config->cert_file &&
             SSL_CTX_use_PrivateKey_file(context, config->key_file ? config->key_file : config->cert_file,
                                         SSL_FILETYPE_PEM) != 1)
        status = fail("cannot load the client key", config->key_file);
    if (status != WZT_OK) {
        SSL_CTX_free(context);
        return status;
    }
    SSL_CTX_set_verify(context, config->verify_peer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    *env = context;
    return WZT_OK;
}

void wzt_env_destroy(wzt_env_handle_t env) { SSL_CTX_free(static_cast<SSL_CTX*>(env)); }

int wzt_secure_soc_open(wzt_env_handle_t env, wzt_soc_handle_t* handle) {
    if (!env || !handle) return WZT_ERR_BAD_HANDLE;
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(env));
    if (!ssl) return WZT_ERR_NO_MEMORY;
    Session* session = new Session;
    session->ssl = ssl;
    *handle = session;
    return WZT_OK;
}

int wzt_attribute_set_buffer(wzt_soc_handle_t handle, int attribute, const char* buffer, int length) {
    if (!handle) return WZT_ERR_BAD_HANDLE;
    if (attribute != WZT_USER_DATA || !buffer || length != static_cast<int>(sizeof(int32_t)))
        return WZT_ERR_BAD_ATTRIBUTE;
    std::memcpy(&sessionOf(handle)->timeoutSeconds, buffer, sizeof(int32_t));
    return WZT_OK;
}

int wzt_attribute_set_numeric_value(wzt_soc_handle_t handle, int attribute, int value) {
    if (!handle) return WZT_ERR_BAD_HANDLE;
    if (attribute != WZT_FD || value < 0) return WZT_ERR_BAD_ATTRIBUTE;
    Session* session = sessionOf(handle);
    session->fd = value;
    return SSL_set_fd(session->ssl, value) == 1 ? WZT_OK : WZT_ERR_BAD_ATTRIBUTE;
}

int wzt_set_peer_name(wzt_soc_handle_t handle, const char* name) {
    if (!handle || !name) return WZT_ERR_BAD_HANDLE;
    sessionOf(handle)->peerName = name;
    return WZT_OK;
}

int wzt_secure_soc_init(wzt_soc_handle_t handle) {
    if (!handle || sessionOf(handle)->fd < 0) return WZT_ERR_BAD_HANDLE;
    Session& session = *sessionOf(handle);
    if (applyTimeout(session) != WZT_OK) return WZT_ERR_IO;
    if (!session.peerName.empty()) {
        SSL_set_tlsext_host_name(session.ssl, session.peerName.c_str());
        SSL_set1_host(session.ssl, session.peerName.c_str());
    }
    int result = SSL_connect(session.ssl);
    return result == 1 ? WZT_OK : failureOf(session, result, WZT_ERR_HANDSHAKE);
}

int wzt_secure_soc_read(wzt_soc_handle_t handle, char* buffer, int length, int* received) {
    if (!handle) return WZT_ERR_BAD_HANDLE;
    Session& session = *sessionOf(handle);
    int result = SSL_read(session.ssl, buffer, length);
    if (result <= 0) return failureOf(session, result, WZT_ERR_IO);
    *received = result;
    return WZT_OK;
}

int wzt_secure_soc_write(wzt_soc_handle_t handle, char* buffer, int length, int* transmitted) {
    if (!handle) return WZT_ERR_BAD_HANDLE;
    Session& session = *sessionOf(handle);
    int result = SSL_write(session.ssl, buffer, length);
    if (result <= 0) return failureOf(session, result, WZT_ERR_IO);
    *transmitted = result;
    return WZT_OK;
}

int wzt_secure_soc_close(wzt_soc_handle_t handle) {
    if (!handle) return WZT_ERR_BAD_HANDLE;
    Session* session = sessionOf(handle);
    SSL_shutdown(session->ssl);
    SSL_free(session->ssl);
    delete session;
    return WZT_OK;
}

const char* wzt_strerror(int code) {
    switch (code) {
        case WZT_OK: return "no error";
        case WZT_ERR_BAD_HANDLE: return "invalid handle";
        case WZT_ERR_BAD_ATTRIBUTE: return "invalid attribute";
        case WZT_ERR_NO_MEMORY: return "out of memory";
        case WZT_ERR_HANDSHAKE: return "TLS handshake or verification failed";
        case WZT_ERR_TIMEOUT: return "timed out";
        case WZT_ERR_IO: return "I/O error";
        case WZT_ERR_CLOSED: return "connection closed by the peer";
        default: return "unknown SSL toolkit error";
    }
}
}

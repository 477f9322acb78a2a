// SSL toolkit: a TLS session over a socket the caller has connected.
#pragma once

extern "C" {

typedef void* wzt_env_handle_t;  // a TLS context (trust, client identity, verification)
typedef void* wzt_soc_handle_t;  // one TLS session

enum { WZT_USER_DATA = 200, WZT_FD = 300 };

enum {
    WZT_OK = 0,
    WZT_ERR_BAD_HANDLE = 1,
    WZT_ERR_BAD_ATTRIBUTE = 2,
    WZT_ERR_NO_MEMORY = 3,
    WZT_ERR_HANDSHAKE = 4,
    WZT_ERR_TIMEOUT = 5,
    WZT_ERR_IO = 6,
    WZT_ERR_CLOSED = 7,
};

int wzt_secure_soc_open(wzt_env_handle_t env, wzt_soc_handle_t* handle);
// WZT_USER_DATA: the I/O time-out in seconds, `length` bytes of an integer.
int wzt_attribute_set_buffer(wzt_soc_handle_t handle, int attribute, const char* buffer, int length);
// WZT_FD: the connected socket.
int wzt_attribute_set_numeric_value(wzt_soc_handle_t handle, int attribute, int value);
// Handshake within the time-out, verifying the peer as the environment says.
int wzt_secure_soc_init(wzt_soc_handle_t handle);
int wzt_secure_soc_read(wzt_soc_handle_t handle, char* buffer, int length, int* received);
int wzt_secure_soc_write(wzt_soc_handle_t handle, char* buffer, int length, int* transmitted);
// Ends the session and frees the handle (the socket stays the caller's).
int wzt_secure_soc_close(wzt_soc_handle_t handle);
const char* wzt_strerror(int code);

// TLS environments, made by the cluster from its ssl-* keys.
typedef struct wzt_env_config {
    const char* ca_file;    // PEM trust file; null: system trust
    const char* cert_file;  // PEM client certificate; null: none
    const char* key_file;   // PEM client key
    int verify_peer;        // verify the peer certificate and host name
} wzt_env_config_t;
// 0 and a new environment, or an error code with a readable reason in `error` (size `error_size`).
int wzt_env_create(const wzt_env_config_t* config, wzt_env_handle_t* env, char* error, int error_size);
void wzt_env_destroy(wzt_env_handle_t env);
// Host name the session verifies (set before wzt_secure_soc_init; none: no name check).
int wzt_set_peer_name(wzt_soc_handle_t handle, const char* name);
}

/* The forms of game directories, server addresses, identities and broker
 * addresses, checked before anything is sent. The grammars themselves are
 * common/'s, which the broker reads with too. */
#include "check.h"

#include "common/address.h"
#include "common/grammar.h"
#include "vandrel/client.h"

#include <string.h>

/* The longest server address the library sends: "255.255.255.255:" and a
 * port that may carry leading zeros, as the broker accepts them. */
#define MAX_SERVER_LEN 32

int vdc_is_server_address(const char* text) {
    if (text == NULL)
        return 0;
    size_t len = strnlen(text, MAX_SERVER_LEN + 1);
    vd_server_address parsed;
    return len <= MAX_SERVER_LEN && vd_parse_server_address(text, len, &parsed);
}

int vdc_is_word(const char* text, size_t max_len) {
    if (text == NULL)
        return 0;
    size_t len = strnlen(text, max_len + 1);
    if (len == 0 || len > max_len)
        return 0;
    for (size_t i = 0; i < len; ++i)
        if (text[i] <= ' ' || text[i] > '~')
            return 0;
    return 1;
}

int vdc_is_gamedir(const char* text) {
    return vdc_is_word(text, VANDREL_MAX_GAMEDIR_LEN);
}

int vdc_is_identity(const char* text) {
    return text != NULL && vd_is_identity(text, strnlen(text, VANDREL_MAX_IDENTITY_LEN + 1));
}

int vdc_split_host_port(const char* addr, char* host, size_t host_size, const char** port) {
    size_t len = strnlen(addr, VDC_MAX_ADDR_LEN + 1);
    vd_host_port split;
    if (len > VDC_MAX_ADDR_LEN || !vd_split_host_port(addr, len, &split))
        return 0;
    /* "[v6addr]:port": the address without its brackets. A '[' that opens
     * no such pair is malformed. */
    if (split.host_len > 0 && split.host[0] == '[' &&
        !vd_unbracket(split.host, split.host_len, &split.host, &split.host_len))
        return 0;
    uint16_t port_value = 0;
    if (split.host_len == 0 || split.host_len >= host_size ||
        !vd_parse_port(split.port, split.port_len, &port_value))
        return 0;
    memcpy(host, split.host, split.host_len);
    host[split.host_len] = '\0';
    *port = split.port;
    return 1;
}

vandrel_status vandrel_check_gamedir(const char* gamedir) {
    return vdc_is_gamedir(gamedir) ? VANDREL_OK : VANDREL_ERR_ARGUMENT;
}

vandrel_status vandrel_check_server(const char* server) {
    return vdc_is_server_address(server) ? VANDREL_OK : VANDREL_ERR_ARGUMENT;
}

vandrel_status vandrel_check_identity(const char* identity) {
    return vdc_is_identity(identity) ? VANDREL_OK : VANDREL_ERR_ARGUMENT;
}

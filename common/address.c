/* The address forms and the default broker address. */
#include "address.h"

#include "grammar.h"
#include "vandrel/wire.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#define OCTETS 4
#define MAX_OCTET 255
#define MAX_OCTET_DIGITS 3
#define MAX_PORT 65535

/* Where a client looks for its broker when it is given no address: this
 * variable, then the socket below the user's runtime directory. */
#define BROKER_VARIABLE "VANDREL_BROKER"
#define RUNTIME_DIR_VARIABLE "XDG_RUNTIME_DIR"
#define RUNTIME_SOCKET "/vandrel/socket"

static bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

/* Reads the octet at `*pos`: 1 to 3 digits, at most 255, without a leading
 * zero; moves `*pos` past its digits. */
static bool read_octet(const char* text, size_t len, size_t* pos, unsigned char* out) {
    const size_t start = *pos;
    unsigned value = 0;
    while (*pos < len && *pos - start < MAX_OCTET_DIGITS && is_digit(text[*pos]))
        value = value * 10 + (unsigned)(text[(*pos)++] - '0');
    const size_t digits = *pos - start;
    if (digits == 0 || value > MAX_OCTET || (digits > 1 && text[start] == '0'))
        return false;
    *out = (unsigned char)value;
    return true;
}

bool vd_parse_server_address(const char* text, size_t len, vd_server_address* out) {
    size_t pos = 0;
    for (size_t i = 0; i < OCTETS; ++i) {
        if (i > 0 && (pos >= len || text[pos++] != '.'))
            return false;
        if (!read_octet(text, len, &pos, &out->octets[i]))
            return false;
    }
    if (pos >= len || text[pos] != ':')
        return false;
    ++pos;
    return vd_parse_port(text + pos, len - pos, &out->port);
}

bool vd_parse_port(const char* text, size_t len, uint16_t* out) {
    uint64_t value = 0;
    if (!vd_parse_decimal(text, len, MAX_PORT, &value))
        return false;
    *out = (uint16_t)value;
    return true;
}

bool vd_split_host_port(const char* text, size_t len, vd_host_port* out) {
    size_t colon = len;
    while (colon > 0 && text[colon - 1] != ':')
        --colon;
    if (colon == 0)
        return false;
    out->host = text;
    out->host_len = colon - 1;
    out->port = text + colon;
    out->port_len = len - colon;
    return true;
}

bool vd_unbracket(const char* host, size_t len, const char** inside, size_t* inside_len) {
    if (len < 2 || host[0] != '[' || host[len - 1] != ']' || memchr(host, ']', len - 1) != NULL)
        return false;
    *inside = host + 1;
    *inside_len = len - 2;
    return true;
}

const char* vd_unix_path(const char* text, size_t len) {
    if (len < VD_UNIX_ADDR_PREFIX_LEN ||
        memcmp(text, VD_UNIX_ADDR_PREFIX, VD_UNIX_ADDR_PREFIX_LEN) != 0)
        return NULL;
    return text + VD_UNIX_ADDR_PREFIX_LEN;
}

const char* vd_default_broker_address(char* buf, size_t size) {
    const char* given = secure_getenv(BROKER_VARIABLE);
    if (given != NULL && given[0] != '\0')
        return given;
    const char* runtime = secure_getenv(RUNTIME_DIR_VARIABLE);
    if (runtime != NULL && runtime[0] == '/') {
        int len = snprintf(buf, size, VD_UNIX_ADDR_PREFIX "%s" RUNTIME_SOCKET, runtime);
        struct stat st;
        if (len > 0 && (size_t)len < size && stat(buf + VD_UNIX_ADDR_PREFIX_LEN, &st) == 0 &&
            S_ISSOCK(st.st_mode))
            return buf;
    }
    return VANDREL_DEFAULT_BROKER_ADDR;
}

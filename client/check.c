/* The forms of game directories, server addresses and broker addresses, checked
 * before anything is sent. */
#include "check.h"

#include "vandrel/client.h"

#include <string.h>

/* The longest server address: "255.255.255.255:" and a port that may carry
 * leading zeros, as the broker accepts them. */
#define MAX_SERVER_LEN 32
#define OCTETS 4
#define MAX_OCTET 255
#define MAX_OCTET_DIGITS 3
#define MAX_PORT 65535
#define DECIMAL 10

static int is_digit(char c) {
    return c >= '0' && c <= '9';
}

/* True for a decimal port of at most MAX_PORT, leading zeros allowed, that
 * runs to the end of `text`. */
static int is_port(const char* text) {
    if (*text == '\0')
        return 0;
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!is_digit(*p))
            return 0;
        value = value * DECIMAL + (*p - '0');
        if (value > MAX_PORT)
            return 0;
    }
    return 1;
}

/* Reads one octet of a dotted address at `*p`, 0 to MAX_OCTET without a
 * leading zero, and moves `*p` past its digits. False when malformed. */
static int read_octet(const char** p) {
    const char* start = *p;
    int value = 0;
    while (is_digit(**p) && *p - start <= MAX_OCTET_DIGITS) {
        value = value * DECIMAL + (**p - '0');
        ++*p;
    }
    long digits = *p - start;
    return digits > 0 && digits <= MAX_OCTET_DIGITS && value <= MAX_OCTET &&
           (digits == 1 || *start != '0');
}

int vdc_is_server_address(const char* text) {
    if (text == NULL || strnlen(text, MAX_SERVER_LEN + 1) > MAX_SERVER_LEN)
        return 0;
    const char* p = text;
    for (int octet = 0; octet < OCTETS; ++octet) {
        if (octet > 0 && *p++ != '.')
            return 0;
        if (!read_octet(&p))
            return 0;
    }
    return *p == ':' && is_port(p + 1);
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

int vdc_split_host_port(const char* addr, char* host, size_t host_size, const char** port) {
    if (strnlen(addr, VDC_MAX_ADDR_LEN + 1) > VDC_MAX_ADDR_LEN)
        return 0;
    const char* host_begin = addr;
    const char* host_end = NULL;
    if (addr[0] == '[') {
        host_begin = addr + 1;
        host_end = strchr(host_begin, ']');
        if (host_end == NULL || host_end[1] != ':')
            return 0;
        *port = host_end + 2;
    } else {
        host_end = strrchr(addr, ':');
        if (host_end == NULL)
            return 0;
        *port = host_end + 1;
    }
    size_t host_len = (size_t)(host_end - host_begin);
    if (host_len == 0 || host_len >= host_size)
        return 0;
    memcpy(host, host_begin, host_len);
    host[host_len] = '\0';
    return is_port(*port);
}

vandrel_status vandrel_check_gamedir(const char* gamedir) {
    return vdc_is_gamedir(gamedir) ? VANDREL_OK : VANDREL_ERR_ARGUMENT;
}

vandrel_status vandrel_check_server(const char* server) {
    return vdc_is_server_address(server) ? VANDREL_OK : VANDREL_ERR_ARGUMENT;
}

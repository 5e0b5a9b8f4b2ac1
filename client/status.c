/* The text of each status code. */
#include "vandrel/client.h"

const char* vandrel_status_text(vandrel_status status) {
    switch (status) {
    case VANDREL_OK:
        return "ok";
    case VANDREL_ERR_ARGUMENT:
        return "invalid argument, nothing was sent";
    case VANDREL_ERR_NOT_OPEN:
        return "the client is not open";
    case VANDREL_ERR_CONNECT:
        return "cannot connect to the broker";
    case VANDREL_ERR_SPAWN:
        return "cannot start the broker";
    case VANDREL_ERR_IO:
        return "read or write error on the broker link";
    case VANDREL_ERR_CLOSED:
        return "the broker closed the link";
    case VANDREL_ERR_TIMEOUT:
        return "no ticket within the time limit";
    case VANDREL_ERR_PROTOCOL:
        return "malformed frame or reply from the broker";
    case VANDREL_ERR_TICKET_TOO_LARGE:
        return "the ticket does not fit the buffer";
    case VANDREL_ERR_BROKER_FAILED:
        return "the broker ended with a failure";
    case VANDREL_ERR_UNTRUSTED:
        return "the broker belongs to another user";
    case VANDREL_ERR_BROKER:
        return "the broker reported an error";
    case VANDREL_ERR_UNCHECKED:
        return "cannot tell which user the broker runs as (the kernel's socket table cannot be "
               "asked); connect to its Unix socket, or set VANDREL_ALLOW_UNCHECKED_BROKER=1 to "
               "use it all the same";
    case VANDREL_ERR_NO_MEMORY:
        return "out of memory for the client";
    case VANDREL_ERR_BUSY:
        return "too many requests in flight, nothing was sent";
    }
    return "unknown status";
}

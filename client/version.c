/* The version of the library that was linked. */
#include "vandrel/client.h"

const char* vandrel_version(void) {
    return VANDREL_VERSION_STRING;
}

#include "base/fd.hpp"

#include <unistd.h>

namespace vandrel {

void Fd::reset(int fd) {
    // close(2) is not retried on EINTR: on Linux the descriptor is gone either way.
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

} // namespace vandrel

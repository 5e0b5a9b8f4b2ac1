// The owner of one file descriptor.
#pragma once

#include <utility>

namespace vandrel {

// Closes its descriptor when destroyed. Move-only; -1 means "none".
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives up ownership without closing.
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (if any) and takes `fd`.
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

} // namespace vandrel

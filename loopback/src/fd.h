// A file descriptor owned: closed when its owner ends.
#ifndef OSTREL_LOOPBACK_FD_H_
#define OSTREL_LOOPBACK_FD_H_

#include <unistd.h>

namespace ostrel::loopback {

class Fd {
public:
    // Owns nothing.
    Fd() = default;
    // Owns `fd` (-1, a failed open: nothing).
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    // The descriptor, still owned.
    int get() const { return fd_; }
    // True while a descriptor is owned.
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor.
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;  // the descriptor owned, or -1
};

}  // namespace ostrel::loopback

#endif  // OSTREL_LOOPBACK_FD_H_

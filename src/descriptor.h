// An open file descriptor that closes when it goes, and a pipe of two.
#ifndef KIV_RECOVERY_DESCRIPTOR_H
#define KIV_RECOVERY_DESCRIPTOR_H

#include <fcntl.h>
#include <unistd.h>
#include <utility>

class Descriptor
{
public:
    explicit Descriptor(int fd = -1)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1) { Descriptor old(std::exchange(m_fd, fd)); }

private:
    int m_fd;
};

// A pipe, both ends close-on-exec; an end that is still open closes when it goes. Both ends are
// -1 where it could not be made, errno saying why.
struct Pipe
{
    Pipe()
    {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            readEnd.reset(ends[0]);
            writeEnd.reset(ends[1]);
        }
    }
    Descriptor readEnd;
    Descriptor writeEnd;
};

#endif // KIV_RECOVERY_DESCRIPTOR_H

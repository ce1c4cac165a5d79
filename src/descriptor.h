// An open file descriptor that closes when it goes.
#ifndef KIV_RECOVERY_DESCRIPTOR_H
#define KIV_RECOVERY_DESCRIPTOR_H

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

#endif // KIV_RECOVERY_DESCRIPTOR_H

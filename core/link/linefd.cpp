#include "link/linefd.h"
#include <QtGlobal>
#include <algorithm>
#include <cerrno>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace linefd {

void setWakeThreshold(long long fd, int bytes)
{
#ifdef Q_OS_UNIX
    termios tio{};
    if (::tcgetattr(int(fd), &tio) != 0)
        return;
    // With VTIME 0, poll() reports the terminal readable once VMIN bytes wait;
    // a non-blocking read still returns whatever is there.
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = cc_t(std::clamp(bytes, 1, 255));
    ::tcsetattr(int(fd), TCSANOW, &tio);
#else
    Q_UNUSED(fd);
    Q_UNUSED(bytes);
#endif
}

int waiting(long long fd)
{
#ifdef Q_OS_UNIX
    int n = 0;
    return ::ioctl(int(fd), FIONREAD, &n) == 0 ? n : 0;
#else
    Q_UNUSED(fd);
    return 0;
#endif
}

bool broken(long long fd)
{
#ifdef Q_OS_UNIX
    pollfd p{int(fd), POLLIN, 0};
    int n;
    do
        n = ::poll(&p, 1, 0);
    while (n < 0 && errno == EINTR);
    return n < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    Q_UNUSED(fd);
    return true;
#endif
}

long long writeNow(long long fd, bool socket, const char *data, long long count)
{
#ifdef Q_OS_UNIX
    // MSG_NOSIGNAL: a server that went away must not raise SIGPIPE.
    const ssize_t n = socket ? ::send(int(fd), data, size_t(count), MSG_NOSIGNAL | MSG_DONTWAIT)
                             : ::write(int(fd), data, size_t(count));
    return n > 0 ? n : 0;
#else
    Q_UNUSED(fd);
    Q_UNUSED(socket);
    Q_UNUSED(data);
    Q_UNUSED(count);
    return 0;
#endif
}

} // namespace linefd

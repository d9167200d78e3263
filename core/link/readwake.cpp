#include "link/readwake.h"
#include <QtGlobal>
#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#endif

namespace readwake {

void setThreshold(long long fd, bool socket, int bytes)
{
#ifdef Q_OS_UNIX
    const int n = std::clamp(bytes, 1, 255);
    if (socket) {
        ::setsockopt(int(fd), SOL_SOCKET, SO_RCVLOWAT, &n, sizeof n);
        return;
    }
    termios tio{};
    if (::tcgetattr(int(fd), &tio) != 0)
        return;
    // With VTIME 0, poll() reports the terminal readable once VMIN bytes wait;
    // a non-blocking read still returns whatever is there.
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = cc_t(n);
    ::tcsetattr(int(fd), TCSANOW, &tio);
#else
    Q_UNUSED(fd);
    Q_UNUSED(socket);
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

} // namespace readwake

#include "support/ptypeer.h"

#include <QSocketNotifier>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer()
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        qFatal("cannot open a pseudo-terminal");
    path = QString::fromLocal8Bit(::ptsname(master));
    // Keeping the slave open ourselves spares the master a hang-up whenever
    // the program closes and reopens its port.
    slaveKeep = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(slaveKeep, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slaveKeep, TCSANOW, &t);
    notifier = std::make_unique<QSocketNotifier>(master, QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &PtyPeer::onReadable);
}

PtyPeer::~PtyPeer() { close(); }

void PtyPeer::send(const QByteArray &bytes)
{
    if (master >= 0 && ::write(master, bytes.constData(), size_t(bytes.size())) != bytes.size())
        qWarning("pty peer: short write");
}

void PtyPeer::onReadable()
{
    char chunk[512];
    ssize_t n;
    bool any = false;
    while ((n = ::read(master, chunk, sizeof chunk)) > 0) {
        rx.append(chunk, int(n));
        any = true;
    }
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO))
        notifier->setEnabled(false);
    if (any)
        emit bytesArrived();
}

void PtyPeer::close()
{
    notifier.reset();
    if (slaveKeep >= 0)
        ::close(slaveKeep);
    if (master >= 0)
        ::close(master);
    master = slaveKeep = -1;
}

int PtyPeer::baudRate() const
{
    termios t{};
    if (slaveKeep < 0 || ::tcgetattr(slaveKeep, &t) != 0)
        return -1;
    switch (::cfgetospeed(&t)) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B115200: return 115200;
    default: return 0;
    }
}

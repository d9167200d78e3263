#include "sim/ptyline.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Speed {
    speed_t code;
    int baud;
};

constexpr Speed Speeds[] = {
    {B300, 300},     {B600, 600},     {B1200, 1200},   {B2400, 2400},   {B4800, 4800},
    {B9600, 9600},   {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
};

QString systemError(const char *call)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(call), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

bool PtyLine::open()
{
    close();
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0)
        return fail(systemError("posix_openpt"));
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return fail(systemError("grantpt/unlockpt"));
    const char *name = ::ptsname(master);
    if (!name)
        return fail(systemError("ptsname"));
    slave = QString::fromLocal8Bit(name);
    slaveKeep = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveKeep < 0)
        return fail(systemError("open slave"));
    termios t{};
    if (::tcgetattr(slaveKeep, &t) != 0)
        return fail(systemError("tcgetattr"));
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    if (::tcsetattr(slaveKeep, TCSANOW, &t) != 0)
        return fail(systemError("tcsetattr"));
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    return true;
}

bool PtyLine::fail(const QString &what)
{
    const QString message = what;
    close();
    error = message;
    return false;
}

void PtyLine::close()
{
    unlink();
    if (slaveKeep >= 0)
        ::close(slaveKeep);
    if (master >= 0)
        ::close(master);
    slaveKeep = master = -1;
    slave.clear();
}

int PtyLine::baud() const
{
    termios t{};
    if (slaveKeep < 0 || ::tcgetattr(slaveKeep, &t) != 0)
        return 0;
    const speed_t code = ::cfgetospeed(&t);
    for (const Speed &s : Speeds)
        if (s.code == code)
            return s.baud;
    return 0;
}

bool PtyLine::link(const QString &path)
{
    const QFileInfo old(path);
    if (old.exists() && !old.isSymLink()) {
        error = QStringLiteral("%1 exists and is not a symbolic link").arg(path);
        return false;
    }
    // A fresh link renamed over the old one: the path never goes missing.
    const QString temp = path + QStringLiteral(".%1.tmp").arg(::getpid());
    const QByteArray target = slave.toLocal8Bit();
    ::unlink(temp.toLocal8Bit().constData());
    if (::symlink(target.constData(), temp.toLocal8Bit().constData()) != 0) {
        error = systemError("symlink");
        return false;
    }
    if (::rename(temp.toLocal8Bit().constData(), path.toLocal8Bit().constData()) != 0) {
        error = systemError("rename");
        ::unlink(temp.toLocal8Bit().constData());
        return false;
    }
    linked = path;
    return true;
}

void PtyLine::unlink()
{
    // Leave the link alone if someone has pointed it elsewhere meanwhile.
    if (!linked.isEmpty() && QFileInfo(linked).symLinkTarget() == QFileInfo(slave).absoluteFilePath())
        QFile::remove(linked);
    linked.clear();
}

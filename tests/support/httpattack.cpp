#include "support/httpattack.h"

#include <QFile>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A block of the socket's data, or nothing after timeoutMs.
QByteArray readSome(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return {};
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? QByteArray(buf, n) : QByteArray();
}

QByteArray statusLine(const QByteArray &answer)
{
    return answer.left(answer.indexOf("\r\n"));
}

// Sends the whole block; false once the server has cut the connection (or
// has not taken a byte for 2 s).
bool sendBlock(int fd, const char *data, size_t size, qint64 *sent)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        *sent += n;
        data += n;
        size -= size_t(n);
    }
    return true;
}
} // namespace

int connectFrom(const char *from, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval twoSeconds{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &twoSeconds, sizeof twoSeconds);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
        || ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

BodyAttack postBody(const char *from, quint16 port, qint64 bodyBytes)
{
    BodyAttack r;
    const int fd = connectFrom(from, port);
    if (fd < 0)
        return r;
    const QByteArray head = "POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + QByteArray::number(bodyBytes)
                            + "\r\n\r\n";
    const QByteArray block(64 * 1024, 'b');
    qint64 headSent = 0;
    if (sendBlock(fd, head.constData(), size_t(head.size()), &headSent)
        && sendBlock(fd, block.constData(), 4096, &r.sent)) {
        const auto start = Clock::now();
        QByteArray answer;
        while (!answer.contains("\r\n") && msSince(start) < 3000)
            answer += readSome(fd, 100);
        r.answer = statusLine(answer);
        r.sentBeforeAnswer = r.sent;
        const auto answered = Clock::now();
        while (r.sent < bodyBytes
               && sendBlock(fd, block.constData(), size_t(std::min<qint64>(block.size(), bodyBytes - r.sent)), &r.sent)) {
        }
        r.cutMs = msSince(answered);
    }
    ::close(fd);
    return r;
}

HeaderStream streamHeader(const char *from, quint16 port, qint64 totalBytes, qint64 bytesPerSecond)
{
    HeaderStream r;
    const QByteArray head = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Fill: ";
    const QByteArray block(16 * 1024, 'a');
    const auto start = Clock::now();
    while (r.sent < totalBytes) {
        const int fd = connectFrom(from, port);
        if (fd < 0)
            break;
        ++r.connections;
        const auto opened = Clock::now();
        bool open = sendBlock(fd, head.constData(), size_t(head.size()), &r.sent);
        while (open && r.sent < totalBytes) {
            // Paced: never ahead of bytesPerSecond since the start.
            const double dueMs = double(r.sent) * 1000.0 / double(bytesPerSecond);
            if (const double early = dueMs - msSince(start); early > 0)
                std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(early));
            open = sendBlock(fd, block.constData(), size_t(block.size()), &r.sent);
        }
        r.longestMs = std::max(r.longestMs, msSince(opened));
        if (r.connections == 1)
            r.firstAnswer = statusLine(readSome(fd, 200));
        ::close(fd);
    }
    return r;
}

Pipeline pipeline(const char *from, quint16 port, const QByteArray &request, int count, int pushMs)
{
    Pipeline r;
    const int fd = connectFrom(from, port);
    if (fd < 0)
        return r;
    const QByteArray all = request.repeated(count);
    qint64 sent = 0;
    const auto start = Clock::now();
    while (sent < all.size() && msSince(start) < pushMs) {
        const ssize_t n = ::send(fd, all.constData() + sent, size_t(std::min<qint64>(all.size() - sent, 65536)),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += n;
        else if (errno == EAGAIN)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        else
            break;
    }
    r.requestsSent = sent / request.size();
    // Held open, unread, to the end of the time.
    if (const double left = pushMs - msSince(start); left > 0)
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(left));
    ::close(fd);
    return r;
}

long statusKb(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLong();
    return -1;
}

void resetPeakMemory(qint64 pid)
{
    QFile refs(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

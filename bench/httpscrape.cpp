#include "httpscrape.h"
#include <QList>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

Scraper::Scraper(int port, QByteArray path, int intervalMs, int count)
    : port(port), path(std::move(path)), intervalMs(intervalMs), count(count), worker([this] { run(); })
{
}

Scraper::~Scraper()
{
    stopping = true;
    worker.join();
}

std::vector<double> Scraper::timesMs()
{
    std::lock_guard g(lock);
    return times;
}

void Scraper::run()
{
    int fd = -1;
    auto next = Clock::now();
    for (int n = 0; !stopping && n != count; ++n) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(intervalMs);
        const double ms = getOnce(fd);
        if (ms < 0) {
            ++failed;
            continue;
        }
        std::lock_guard g(lock);
        times.push_back(ms);
    }
    if (fd >= 0)
        ::close(fd);
    finished = true;
}

// -1 when no whole answer came.
double Scraper::getOnce(int &fd)
{
    if (fd < 0 && (fd = connectTo(port)) < 0)
        return -1;
    const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const auto start = Clock::now();
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size()) {
        ::close(std::exchange(fd, -1));
        return -1;
    }
    QByteArray got;
    qsizetype want = -1;
    char buf[65536];
    while (want < 0 || got.size() < want) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            ::close(std::exchange(fd, -1));
            return -1;
        }
        got.append(buf, n);
        const qsizetype end = got.indexOf("\r\n\r\n");
        if (want < 0 && end >= 0) {
            const qsizetype at = got.left(end).toLower().indexOf("content-length:");
            want = end + 4 + (at < 0 ? 0 : got.mid(at + 15, end - at - 15).split('\r').first().trimmed().toLongLong());
        }
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

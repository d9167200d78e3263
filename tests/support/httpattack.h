#pragma once
#include <QByteArray>
#include <QString>

// Clients that treat kalmird's HTTP endpoint as an attacker would, on
// plain blocking sockets. Each call blocks: run it in a thread of its own
// (std::async), so that the test's loop, which runs the simulator, is not
// slowed by the attack it measures. Each connects from address `from`
// (127.0.0.x), so that the endpoint's count of connections per address
// keeps one attack apart from the next.

// A POST with Content-Length `bodyBytes` and no token: the headers and the
// first 4 KiB of the body, then the answer awaited (up to 3 s) before any
// more is sent, then the rest in blocks until the server cuts it.
struct BodyAttack {
    QByteArray answer;    // the status line, or empty
    qint64 sentBeforeAnswer = 0; // bytes of the body sent when the answer came
    qint64 sent = 0;      // bytes of the body the socket took in all
    double cutMs = -1;    // from the answer to the cut
};
BodyAttack postBody(const char *from, quint16 port, qint64 bodyBytes);

// One header without end: "GET ... X-Fill: aaaa..." at most bytesPerSecond,
// on one connection after the other as the server cuts them, until
// totalBytes are sent.
struct HeaderStream {
    int connections = 0;
    double longestMs = 0; // the longest a connection took from its connect to its cut
    qint64 sent = 0;
    QByteArray firstAnswer; // what the server said on the first connection, if anything
};
HeaderStream streamHeader(const char *from, quint16 port, qint64 totalBytes, qint64 bytesPerSecond);

// `count` copies of `request` on one connection, as fast as the socket
// takes them for pushMs, none of the answers read; then closed.
struct Pipeline {
    qint64 requestsSent = 0; // whole requests the socket took
};
Pipeline pipeline(const char *from, quint16 port, const QByteArray &request, int count, int pushMs);

// A connected socket from address `from` (127.0.0.x) to 127.0.0.1:port, or -1.
int connectFrom(const char *from, quint16 port);

// kalmird's memory from /proc: a field of its status in KiB ("VmRSS:",
// "VmHWM:"), and the peak set back to what it holds now.
long statusKb(qint64 pid, const char *field);
void resetPeakMemory(qint64 pid);

#pragma once
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>

// Lines that a client on the network can cause, at most one a second per
// kind of line and client address. The first line of a key is written at
// once; the lines of that key in the second after it are counted instead,
// and when the second is over one line tells them:
//   "<the first line>: 12 more like this in the last 1 s"
// While they go on, that line comes once a second; a second without any
// frees the key. A flood from many addresses costs bounded memory: beyond
// MaxKeys keys at once the lines of any kind and address share one key,
// whose count says "(and other addresses)" after the first of them.
class LogThrottle : public QObject {
public:
    static constexpr int WindowMs = 1000;
    static constexpr int MaxKeys = 256;

    explicit LogThrottle(QObject *parent = nullptr);
    // The counts not told yet are told.
    ~LogThrottle() override;

    // `kind`: what happened, without what differs from one line of that
    // kind to the next ("gateway north connected"); `address`: the client's,
    // without its port; `line`: the text for logEvent.
    void log(const QString &kind, const QString &address, const QString &line);

private:
    struct Entry {
        qint64 sinceMs; // its last line was written then
        uint64_t more;  // lines held back since
        QString first;  // the line written first, which the counts refer to
    };
    void tell();
    QString summary(const Entry &e, qint64 nowMs) const;

    QHash<QString, Entry> entries;
    QElapsedTimer clock;
    QTimer tick;
};

// Through the process's LogThrottle (a child of the application object,
// made at the first call); outside the application's thread, or without
// one, straight to logEvent.
void logThrottled(const QString &kind, const QString &address, const QString &line);

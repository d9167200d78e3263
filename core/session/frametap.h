#pragma once
#include "link/exchangeresult.h"
#include "link/framerecord.h"
#include <QObject>

class LineChannel;
class LineService;

// Every frame on the line as records with their wire times, for the exchange
// monitor and its file. Attached only while someone watches: with no watcher
// the line's exchanges run with no record made.
class FrameTap : public QObject {
    Q_OBJECT
public:
    FrameTap(LineService &line, LineChannel &channel, QObject *parent = nullptr);

    void acquire(); // one watcher more; the first attaches
    void release(); // one fewer; the last detaches
    bool attached() const { return watchers > 0; }

signals:
    void frame(const FrameRecord &record);

private:
    void onExchange(const ExchangeResult &result);
    void onStray(const QByteArray &bytes, double firstMs, double lastMs);
    void publish(FrameRecord record);

    LineService &line;
    LineChannel &channel;
    int watchers = 0;
    qint64 wallAtZeroMs = 0;  // the wall clock at the channel's time 0
    double previousEndMs = -1;
};

// The records of one exchange, times on the channel's clock.
FrameRecord requestRecord(const ExchangeResult &result, double charMs);
FrameRecord replyRecord(const ExchangeResult &result, double charMs);

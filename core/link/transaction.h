#pragma once
#include "link/exchangeresult.h"
#include "link/framer.h"
#include "link/linechannel.h"
#include <QByteArray>
#include <QObject>

// One request/response exchange on the line. Purge, build the frame
// with its CRC, write the 8 bytes, then read up to 53 reply bytes. Only one
// runs at a time; each ends in one finished() that carries its result.
class Transaction : public QObject {
    Q_OBJECT
public:
    explicit Transaction(LineChannel &lineChannel, QObject *parent = nullptr);

    // Starts a transaction. Returns false, and does nothing, while one is
    // already under way. A port failure is reported through finished(), never
    // from inside this call, so every start ends in exactly one signal.
    // With answerMarginMs (>= 0) the query waits only for the start of an
    // answer: the request's wire time, 3.5 characters and the margin (the fast
    // search); an answer that has begun is read whole.
    bool query(uint8_t address, uint8_t function, uint16_t reg, uint16_t value, double answerMarginMs = -1);
    // Any request (address and PDU, 2 to 254 bytes, the CRC added here) for
    // a guest of the line: its answer ends by the length its function code
    // gives. Its first 8 bytes stand in the result's frame, the reply after.
    bool queryFrame(const QByteArray &request);

    // RTU unless set; the framer must outlive the transaction.
    void setFramer(const Framer &f) { framer = &f; }
    const Framer &framing() const { return *framer; }

signals:
    void finished(const ExchangeResult &result);

private:
    void onWritten();
    void onRead(int count);
    void onPortFailed(const Failure &failure);
    void fail(const Failure &failure);
    void failLater(const Failure &failure);
    bool begin();

    LineChannel &lineChannel;
    const Framer *framer = &rtuFramer();
    ExchangeResult current;
    bool running = false;
    bool writing = false;
    double boundMarginMs = -1; // the running query's; < 0: the full read window
    QByteArray raw;            // the running guest request, CRC included; empty for a query()
};

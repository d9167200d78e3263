#pragma once
#include "link/frames.h"
#include "link/serialchannel.h"
#include <QObject>

// One request/response exchange on the line. Purge, build the frame
// with its CRC, write the 8 bytes, then read up to 53 reply bytes into the
// exchange buffer from byte 8. Only one runs at a time; the caller is told
// the received count, or the port failure that ended it.
class Transaction : public QObject {
    Q_OBJECT
public:
    Transaction(SerialChannel &serialChannel, FrameBuffer &exchangeBuffer, QObject *parent = nullptr);

    // Starts a transaction. Returns false, and does nothing, while one is
    // already under way. A port failure is reported through failed(), never
    // from inside this call, so every start ends in exactly one signal.
    bool query(uint8_t address, uint8_t function, uint16_t reg, uint16_t value);
    bool busy() const { return running; }

signals:
    void finished(uint8_t count);
    void failed(const QString &message);

private:
    void onWritten();
    void onRead(int count);
    void onPortFailed(const QString &message);
    void fail(const QString &message);
    void end();

    SerialChannel &serialChannel;
    FrameBuffer &buf;
    bool running = false;
    bool writing = false;
};

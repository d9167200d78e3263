#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <deque>

class QTcpSocket;

// One guest's TCP connection: cuts its stream into requests (Modbus TCP's
// MBAP or whole RTU frames), one at a time: the next is read only once the
// one under way is answered or dropped. Closed when it sends no whole
// request for the idle time (a half one included), or a header that cannot
// be Modbus TCP, or 256 bytes in which no whole RTU frame with a good CRC
// begins; nothing is sent then.
class GuestConnection : public QObject {
    Q_OBJECT
public:
    enum class Kind { ModbusTcp, Rtu };

    GuestConnection(QTcpSocket *socket, Kind kind, int number, int idleTimeoutS, QObject *parent = nullptr);

    int number() const { return id; }
    Kind kind() const { return how; }
    // "127.0.0.1:53312"
    QString peer() const { return peerText; }
    // Sends the answer to the request under way: its PDU, framed as the
    // request was (the MBAP header, or address and CRC).
    void answer(const QByteArray &pdu);
    // Ends the request under way with nothing sent.
    void drop();
    void close(const QString &why);

signals:
    // A whole request: address (the unit id) and PDU, no CRC; its last byte
    // came ageMs ago (it may have waited behind the one before).
    void requested(GuestConnection *connection, const QByteArray &request, double ageMs);
    // The connection is gone; the object deletes itself later.
    void closed(GuestConnection *connection, const QString &why);

private:
    void onReadable();
    void takeRequests();
    bool takeMbap();
    bool takeRtu();
    bool takeRtuFrame(int length);
    // Takes `length` bytes from the front of the buffer; how long ago the last of them came.
    double consume(qsizetype length);
    void finish();
    void onIdle();

    QTcpSocket *socket;
    Kind how;
    int id;
    int idleMs;
    QString peerText;
    QByteArray buffer;
    std::deque<std::pair<qsizetype, qint64>> marks; // the buffer's size after a read, and when (on `clock`)
    QElapsedTimer clock;
    bool busy = false;   // a request is under way
    bool ended = false;
    bool hunting = false; // RTU: the front of the buffer is no frame; the next good one is looked for
    uint16_t transaction = 0; // the MBAP request under way
    uint8_t unit = 0;         // the address of the request under way
    QTimer idle;
};

#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTcpSocket>
#include <functional>
#include <optional>

// Turns the event loop until done() holds, at most timeoutMs; unlike
// QTest::qWaitFor it never sleeps, so a simulator in wire-time mode on the
// same loop keeps its times.
bool loopUntil(const std::function<bool()> &done, int timeoutMs);
// Turns the event loop for ms.
void loopFor(int ms);

// A Modbus TCP client on 127.0.0.1 for tests and benchmarks, on the
// caller's event loop: one request at a time, each answer's PDU and round
// trip kept. With repeat() every answer sends the request again at once.
class MbapClient : public QObject {
    Q_OBJECT
public:
    struct Answer {
        QByteArray pdu; // empty: the connection closed instead
        double roundTripMs = 0;
        uint16_t transaction = 0; // as the header gave it back
    };

    explicit MbapClient(quint16 port, QObject *parent = nullptr);
    ~MbapClient() override;
    // Turns the event loop until connected (from the address `from`, when
    // given); false if it was refused or closed.
    bool open(int timeoutMs = 3000, const QHostAddress &from = {});
    // Sends one request (unit and PDU) with the next transaction id.
    void send(uint8_t unit, const QByteArray &pdu);
    // Sends bytes as they are.
    void sendRaw(const QByteArray &bytes);
    // The next answer (or the close), turning the event loop; nullopt on time-out.
    std::optional<Answer> next(int timeoutMs);
    // send() now and again after every answer, until stop().
    void repeat(uint8_t unit, const QByteArray &pdu);
    void stop() { repeating = false; }
    bool isClosed() const { return closedSeen; }
    // Every request sent has its answer, or the connection closed.
    bool settled() const { return closedSeen || all.size() >= sent; }
    // Every answer so far, in order.
    const QList<Answer> &answers() const { return all; }
    QTcpSocket &socket() { return sock; }

private:
    void onReadable();

    QTcpSocket sock;
    quint16 port;
    QByteArray pending;
    QList<Answer> all;
    qsizetype taken = 0; // answers handed out by next()
    qsizetype sent = 0;  // requests written
    uint16_t transaction = 0;
    QElapsedTimer sentAt;
    bool repeating = false;
    bool closedSeen = false;
    uint8_t repeatUnit = 0;
    QByteArray repeatPdu;
};

#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

class QSocketNotifier;

// The far end of a pseudo-terminal, driven byte by byte by a test: what the
// program writes arrives in received(); what the test sends appears on the
// program's port. close() makes the far end vanish.
class PtyPeer : public QObject {
    Q_OBJECT
public:
    PtyPeer();
    ~PtyPeer() override;
    QString slavePath() const { return path; }
    void send(const QByteArray &bytes);
    QByteArray received() const { return rx; }
    void clearReceived() { rx.clear(); }
    void close();
    // The line speed the program set on its side of the pseudo-terminal.
    int baudRate() const;

signals:
    void bytesArrived();

private:
    void onReadable();
    int master = -1;
    int slaveKeep = -1;
    QString path;
    QByteArray rx;
    std::unique_ptr<QSocketNotifier> notifier;
};

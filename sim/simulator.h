#pragma once
#include "link/finetimer.h"
#include "sim/detector.h"
#include "sim/fault.h"
#include "sim/framelog.h"
#include "sim/ptyline.h"
#include "sim/rtu.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <memory>
#include <vector>

class QSocketNotifier;

// One or two detectors answering as Modbus RTU slaves on a pseudo-terminal.
// Runs on the event loop of the thread that owns it; nothing blocks.
//
// A detector answers a request addressed to it only while the line speed the
// client set on the slave side equals the detector's own speed. Replies go
// out at once (a pseudo-terminal has no wire time) unless a fault paces them,
// or wire-time mode keeps the times a real line at that speed would take.
class Simulator : public QObject {
    Q_OBJECT
public:
    explicit Simulator(QObject *parent = nullptr);
    ~Simulator() override;

    // Opens a new pseudo-terminal (closing any open one) and, if `linkPath`
    // is given, points that symbolic link at its slave side. False with
    // errorString() on failure.
    bool start(const QString &linkPath = {});
    // Closes the line and removes the link.
    void stop();
    bool isRunning() const { return line.isOpen(); }
    QString slavePath() const { return line.slavePath(); }
    QString linkPath() const { return line.linkPath(); }
    QString errorString() const { return error; }
    // The speed the client has set on the slave side, in baud.
    int lineBaud() const { return line.baud(); }

    // Adds a detector with default status. Several detectors with the same
    // address and speed: the first one added answers.
    Detector &addDetector(uint8_t address, int baud = 9600);
    QList<Detector *> detectors() const;
    // The first detector with this (current) address, or nullptr.
    Detector *detector(uint8_t address) const;

    // Frozen: the signals stay where they are, so the status block changes
    // only through writes and setRegister(). Freeze before adding detectors
    // to start them from the fixed default readings.
    void setFrozen(bool frozen);
    bool isFrozen() const { return frozen; }
    // The password that grants service access, for every detector.
    void setPassword(uint16_t password);

    // A fault for replies of every detector; a detector's own fault wins.
    void setFault(const Fault &fault) { global = fault; }
    Fault globalFault() const { return global; }
    // Clears the global fault and every detector's fault.
    void clearFaults();
    // Closes the line as if the cable were pulled: the client's port sees the
    // far end vanish and the link goes. With reopenAfterMs > 0 a new line
    // opens after that time, at the same link path.
    void dropLine(int reopenAfterMs = 0);

    // Wire time: a request counts as received only when its last character
    // would have arrived at the client's line speed (10 bits a character);
    // the reply starts no sooner than 3.5 characters plus `turnaroundMs`
    // after that, and its characters leave one character time apart. The
    // wire log stamps each frame with its span on the line. Off: instant.
    void setWireTime(bool on, int turnaroundMs = 0);
    bool wireTime() const { return wire; }
    // One character (10 bits) at the client's line speed, in ms.
    double charMs() const;

    // Also appends the wire log to this file ("" stops). False if it cannot open.
    bool setLogFile(const QString &path);
    QList<SimFrame> frames() const { return log.frames(); }
    // How many of the latest frames frames() keeps.
    void setFramesKept(int frames) { log.setKeep(frames); }
    void clearFrames() { log.clear(); }

    // An unfinished request is dropped after this much silence.
    static constexpr int SilenceGapMs = 20;
    // How often the signals move while not frozen.
    static constexpr int SignalTickMs = 200;

signals:
    void frameReceived(const QByteArray &frame);
    void frameSent(const QByteArray &frame);
    // The last byte of a reply has been written to the line (the moment its
    // client can have it all).
    void frameWritten();
    void lineOpened(const QString &slavePath);
    void lineDropped();

private:
    struct Chunk {
        QByteArray bytes;
        double dueMs;
        bool endsFrame = false;
    };
    // A piece of the master's stream and when its last character arrives.
    struct Arrival {
        rtu::RequestFramer::Piece piece;
        double lastMs;
    };

    void closeLine();
    void onReadable();
    void onWritable();
    void onSilence();
    void onTick();
    void takePieces(const QList<rtu::RequestFramer::Piece> &pieces);
    void takeOnWire(const QByteArray &bytes);
    void deliverArrivals();
    double nowMs() const { return double(clock.nsecsElapsed()) / 1e6; }
    void handleRequest(const QByteArray &request);
    Detector *answerer(const QByteArray &request) const;
    void queue(const QByteArray &bytes, int spreadMs, int delayMs = 0);
    void queueOnWire(const QByteArray &bytes, int spreadMs, int delayMs);
    void flushOutput();

    PtyLine line;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    rtu::RequestFramer framer;
    std::deque<Chunk> output;
    QTimer silenceTimer;
    FineTimer paceTimer;
    QTimer tickTimer;
    QTimer reopenTimer;
    FineTimer arrivalTimer;
    std::deque<Arrival> arrivals;
    bool wire = false;
    int turnaround = 0;
    double inFreeMs = 0;   // when the master's last character ends on the line
    double outFreeMs = 0;  // when our last queued character ends on the line
    double requestEndMs = -1; // the request being answered ended then
    QElapsedTimer clock;
    std::vector<std::unique_ptr<Detector>> devices;
    Fault global;
    FrameLog log;
    bool frozen = false;
    QString error;
    QString reopenLink;
};

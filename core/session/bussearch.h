#pragma once
#include "link/exchangeresult.h"
#include <QList>
#include <QObject>

class LineService;
struct SessionState;

// The bus search: the status read to every address from 1 to 247, one after
// another with no pause, listing each address that answers with a frame whose
// CRC checks to the device list; an answer that finds the list full is
// reported, not dropped in silence. A stop lets the probe in flight finish; no further address is
// probed.
class BusSearch : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstAddress = 1;
    static constexpr int LastAddress = 247;

    BusSearch(LineService &line, SessionState &state, QObject *parent = nullptr);

    // Refused (false) while the loop still runs, a stopped one included.
    bool start();
    void stop() { active = false; }
    bool isActive() const { return active; }
    bool running() const { return looping; }
    // The addresses of this search (or the last one) that answered but found no room.
    const QList<uint8_t> &unlisted() const { return withoutRoom; }

    // Fast: each probe waits only for the start of an answer, the request's
    // wire time, 3.5 characters and the margin; a started answer is read whole.
    // Taken at start().
    static constexpr double DefaultMarginMs = 30;
    void setFast(bool on) { fastWanted = on; }
    void setFastMarginMs(double ms) { marginMs = ms; }
    double fastMarginMs() const { return marginMs; }
    // How many addresses this search (or the last one) probed fast.
    int fastProbes() const { return probedFast; }

signals:
    void probeStarted(uint8_t address);
    // The probe of `address` is over: `count` bytes came back (0: none).
    void probed(uint8_t address, uint8_t count);
    void ended();                       // the loop is over: the end steps are due
    // The loop ended at an error. A file error leaves the search marked active,
    // so the next click on the button runs the stop steps.
    void failed(const Failure &failure);
    // An address answered but the device list had no room for it.
    void foundWithoutRoom(uint8_t address);

private:
    void probe();
    void onReply(const ExchangeResult &result);
    void onFailed(const Failure &failure);

    LineService &line;
    SessionState &state;
    bool active = false;
    bool looping = false;
    int address = FirstAddress;
    QList<uint8_t> withoutRoom;
    bool fastWanted = false;
    bool fast = false;
    double marginMs = DefaultMarginMs;
    int probedFast = 0;
};

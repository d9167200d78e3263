#pragma once
#include "link/linechannel.h"
#include "link/transaction.h"
#include "session/lineservice.h"
#include "session/sessionstate.h"
#include "sim/simulator.h"
#include <QTemporaryDir>
#include <QVariant>

// The result a finished() signal carried, from a QSignalSpy's row.
inline ExchangeResult exchangeResult(const QList<QVariant> &signalArgs)
{
    return signalArgs.at(0).value<ExchangeResult>();
}
// Its reply count, or -3 when the port failed under it.
inline int replyCount(const QList<QVariant> &signalArgs)
{
    const ExchangeResult r = exchangeResult(signalArgs);
    return r.outcome == ExchangeResult::Outcome::PortFailed ? -3 : r.count;
}

// The simulator on a pseudo-terminal with the program's port and shared
// state opened on it. Reads time out after readMs (the real line
// uses 531 ms; tests shorten it).
struct SimRig {
    QTemporaryDir dir;
    Simulator sim;
    LineChannel channel;
    SessionState state{2}; // as many as the window lists
    Transaction tx{channel};   // for tests of the link alone
    LineService line{channel}; // for the session's parts
    FrameBuffer frame; // the last exchange's request and reply

    explicit SimRig(int readMs = 60)
    {
        QObject::connect(&tx, &Transaction::finished, &tx, [this](const ExchangeResult &r) { frame = r.frame; });
        QObject::connect(&line, &LineService::exchanged, &line, [this](const ExchangeResult &r) { frame = r.frame; });
        sim.setFrozen(true);
        if (!sim.start())
            qFatal("simulator: %s", qPrintable(sim.errorString()));
        state.devices.setWorkDir(dir.path());
        channel.setTiming({0, readMs, 100, 1000});
        channel.setPortName(sim.slavePath());
        channel.setBaudRate(9600);
        state.baudCode = 8;
        channel.open();
    }
    // Requests the simulator received, in order.
    QList<QByteArray> received() const
    {
        QList<QByteArray> out;
        for (const SimFrame &f : sim.frames())
            if (f.direction == SimFrame::Received)
                out << f.bytes;
        return out;
    }
};

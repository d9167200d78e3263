#pragma once
#include "link/serialchannel.h"
#include "link/transaction.h"
#include "session/sessionstate.h"
#include "sim/simulator.h"
#include <QTemporaryDir>

// The simulator on a pseudo-terminal with the program's port, buffer and
// shared state opened on it. Reads time out after readMs (the real line
// uses 531 ms; tests shorten it).
struct SimRig {
    QTemporaryDir dir;
    Simulator sim;
    SerialChannel channel;
    SessionState state;
    Transaction tx{channel, state.exchangeBuffer};

    explicit SimRig(int readMs = 60)
    {
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

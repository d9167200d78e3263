#pragma once
#include "app/devicelist.h"
#include "chart/averages.h"
#include "link/frames.h"
#include "polling/devicestatus.h"
#include <cstdint>

// The state that the windows, the polling cycle and the bus search share.
// One object, created with the main window and handed to whoever needs it.
struct SharedState {
    FrameBuffer ExchangeBuffer;
    uint8_t PendingCommand = 0; // CommandCode 1..41, 0 for none
    // Bumped by every store, so a pass can tell the request it sent from the
    // same code stored again while it waited for the reply.
    uint32_t CommandStamp = 0;
    uint8_t ChannelMask = 0;    // dust, IR, UV enable bits
    uint8_t BaudCode = 0;       // line speed / 1200
    DeviceList deviceList;
    DeviceStatus status;        // the last good status reply, from any device
    MovingAverages averages;

    // A user action or the configuration-mark rule queues a code, replacing
    // one not yet sent.
    void storeCommand(uint8_t code)
    {
        PendingCommand = code;
        ++CommandStamp;
    }

    // The clearing rule: a pass clears the code only if it is still the very
    // store it sent, so a code stored meanwhile, even the same one again, is
    // never consumed by another reply.
    void clearCommand(uint8_t sent, uint32_t sentStamp)
    {
        if (PendingCommand == sent && CommandStamp == sentStamp)
            PendingCommand = 0;
    }
};

#pragma once
#include "link/frames.h"
#include <QByteArray>

// How frames are made and checked on a line: what closes a request, when
// a reply is whole, whether it came intact. The exchange asks it and hands
// its verdict on with the result, so nothing above the link checks a CRC.
// RTU today; Modbus TCP framing would be one more.
class Framer {
public:
    virtual ~Framer() = default;
    // The function-6/function-3 request (address, function, register, value), closed.
    virtual void buildRequest(FrameBuffer &frame, uint8_t address, uint8_t function, uint16_t reg,
                              uint16_t value) const = 0;
    // Any request (address and PDU), closed.
    virtual QByteArray close(const QByteArray &request) const = 0;
    // 0 when the first `count` reply bytes are a whole answer to this request, else
    // how many more at least. `anyFunction`: by the function's length alone (a guest's).
    virtual int awaited(const uint8_t *request, const uint8_t *reply, int count, bool anyFunction) const = 0;
    // The reply's own check holds (RTU: its CRC); false for fewer bytes than a frame.
    virtual bool intact(const uint8_t *reply, int count) const = 0;
};

// RTU: a CRC-16 after each frame, low byte first.
class RtuFramer : public Framer {
public:
    void buildRequest(FrameBuffer &frame, uint8_t address, uint8_t function, uint16_t reg,
                      uint16_t value) const override;
    QByteArray close(const QByteArray &request) const override;
    int awaited(const uint8_t *request, const uint8_t *reply, int count, bool anyFunction) const override;
    bool intact(const uint8_t *reply, int count) const override;
};

// The framer every line uses unless told otherwise.
const Framer &rtuFramer();

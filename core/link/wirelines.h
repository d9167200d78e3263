#pragma once
#include <QString>
#include <QStringView>
#include <cstdint>

struct FrameBuffer;

// The lines of the request and reply logs, built from the exchange buffer.
// Bytes as unsigned decimals joined by separator.
QString bytesText(const uint8_t *bytes, int count, QStringView separator);

// Request log: request bytes 0-7 separated by one space ("1 3 0 1 0 24 20 0").
QString requestLine(const FrameBuffer &buf);
// Reply log after a CRC mismatch: "CRCerror:  " and reply bytes 0-10, two spaces apart.
QString crcErrorLine(const FrameBuffer &buf);
// Reply log after an acknowledged write: reply bytes 0-7, two spaces apart.
QString ackLine(const FrameBuffer &buf);
// Reply log after a status read: reply bytes 0-4 and 13-18, two spaces apart.
QString statusLine(const FrameBuffer &buf);

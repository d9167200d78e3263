#pragma once
// The write requests among the frames a simulator received, and the status
// reads that followed the first of them.
#include <QByteArray>
#include <QList>
#include <cstdint>

inline QList<QByteArray> writes(const QList<QByteArray> &frames)
{
    QList<QByteArray> out;
    for (const QByteArray &f : frames)
        if (uint8_t(f[1]) == 6)
            out << f;
    return out;
}

// Status reads received after the first write among `frames` (or after the
// start, when there is none).
inline int statusReadsAfterWrite(const QList<QByteArray> &frames)
{
    int n = 0;
    bool counting = writes(frames).isEmpty();
    for (const QByteArray &f : frames) {
        if (uint8_t(f[1]) == 6)
            counting = true;
        else if (counting)
            ++n;
    }
    return n;
}

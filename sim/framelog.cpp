#include "sim/framelog.h"

#include <algorithm>

namespace {

const char *directionTag(SimFrame::Direction d)
{
    switch (d) {
    case SimFrame::Received: return "RX";
    case SimFrame::Sent: return "TX";
    case SimFrame::Discarded: return "JUNK";
    }
    return "?";
}

} // namespace

const SimFrame &FrameLog::add(SimFrame::Direction direction, const QByteArray &bytes, double firstMs, double lastMs)
{
    if (entries.size() >= keep)
        entries.removeFirst();
    const bool wire = firstMs >= 0 && lastMs >= 0;
    entries.append(SimFrame{double(clock.nsecsElapsed()) / 1e9, direction, bytes, wire ? firstMs / 1000 : -1,
                            wire ? lastMs / 1000 : -1});
    if (file.isOpen()) {
        file.write(formatLine(entries.last()).toLatin1() + '\n');
        file.flush();
    }
    return entries.last();
}

bool FrameLog::setFile(const QString &path)
{
    file.close();
    if (path.isEmpty())
        return true;
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

QString FrameLog::formatLine(const SimFrame &frame)
{
    const QString when = frame.lastChar >= 0
        ? QStringLiteral("%1-%2").arg(frame.firstChar, 0, 'f', 4).arg(frame.lastChar, 0, 'f', 4)
        : QString::number(frame.time, 'f', 3);
    return QStringLiteral("%1 %2 %3")
        .arg(when)
        .arg(QLatin1String(directionTag(frame.direction)))
        .arg(QString::fromLatin1(frame.bytes.toHex(' ').toUpper()));
}

void FrameLog::setKeep(int frames)
{
    keep = std::max(frames, 1);
    while (entries.size() > keep)
        entries.removeFirst();
}

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

const SimFrame &FrameLog::add(SimFrame::Direction direction, const QByteArray &bytes)
{
    if (entries.size() >= keep)
        entries.removeFirst();
    entries.append(SimFrame{double(clock.nsecsElapsed()) / 1e9, direction, bytes});
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
    return QStringLiteral("%1 %2 %3")
        .arg(frame.time, 0, 'f', 3)
        .arg(QLatin1String(directionTag(frame.direction)))
        .arg(QString::fromLatin1(frame.bytes.toHex(' ').toUpper()));
}

void FrameLog::setKeep(int frames)
{
    keep = std::max(frames, 1);
    while (entries.size() > keep)
        entries.removeFirst();
}

#include "link/wirelines.h"
#include "link/frames.h"
#include <initializer_list>

QString bytesText(const uint8_t *bytes, int count, QStringView separator)
{
    QString text;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            text += separator;
        text += QString::number(bytes[i]);
    }
    return text;
}

namespace {
QString replyBytes(const FrameBuffer &buf, std::initializer_list<int> offsets)
{
    QString text;
    for (int i : offsets) {
        if (!text.isEmpty())
            text += u"  ";
        text += QString::number(buf.at(i));
    }
    return text;
}
} // namespace

QString requestLine(const FrameBuffer &buf)
{
    return bytesText(buf.request(), RequestLength, u" ");
}

QString crcErrorLine(const FrameBuffer &buf)
{
    return QStringLiteral("CRCerror:  ") + bytesText(buf.reply(), 11, u"  ");
}

QString ackLine(const FrameBuffer &buf)
{
    return bytesText(buf.reply(), RequestLength, u"  ");
}

QString statusLine(const FrameBuffer &buf)
{
    return replyBytes(buf, {0, 1, 2, 3, 4, 13, 14, 15, 16, 17, 18});
}

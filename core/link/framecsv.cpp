#include "link/framecsv.h"
#include "link/wirelines.h"

#include <QDateTime>

QStringList frameColumnTitles(bool hex)
{
    return {QStringLiteral("Время"), QStringLiteral("Пауза, мс"), QStringLiteral("Пауза, симв."),
            QStringLiteral("Напр."), QStringLiteral("Адрес"), QStringLiteral("Функция"),
            QStringLiteral("Длина"), hex ? QStringLiteral("Байты (hex)") : QStringLiteral("Байты (дес.)"),
            QStringLiteral("Итог"), QStringLiteral("Ответ через, мс"), QStringLiteral("Длит. ответа, мс")};
}

QString frameBytesText(const QByteArray &bytes, bool hex)
{
    if (hex)
        return QString::fromLatin1(bytes.toHex(' ').toUpper());
    return bytesText(reinterpret_cast<const uint8_t *>(bytes.constData()), int(bytes.size()), u" ");
}

QString frameCell(const FrameRecord &r, FrameColumn column, bool hex, bool dated)
{
    switch (column) {
    case FrameColumn::Time:
        return QDateTime::fromMSecsSinceEpoch(r.wallMs)
            .toString(dated ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz") : QStringLiteral("HH:mm:ss.zzz"));
    case FrameColumn::SinceMs:
        return msText(r.sincePreviousMs);
    case FrameColumn::SinceChars:
        return r.sincePreviousMs < 0 ? QString() : msText(r.sincePreviousMs / r.charMs);
    case FrameColumn::Direction:
        return directionText(r.direction);
    case FrameColumn::Address:
        return r.address < 0 ? QString() : QString::number(r.address);
    case FrameColumn::Function:
        return r.function < 0 ? QString() : QString::number(r.function);
    case FrameColumn::Length:
        return QString::number(r.bytes.size());
    case FrameColumn::Bytes:
        return frameBytesText(r.bytes, hex);
    case FrameColumn::Verdict:
        return verdictText(r);
    case FrameColumn::AnswerAfter:
        return msText(r.answerAfterMs);
    case FrameColumn::Span:
        return msText(r.spanMs);
    case FrameColumn::Count:
        break;
    }
    return {};
}

namespace {
QByteArray csvRow(const QStringList &cells)
{
    return cells.join(u';').toUtf8() + "\r\n";
}
} // namespace

QByteArray frameCsvHeader()
{
    return QByteArray("\xEF\xBB\xBF") + csvRow(frameColumnTitles(true));
}

QByteArray frameCsvLine(const FrameRecord &record)
{
    QStringList cells;
    for (int c = 0; c < int(FrameColumn::Count); ++c)
        cells << frameCell(record, FrameColumn(c), true, true);
    return csvRow(cells);
}

bool FrameCsvFile::open(const QString &path)
{
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    return file.size() > 0 || file.write(frameCsvHeader()) >= 0;
}

bool FrameCsvFile::append(const FrameRecord &record)
{
    const QByteArray line = frameCsvLine(record);
    return file.write(line) == line.size() && file.flush();
}

#pragma once
#include "link/framerecord.h"
#include <QFile>
#include <QStringList>

// The columns of the exchange monitor, shared by its table, its CSV and the
// file of --monitor, so the three always agree.
enum class FrameColumn {
    Time, SinceMs, SinceChars, Direction, Address, Function, Length, Bytes, Verdict, AnswerAfter, Span, Count
};
QStringList frameColumnTitles(bool hex);
// One cell; `dated`: the time with its date (files), else the time of day.
QString frameCell(const FrameRecord &record, FrameColumn column, bool hex, bool dated = false);
// "01 03 00 01" or "1 3 0 1".
QString frameBytesText(const QByteArray &bytes, bool hex);

// CSV as a Russian spreadsheet opens it: UTF-8 with a BOM, ';' between
// cells, CR LF, the time with its date, bytes in hex.
QByteArray frameCsvHeader();
QByteArray frameCsvLine(const FrameRecord &record);

// Appends frames to a CSV file, writing the BOM and the header into an empty
// one; each row is flushed as it is written.
class FrameCsvFile {
public:
    bool open(const QString &path); // false with errorString()
    QString errorString() const { return file.errorString(); }
    bool append(const FrameRecord &record);

private:
    QFile file;
};

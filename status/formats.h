#pragma once
#include <QChar>
#include <QLocale>
#include <QString>
#include <QStringView>
#include <QTime>
#include <cstdint>

struct FrameBuffer;

// The system's decimal separator (first character of QLocale::system()'s).
QChar systemDecimalSeparator();

// A value in tenths divided by 10: one decimal digit, none when whole
// (235 -> "23.5", 230 -> "23", -5 -> "-0.5").
QString tenthsText(int value, QChar decimalSeparator);
QString tenthsText(int value);

QString versionText(uint8_t major, uint8_t minor, uint8_t build); // "v.1.2.103"
QString heaterPointText(int16_t degrees);  // "+25°C"; "+-5°C" for -5
QString testCounterText(int16_t counter);  // "Тест -12"
QString uvFaultText(int16_t hours);        // "T_UV_FAULT: 8 ч."

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

// A long time format with its time-zone fields removed ("HH:mm:ss t" ->
// "HH:mm:ss", "t HH:mm:ss" -> "HH:mm:ss"). Quoted literals are kept.
QString timeFormatWithoutZone(const QString &format);
// Time of day in the locale's long time format without the zone.
QString timeOfDayText(QTime time, const QLocale &locale);
QString timeOfDayText(QTime time); // QLocale::system()

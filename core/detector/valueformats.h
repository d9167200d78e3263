#pragma once
#include <QChar>
#include <QLocale>
#include <QString>
#include <QStringView>
#include <QTime>
#include <cstdint>

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

// A long time format with its time-zone fields removed ("HH:mm:ss t" ->
// "HH:mm:ss", "t HH:mm:ss" -> "HH:mm:ss"). Quoted literals are kept.
QString timeFormatWithoutZone(const QString &format);
// Time of day in the locale's long time format without the zone.
QString timeOfDayText(QTime time, const QLocale &locale);
QString timeOfDayText(QTime time); // QLocale::system()

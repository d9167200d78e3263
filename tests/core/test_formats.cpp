#include "link/frames.h"
#include "detector/valueformats.h"
#include "link/wirelines.h"
#include <QtTest>

class TestFormats : public QObject {
    Q_OBJECT
private slots:
    void tenths()
    {
        const struct { int value; const char *point, *comma; } cases[] = {
            {235, "23.5", "23,5"},   {230, "23", "23"},          {-5, "-0.5", "-0,5"},
            {3, "0.3", "0,3"},       {-230, "-23", "-23"},       {0, "0", "0"},
            {-1, "-0.1", "-0,1"},    {32767, "3276.7", "3276,7"}, {-32768, "-3276.8", "-3276,8"},
        };
        for (const auto &c : cases) {
            QCOMPARE(tenthsText(c.value, u'.'), QString(c.point));
            QCOMPARE(tenthsText(c.value, u','), QString(c.comma));
        }
    }

    void systemLocaleConveniences()
    {
        // main() runs this test with a Russian system locale.
        QCOMPARE(systemDecimalSeparator(), QChar(u','));
        QCOMPARE(tenthsText(-5), QStringLiteral("-0,5"));
        QCOMPARE(timeOfDayText(QTime(9, 5, 1)), QStringLiteral("09:05:01"));
    }

    void captions()
    {
        QCOMPARE(versionText(1, 2, 103), QStringLiteral("v.1.2.103"));
        QCOMPARE(versionText(255, 0, 255), QStringLiteral("v.255.0.255"));
        QCOMPARE(heaterPointText(25), QStringLiteral("+25°C"));
        QCOMPARE(heaterPointText(-5), QStringLiteral("+-5°C"));
        QCOMPARE(testCounterText(12), QStringLiteral("Тест -12"));
        QCOMPARE(testCounterText(-3), QStringLiteral("Тест --3"));
        QCOMPARE(uvFaultText(8), QStringLiteral("T_UV_FAULT: 8 ч."));
    }

    void logLines()
    {
        FrameBuffer buf;
        buf.buildRequest(1, 3, 1, 24);
        QCOMPARE(requestLine(buf), QStringLiteral("1 3 0 1 0 24 20 0"));
        buf.buildRequest(247, 3, 1, 24);
        QCOMPARE(requestLine(buf), QStringLiteral("247 3 0 1 0 24 0 150"));

        for (int i = 0; i < 53; ++i)
            buf.reply()[i] = uint8_t(200 + i); // every shown byte distinct
        QCOMPARE(crcErrorLine(buf), QStringLiteral("CRCerror:  200  201  202  203  204  205  206  207  208  209  210"));
        QCOMPARE(ackLine(buf), QStringLiteral("200  201  202  203  204  205  206  207"));
        QCOMPARE(statusLine(buf), QStringLiteral("200  201  202  203  204  213  214  215  216  217  218"));
    }

    void zoneRemovedFromTimeFormat()
    {
        const struct { const char *format, *expected; } cases[] = {
            {"HH:mm:ss t", "HH:mm:ss"},
            {"t HH:mm:ss", "HH:mm:ss"},
            {"h:mm:ss AP t", "h:mm:ss AP"},
            {"AP t h:mm", "AP h:mm"},
            {"HH:mm:ss tttt", "HH:mm:ss"},
            {"HH 'at' mm t", "HH 'at' mm"}, // a quoted t is text, not the zone
            {"HH:mm:ss", "HH:mm:ss"},
        };
        for (const auto &c : cases)
            QCOMPARE(timeFormatWithoutZone(QString(c.format)), QString(c.expected));
        QCOMPARE(timeFormatWithoutZone(QStringLiteral("H:mm:ss 'ч'. t")), QStringLiteral("H:mm:ss 'ч'."));
    }

    void timeOfDayInLocales()
    {
        const struct { const char *locale, *expected; } cases[] = {
            {"C", "14:03:27"},     {"ru_RU", "14:03:27"}, {"en_US", "2:03:27 PM"},
            {"zh_CN", "14:03:27"}, {"fi_FI", "14.03.27"},
        };
        for (const auto &c : cases)
            QCOMPARE(timeOfDayText(QTime(14, 3, 27), QLocale(c.locale)), QString(c.expected));
        QCOMPARE(timeOfDayText(QTime(14, 3, 27), QLocale("bg_BG")), QStringLiteral("14:03:27 ч."));
    }
};

int main(int argc, char **argv)
{
    qputenv("LC_ALL", "ru_RU.UTF-8"); // a fixed system locale, whatever the machine uses
    QCoreApplication app(argc, argv);
    TestFormats test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_formats.moc"

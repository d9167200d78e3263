#include "link/crc.h"
#include "link/frames.h"
#include "link/inttext.h"
#include <QtTest>

class FramesIntText : public QObject {
    Q_OBJECT
private slots:
    void crcCheckValue()
    {
        const QByteArray text("123456789");
        QCOMPARE(crc16Modbus(reinterpret_cast<const uint8_t *>(text.constData()), 9), uint16_t(0x4B37));
        QCOMPARE(crc16Modbus(nullptr, 0), uint16_t(0xFFFF));
    }

    void workedRequests_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("address 1") << 1 << QByteArray::fromHex("010300010018 1400");
        QTest::newRow("address 247") << 247 << QByteArray::fromHex("F70300010018 0096");
    }
    void workedRequests()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, frame);
        FrameBuffer b;
        b.buildRequest(uint8_t(address), FnReadHolding, 1, 24);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(b.request()), 8), frame);
        QCOMPARE(b.requestCrc, uint16_t(uint8_t(frame[6]) | uint8_t(frame[7]) << 8));
    }

    void replyCheck()
    {
        FrameBuffer b;
        // A write echo is good when its last two bytes are the CRC, low byte first.
        b.buildRequest(5, FnWriteSingle, 15, 3);
        std::copy_n(b.request(), 8, b.reply());
        QVERIFY(b.replyCrcOk(8));
        std::swap(b.reply()[6], b.reply()[7]);
        QVERIFY(!b.replyCrcOk(8));

        // A full status reply: CRC over the first 51 bytes in bytes 51 and 52.
        uint8_t *r = b.reply();
        r[0] = 1; r[1] = 3; r[2] = 48;
        for (int i = 3; i < 51; ++i)
            r[i] = uint8_t(i * 7);
        const uint16_t crc = crc16Modbus(r, 51);
        r[51] = uint8_t(crc); r[52] = uint8_t(crc >> 8);
        QVERIFY(b.replyCrcOk(53));
        r[20] ^= 1;
        QVERIFY(!b.replyCrcOk(53));
    }

    void shortCountsCoverNothing()
    {
        FrameBuffer b;
        b.bytes.fill(0xFF);
        for (int count : {0, 1, 2}) {
            b.replyCrc = 0;
            b.computeReplyCrc(uint8_t(count));
            QCOMPARE(b.replyCrc, uint16_t(0xFFFF));
            QVERIFY(!b.replyCrcOk(uint8_t(count)));
        }
    }

    void everyCountStaysInsideTheBuffer()
    {
        // Under AddressSanitizer an out-of-bounds read here fails the run.
        auto b = std::make_unique<FrameBuffer>();
        for (int count = 0; count <= 255; ++count)
            b->replyCrcOk(uint8_t(count));
        QVERIFY(b->bytes.size() >= 8 + 255);
    }

    void shortReplyLeavesTailOfLongerOne()
    {
        FrameBuffer b;
        std::fill_n(b.reply(), 53, uint8_t(0xAB));
        b.buildRequest(1, FnWriteSingle, 1, 1);
        std::copy_n(b.request(), 8, b.reply());
        QVERIFY(b.replyCrcOk(8));
        QCOMPARE(b.at(8), uint8_t(0xAB));
    }

    void integerText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << "600" << true << 600;
        QTest::newRow("leading blanks") << "  12" << true << 12;
        QTest::newRow("leading tab") << "\t7" << true << 7;
        QTest::newRow("plus") << "+7" << true << 7;
        QTest::newRow("minus") << "-1" << true << -1;
        QTest::newRow("dollar hex") << "$1F" << true << 31;
        QTest::newRow("x hex") << "x1F" << true << 31;
        QTest::newRow("X hex") << "X1f" << true << 31;
        QTest::newRow("0x hex") << "0x10" << true << 16;
        QTest::newRow("negative hex") << "-$10" << true << -16;
        QTest::newRow("max") << "2147483647" << true << 2147483647;
        QTest::newRow("min") << "-2147483648" << true << int(-2147483648LL);
        QTest::newRow("hex max") << "$7FFFFFFF" << true << 2147483647;
        QTest::newRow("leading zeros") << "000012" << true << 12;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("blanks only") << "   " << false << 0;
        QTest::newRow("overflow") << "2147483648" << false << 0;
        QTest::newRow("underflow") << "-2147483649" << false << 0;
        QTest::newRow("hex overflow") << "$80000000" << false << 0;
        QTest::newRow("huge") << "99999999999999999999999" << false << 0;
        QTest::newRow("bare 0x") << "0x" << false << 0;
        QTest::newRow("bare dollar") << "$" << false << 0;
        QTest::newRow("bare minus") << "-" << false << 0;
        QTest::newRow("trailing blank") << "12 " << false << 0;
        QTest::newRow("exponent") << "1e3" << false << 0;
        QTest::newRow("decimal point") << "1.5" << false << 0;
        QTest::newRow("double sign") << "--1" << false << 0;
        QTest::newRow("sign after blank inside") << "- 1" << false << 0;
        QTest::newRow("hex digit in decimal") << "1F" << false << 0;
        QTest::newRow("arabic-indic digits") << QString::fromUtf8("\u0661\u0662") << false << 0;
        QTest::newRow("fullwidth digit") << QString::fromUtf8("\uFF11") << false << 0;
        QTest::newRow("cyrillic") << QString::fromUtf8("12а") << false << 0;
    }
    void integerText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, value);
        const Result<int32_t> read = readTypedInteger(text);
        if (valid) {
            QCOMPARE(*read, value);
            return;
        }
        QVERIFY2(!read, "accepted an invalid integer text");
        QCOMPARE(windowText(read.failure()), QStringLiteral("'%1' is not a valid integer value").arg(text));
    }

    void low16Bits()
    {
        QCOMPARE(low16(-1), uint16_t(0xFFFF));
        QCOMPARE(low16(65536 + 44), uint16_t(44));
        QCOMPARE(low16(int(-2147483648LL)), uint16_t(0));
    }
};

QTEST_GUILESS_MAIN(FramesIntText)
#include "test_frames_inttext.moc"

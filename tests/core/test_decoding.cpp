#include "link/crc.h"
#include "link/frames.h"
#include "detector/devicestatus.h"
#include "detector/replykind.h"
#include <QtTest>

namespace {
// Puts bytes and their CRC at the start of the reply area; returns the count.
uint8_t putReply(FrameBuffer &buf, std::initializer_list<uint8_t> bytes)
{
    uint8_t n = 0;
    for (uint8_t b : bytes)
        buf.reply()[n++] = b;
    const uint16_t crc = crc16Modbus(buf.reply(), n);
    buf.reply()[n++] = uint8_t(crc & 0xFF);
    buf.reply()[n++] = uint8_t(crc >> 8);
    return n;
}

// A 53-byte status reply: address, 3, 48, 24 registers high byte first, CRC.
struct StatusReply {
    FrameBuffer buf;
    uint16_t regs[25] = {};
    StatusReply() { seal(); }
    void setRegister(int n, uint16_t value)
    {
        regs[n] = value;
        seal();
    }
    void seal()
    {
        uint8_t *r = buf.reply();
        r[0] = 1, r[1] = 3, r[2] = 48;
        for (int n = 1; n <= 24; ++n)
            r[1 + 2 * n] = uint8_t(regs[n] >> 8), r[2 + 2 * n] = uint8_t(regs[n]);
        const uint16_t crc = crc16Modbus(r, 51);
        r[51] = uint8_t(crc & 0xFF), r[52] = uint8_t(crc >> 8);
    }
    DeviceStatus decode() const { return decodeStatus(buf); }
};

// Every decoded field in register order, widened so that signedness shows.
QList<qint64> fields(const DeviceStatus &s)
{
    return {s.modeFlags, s.alarmFlags, s.dustSignal, s.heaterPoint, s.dustThreshold, s.temperatureTenths, s.irSignal, s.uvSignal, s.irThreshold, s.uvThreshold,
            s.channelFlags, s.versionBuild, s.versionMajor, s.versionMinor, s.irNoise, s.g36, s.g42,
            s.serialNumber, s.supplyTenths, s.hv400Tenths, s.accessState, s.testCounter, s.configMark, s.uvFaultHours};
}
} // namespace

class TestDecoding : public QObject {
    Q_OBJECT
private slots:
    void everyRegisterAtItsOffset()
    {
        // Distinct values with the top bit set: a wrong offset, a swapped byte
        // or a wrong sign all show.
        StatusReply r;
        auto raw = [](int n) { return qint64(0x8000 | n << 8 | (0x10 + n)); };
        auto neg = [&](int n) { return raw(n) - 65536; };
        for (int n = 1; n <= 24; ++n)
            r.setRegister(n, uint16_t(raw(n)));
        const QList<qint64> expected{
            raw(1) >> 8, raw(1) & 0xFF, neg(2), neg(3), neg(4), neg(5), neg(6), neg(7), neg(8), neg(9),
            raw(10),                                       // ChannelFlags
            raw(11) & 0xFF, raw(12) >> 8, raw(12) & 0xFF, // build, major, minor
            neg(13), neg(14), neg(15),
            raw(16),                                       // SERIAL
            neg(17), neg(18),
            raw(19),                                       // AccessState
            neg(20),
            raw(21),                                       // ConfigMark
            neg(22)};
        QCOMPARE(fields(r.decode()), expected);
    }

    void sameBytesSignedAndUnsigned()
    {
        StatusReply r;
        r.setRegister(6, 0xFFFF);
        r.setRegister(16, 0xFFFF);
        r.setRegister(5, 0x00EB);
        r.setRegister(17, 0xFFFB);
        const DeviceStatus s = r.decode();
        QCOMPARE(int(s.irSignal), -1);
        QCOMPARE(int(s.serialNumber), 65535);
        QCOMPARE(int(s.temperatureTenths), 235);
        QCOMPARE(int(s.supplyTenths), -5);
    }

    void versionIgnoresHighByteOfRegister11()
    {
        for (int high : {0, 0x55, 0xFF}) {
            StatusReply r;
            r.setRegister(11, uint16_t(high << 8 | 103));
            r.setRegister(12, 1 << 8 | 2);
            const DeviceStatus s = r.decode();
            QCOMPARE(int(s.versionMajor), 1);
            QCOMPARE(int(s.versionMinor), 2);
            QCOMPARE(int(s.versionBuild), 103);
        }
    }

    void modeBits()
    {
        // One mode bit at a time in the high byte of register 1, every alarm
        // bit set in its low byte, so a mix-up of the two bytes shows.
        StatusReply r;
        for (int bit = 0; bit < 8; ++bit) {
            r.setRegister(1, uint16_t((1 << bit) << 8 | 0xFF));
            const DeviceStatus s = r.decode();
            const bool got[] = {s.fast(),       s.far(),           s.fireLatch(),  s.fireRelay(),
                                s.faultRelay(), s.heaterEnabled(), s.heaterMark(), s.faultLatch()};
            for (int i = 0; i < 8; ++i)
                QVERIFY2(got[i] == (i == bit), qPrintable(QStringLiteral("bit %1, field %2").arg(bit).arg(i)));
        }
    }

    void alarmAndChannelBits()
    {
        StatusReply r;
        const struct { int low; bool fire, fault, dust; } alarms[] = {
            {0x01, true, false, false}, {0x02, false, true, false}, {0x04, false, false, true},
            {0xF8, false, false, false}, // bits 3-7 mean nothing
        };
        for (const auto &a : alarms) {
            r.setRegister(1, uint16_t(a.low));
            const DeviceStatus s = r.decode();
            QCOMPARE(s.fire(), a.fire);
            QCOMPARE(s.fault(), a.fault);
            QCOMPARE(s.dust(), a.dust);
            QCOMPARE(int(s.modeFlags), 0);
        }
        const struct { uint16_t flags; bool dust, ir, uv; int bits; } channels[] = {
            {0x0001, true, false, false, 1}, {0x0002, false, true, false, 2},  {0x0004, false, false, true, 4},
            {0x0007, true, true, true, 7},   {0xFFF8, false, false, false, 0}, {0x0105, true, false, true, 5},
        };
        for (const auto &c : channels) {
            r.setRegister(10, c.flags);
            const DeviceStatus s = r.decode();
            QCOMPARE(s.dustChannel(), c.dust);
            QCOMPARE(s.irChannel(), c.ir);
            QCOMPARE(s.uvChannel(), c.uv);
            QCOMPARE(int(s.channelBits()), c.bits);
        }
    }

    void accessAndConfigMark()
    {
        StatusReply r;
        for (auto [value, granted] : {std::pair{0x6B4D, true}, {0x6B4C, false}, {0x4D6B, false}, {0, false}}) {
            r.setRegister(19, uint16_t(value));
            QCOMPARE(r.decode().serviceAccess(), granted);
        }
        for (auto [value, ok] : {std::pair{24679, true}, {24678, false}, {0, false}}) {
            r.setRegister(21, uint16_t(value));
            QCOMPARE(r.decode().configMarkOk(), ok);
        }
    }

    void registers23And24AreNotDecoded()
    {
        StatusReply r;
        for (int n = 1; n <= 22; ++n)
            r.setRegister(n, uint16_t(n * 1111));
        const QList<qint64> before = fields(r.decode());
        r.setRegister(23, 0xFFFF);
        r.setRegister(24, 0x1234);
        QCOMPARE(fields(r.decode()), before);
    }

    void shortReplyDecodesLeftovers()
    {
        // A CRC-correct exception reply overwrites only five bytes; decoding
        // reads its fixed offsets whatever they hold.
        StatusReply r;
        r.setRegister(6, 512);
        putReply(r.buf, {1, 0x83, 2});
        const DeviceStatus s = r.decode();
        QCOMPARE(int(s.irSignal), 512);
        QCOMPARE(int(s.modeFlags), 0xC0); // register 1 now holds the exception's CRC
        QCOMPARE(int(s.alarmFlags), 0xF1);
    }

    void classifyStatusReplies()
    {
        StatusReply r;
        r.buf.buildRequest(1, 3, 1, 24);
        QCOMPARE(classifyReply(r.buf, 53, true), ReplyKind::Status);
        QCOMPARE(classifyReply(r.buf, 53, false), ReplyKind::Unexpected);
        QCOMPARE(classifyReply(r.buf, 52, true), ReplyKind::Unexpected);
        r.buf.reply()[2] = 46;
        QCOMPARE(classifyReply(r.buf, 53, true), ReplyKind::Unexpected);
        r.buf.reply()[2] = 48;
        r.buf.reply()[1] = 4;
        QCOMPARE(classifyReply(r.buf, 53, true), ReplyKind::Unexpected);
        // An echo of the request does not answer a status read.
        std::copy_n(r.buf.request(), 8, r.buf.reply());
        QCOMPARE(classifyReply(r.buf, 8, true), ReplyKind::Unexpected);
    }

    void classifyEchoes()
    {
        FrameBuffer buf;
        buf.buildRequest(7, 6, 17, 24679);
        std::copy_n(buf.request(), 8, buf.reply());
        QCOMPARE(classifyReply(buf, 8, false), ReplyKind::Echo);
        QCOMPARE(classifyReply(buf, 8, true), ReplyKind::Unexpected);
        QCOMPARE(classifyReply(buf, 7, false), ReplyKind::Unexpected);
        // A well-formed write answer for another value is not our echo.
        QCOMPARE(classifyReply(buf, putReply(buf, {7, 6, 0, 17, 0x60, 0}), false), ReplyKind::Unexpected);
    }

    void classifyExceptions()
    {
        FrameBuffer buf;
        buf.buildRequest(1, 6, 22, 24);
        const uint8_t n = putReply(buf, {1, 0x86, 2});
        QCOMPARE(classifyReply(buf, n, false), ReplyKind::Exception);
        QCOMPARE(classifyReply(buf, n, true), ReplyKind::Exception);
        QCOMPARE(classifyReply(buf, putReply(buf, {1, 0x06, 2}), false), ReplyKind::Unexpected);
        QCOMPARE(classifyReply(buf, putReply(buf, {1, 0x83, 2, 0}), true), ReplyKind::Unexpected);
    }

    void refusedReplyLines()
    {
        FrameBuffer buf;
        uint8_t n = putReply(buf, {1, 0x86, 2});
        QCOMPARE(refusedReplyLine(ReplyKind::Exception, buf, n), QStringLiteral("Исключение 2:  1  134  2  195  161"));
        n = putReply(buf, {17, 3, 2, 0, 7});
        const QString line = refusedReplyLine(ReplyKind::Unexpected, buf, n);
        QVERIFY2(line.startsWith(QStringLiteral("Неожиданный ответ:  17  3  2  0  7  ")), qPrintable(line));
        QCOMPARE(line.split(u' ', Qt::SkipEmptyParts).size(), 2 + 7);
        QVERIFY(refusedReplyLine(ReplyKind::Status, buf, n).isEmpty());
        QVERIFY(refusedReplyLine(ReplyKind::Echo, buf, n).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDecoding)
#include "test_decoding.moc"

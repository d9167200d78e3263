#include "detector/commandtable.h"
#include "support/namedfields.h"
#include <QMap>
#include <QtTest>

namespace {
// The main window's fields as the window's readers give them in each case
// (parsed by the window); every read is recorded.
struct Fields : NamedFields {
    Fields()
    {
        const std::pair<const char *, int32_t> typed[] = {
            {"Edit2", 5},      {"Edit3", 6000}, {"Edit4", 600},   {"Edit5", 500},        {"Edit12", 8000},
            {"Edit16", -5},    {"edt5", 27469}, {"cb7", 16},      {"edtNEW_DAT", 24},
        };
        for (const auto &[name, value] : typed)
            values.insert(QString::fromLatin1(name), value);
    }
    void set(const char *name, Result<int32_t> value) { values.insert(QString::fromLatin1(name), std::move(value)); }

    // The window's reader for the field named, or none.
    CommandInputs inputs(const QString &field)
    {
        return CommandInputs{field.isEmpty() ? ValueReader{} : reader(field), 7, 8, -300, std::nullopt};
    }
    Result<BuiltCommand> build(int code, uint8_t &mask, const QString &field)
    {
        return buildCommand(Command(code), inputs(field), mask);
    }
};

// Written from the device's register list for the inputs of Fields; the mask
// starts at 2 (IR channel on).
struct Expected {
    int code;
    bool send;
    int reg, value;
    const char *field; // the field the value comes from, as the window gives it
    int maskAfter;
};
constexpr Expected Table[] = {
    {1, true, 0, 5 * 256 + 8, "Edit2", 2},   {2, true, 0, 7 * 256 + 16, "cb7", 2},
    {3, true, 7, 6000, "Edit3", 2},          {4, true, 4, 600, "Edit4", 2},
    {5, true, 5, 500, "Edit5", 2},           {6, false, 0, 0, "", 2},
    {7, false, 0, 0, "", 2},                 {8, false, 0, 0, "", 2},
    {9, true, 9, 65536 - 300, "", 2},        {10, true, 6, 768 + 3, "", 3},
    {11, true, 6, 768 + 2, "", 2},           {12, true, 6, 768 + 2, "", 2},
    {13, true, 6, 768 + 0, "", 0},           {14, true, 6, 768 + 6, "", 6},
    {15, true, 6, 768 + 2, "", 2},           {16, true, 6, 256, "", 2},
    {17, true, 1, 1, "", 2},                 {18, true, 11, 1, "", 2},
    {19, true, 11, 2, "", 2},                {20, true, 12, 1, "", 2},
    {21, true, 12, 2, "", 2},                {22, true, 13, 1, "", 2},
    {23, true, 13, 2, "", 2},                {24, true, 13, 3, "", 2},
    {25, true, 13, 4, "", 2},                {26, true, 14, 8000, "Edit12", 2},
    {27, true, 15, 1, "", 2},                {28, true, 15, 2, "", 2},
    {29, true, 15, 3, "", 2},                {30, true, 15, 4, "", 2},
    {31, true, 15, 5, "", 2},                {32, true, 16, 1, "", 2},
    {33, true, 15, 6, "", 2},                {34, true, 3, 65536 - 5, "Edit16", 2},
    {35, true, 18, 27469, "edt5", 2},        {36, true, 17, 24679, "", 2},
    {37, true, 19, 0, "", 2},                {38, true, 20, 0, "", 2},
    {39, true, 15, 7, "", 2},                {40, true, 22, 24, "edtNEW_DAT", 2},
    {41, true, 24, 1, "", 2},
};
static_assert(std::size(Table) == 41);
} // namespace
Q_DECLARE_METATYPE(Expected)

class TestCommandTable : public QObject {
    Q_OBJECT
private slots:
    void everyCode_data()
    {
        QTest::addColumn<Expected>("e");
        for (const Expected &e : Table)
            QTest::addRow("code %d", e.code) << e;
    }

    void everyCode()
    {
        QFETCH(Expected, e);
        const CommandSpec *row = commandSpec(uint8_t(e.code));
        QVERIFY(row);
        QCOMPARE(row->code, e.code);
        Fields f;
        uint8_t mask = 2;
        // A command the window gives no field must not need one.
        const BuiltCommand b = *f.build(e.code, mask, e.field);
        QCOMPARE(b.send, e.send);
        if (e.send) {
            QCOMPARE(int(b.reg), e.reg);
            QCOMPARE(int(b.value), e.value);
        }
        QCOMPARE(int(mask), e.maskAfter);
        QCOMPARE(f.read, *e.field ? QStringList{e.field} : QStringList());
    }

    void codesOutsideTheTable()
    {
        Fields f;
        uint8_t mask = 5;
        for (int code : {0, 42, 255}) {
            QVERIFY(!commandSpec(uint8_t(code)));
            QVERIFY(!f.build(code, mask, "Edit2")->send);
        }
        QCOMPARE(int(mask), 5);
    }

    void channelMaskSequence()
    {
        // Each press builds on the mask the previous one left, answered or not.
        const struct { int code, mask; } steps[] = {
            {10, 1}, {12, 3}, {14, 7}, {10, 7}, {13, 5}, {11, 4}, {15, 0}, {15, 0}, {14, 4},
        };
        Fields f;
        uint8_t mask = 0;
        for (const auto &s : steps) {
            QCOMPARE(int(f.build(s.code, mask, "")->value), 768 + s.mask);
            QCOMPARE(int(mask), s.mask);
        }
    }

    void newAddressComposition()
    {
        // {Edit2, BaudCode, address sent}
        const struct { int edit2, baud, address; } cases[] = {
            {300, 8, 44}, {-1, 16, 255}, {31, 1, 31},
        };
        for (const auto &c : cases) {
            Fields f;
            f.set("Edit2", c.edit2);
            CommandInputs in = f.inputs("Edit2");
            in.baudCode = uint8_t(c.baud);
            uint8_t mask = 0;
            const BuiltCommand b = *buildCommand(Command::WriteAddress, in, mask);
            QCOMPARE(int(b.value), c.address * 256 + c.baud);
            QCOMPARE(int(b.keptAddress), c.address);
        }
        for (int broadcast : {0, 256}) {
            Fields f;
            f.set("Edit2", broadcast);
            CommandInputs in = f.inputs("Edit2");
            uint8_t mask = 0;
            QCOMPARE(buildCommand(Command::WriteAddress, in, mask).failure().kind, Failure::Kind::BroadcastAddress);
        }
    }

    void newBaudCodes()
    {
        for (int code : {2, 4, 8, 16}) {
            Fields f;
            f.set("cb7", code);
            CommandInputs in = f.inputs("cb7");
            in.targetAddress = 247;
            uint8_t mask = 0;
            const BuiltCommand b = *buildCommand(Command::WriteBaud, in, mask);
            QCOMPARE(int(b.value), 247 * 256 + code);
            QCOMPARE(int(b.keptBaud), code);
        }
        // Only a speed the detector knows: any other code would leave it deaf.
        for (int code : {0, 3, 32, 264}) {
            Fields f;
            f.set("cb7", code);
            uint8_t mask = 0;
            QCOMPARE(f.build(2, mask, "cb7").failure().kind, Failure::Kind::SpeedNotListed);
        }
    }

    void uvFaultHoursInRangeOnly()
    {
        for (int hours : {0, 24, 65535}) {
            Fields f;
            f.set("edtNEW_DAT", hours);
            uint8_t mask = 0;
            QCOMPARE(int(f.build(40, mask, "edtNEW_DAT")->value), hours);
        }
        for (int hours : {-1, 65536}) {
            Fields f;
            f.set("edtNEW_DAT", hours);
            uint8_t mask = 0;
            QCOMPARE(f.build(40, mask, "edtNEW_DAT").failure().kind, Failure::Kind::BadUvHours);
        }
    }

    void fieldValuesAreLow16Bits()
    {
        const struct { int code; const char *field; int typed, value; } cases[] = {
            {26, "Edit12", 70000, 70000 - 65536},
            {4, "Edit4", -1, 65535},
            {5, "Edit5", 32767, 32767},
            {3, "Edit3", -32768, 32768},
        };
        for (const auto &c : cases) {
            Fields f;
            f.set(c.field, c.typed);
            uint8_t mask = 0;
            QCOMPARE(int(f.build(c.code, mask, c.field)->value), c.value);
        }
    }

    void fieldFailuresPassThrough()
    {
        // The window's failure for a text that is no value reaches the pass
        // as it is: BadInteger keeps the code pending, any other drops it.
        for (Failure::Kind kind : {Failure::Kind::BadInteger, Failure::Kind::BadUvHours}) {
            Fields f;
            f.set("Edit4", Failure::withText(kind, QStringLiteral("1.5")));
            uint8_t mask = 0;
            const Result<BuiltCommand> b = f.build(4, mask, "Edit4");
            QVERIFY2(!b, "a failed field was sent");
            QCOMPARE(b.failure().kind, kind);
            QCOMPARE(b.failure().text, QStringLiteral("1.5"));
        }
        // A value command stored with neither its field's reader nor a value is dropped unsent.
        uint8_t mask = 0;
        QCOMPARE(Fields().build(3, mask, "").failure().kind, Failure::Kind::NoValue);
    }

    void baudCodeHelpers()
    {
        const struct { int code, index, rate; } known[] = {
            {1, 0, 1200}, {2, 1, 2400}, {4, 2, 4800}, {8, 3, 9600}, {16, 4, 19200},
        };
        for (const auto &k : known) {
            const auto choice = baudChoiceForCode(uint8_t(k.code));
            QVERIFY(choice);
            QCOMPARE(choice->entry, k.index);
            QCOMPARE(int(choice->baudRate), k.rate);
            QCOMPARE(QString(LineSpeedItems[k.index]), QString::number(k.rate));
            QCOMPARE(lineSpeedCode(k.index), std::optional<uint8_t>(uint8_t(k.code)));
        }
        for (int code : {0, 3, 32, 255})
            QVERIFY(!baudChoiceForCode(uint8_t(code)));
        QVERIFY(!lineSpeedCode(-1) && !lineSpeedCode(5));
    }
};

QTEST_GUILESS_MAIN(TestCommandTable)
#include "test_commandtable.moc"

// The command set through the windows' own controls: every code stored by
// its control and event, and the exact frame the simulator then receives
// (none for 6, 7 and 8).
#include "support/pollrig.h"
#include "support/writeframes.h"
#include "chart/chartwindow.h"
#include "dialogs/uvfaulttimedialog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

namespace {
// How a code gets into the pending slot.
enum class Via {
    Click,       // left click on a main window button
    Enter,       // Enter released in a main window field
    Press,       // mouse press on a main window check box (before it toggles)
    ChartClick,  // left click on a chart window button
    Dialog,      // value dialog: double click on lblT_UVFault, type, Enter
    NoControl,   // nothing in the windows stores it
    ConfigMark,  // the device reports a configuration mark other than 24679
};

constexpr int NoFrame = -1;

struct CodeCase {
    uint8_t code;
    Via via;
    const char *control;
    int reg;        // register written, or NoFrame
    uint16_t value; // value written
};

// Register and value of every code, worked out by hand for a detector at
// address 1 on 9600 baud (speed code 8), G_42 = -42, channel bits starting at
// 2 (IR only), and the field texts set in fillFields().
const CodeCase Cases[] = {
    {1, Via::Click, "Button4", 0, 1 * 256 + 8}, // Edit2 "257": the low 8 bits
    {2, Via::Click, "Button8", 0, 1 * 256 + 8}, // cb7 "9600"
    {3, Via::Click, "Button7", 7, 6100},
    {4, Via::Enter, "Edit4", 4, 65533}, // -3
    {5, Via::Enter, "Edit5", 5, 500},   // $1F4
    {6, Via::NoControl, nullptr, NoFrame, 0},
    {7, Via::NoControl, nullptr, NoFrame, 0},
    {8, Via::ChartClick, "Button5", NoFrame, 0},
    {9, Via::ChartClick, "Button6", 9, 0xFFD6},
    {10, Via::Press, "chk1", 6, 768 + 3},
    {11, Via::Press, "chk1", 6, 768 + 2},
    {13, Via::Press, "CheckBox3", 6, 768 + 0},
    {12, Via::Press, "CheckBox3", 6, 768 + 2},
    {14, Via::Press, "CheckBox4", 6, 768 + 6},
    {15, Via::Press, "CheckBox4", 6, 768 + 2},
    {16, Via::Click, "btn4", 6, 256},
    {17, Via::Click, "Button17", 1, 1},
    {17, Via::ChartClick, "Button4", 1, 1},
    {18, Via::ChartClick, "Button7", 11, 1},
    {19, Via::ChartClick, "Button8", 11, 2},
    {20, Via::ChartClick, "Button9", 12, 1},
    {21, Via::ChartClick, "Button10", 12, 2},
    {22, Via::ChartClick, "Button11", 13, 1},
    {23, Via::ChartClick, "Button12", 13, 2},
    {24, Via::ChartClick, "Button13", 13, 3},
    {25, Via::NoControl, nullptr, 13, 4},
    {26, Via::Click, "Button22", 14, 70000 % 65536},
    {27, Via::Click, "Button23", 15, 1},
    {28, Via::Click, "Button24", 15, 2},
    {29, Via::Click, "Button25", 15, 3},
    {30, Via::Click, "Button26", 15, 4},
    {31, Via::Click, "Button27", 15, 5},
    {32, Via::Click, "Button28", 16, 1},
    {33, Via::Click, "btn2", 15, 6},
    {34, Via::Click, "Button30", 3, 30},
    {35, Via::Click, "btn1", 18, 1234},
    {35, Via::Enter, "edt5", 18, 1234},
    {36, Via::ConfigMark, nullptr, 17, 24679},
    {37, Via::Click, "btn3", 19, 0},
    {38, Via::Click, "btn5", 20, 0},
    {39, Via::Click, "Button10", 15, 7},
    {40, Via::Dialog, "edtNEW_DAT", 22, 24},
    {41, Via::Click, "HartOn", 24, 1},
};

void fillFields(Ui::MainForm &ui)
{
    ui.Edit2->setText("257");
    ui.cb7->setCurrentIndex(3);
    ui.Edit3->setText("6100");
    ui.Edit4->setText("-3");
    ui.Edit5->setText("$1F4");
    ui.Edit12->setText("70000");
    ui.Edit16->setText("30");
    ui.edt5->setText("1234"); // the password: service access stays
}
} // namespace

class PollingGuiCommandsTest : public QObject {
    Q_OBJECT

    // Stores a code the way `c` says; false with a message when the control
    // did not behave.
    static QString store(PollRig &rig, const CodeCase &c)
    {
        QWidget *main = rig.window.get();
        switch (c.via) {
        case Via::Click: {
            auto *b = main->findChild<QPushButton *>(QLatin1String(c.control));
            if (!b || !b->isVisible() || !b->isEnabled())
                return QStringLiteral("%1 is not there to click").arg(c.control);
            QTest::mouseClick(b, Qt::LeftButton);
            return {};
        }
        case Via::ChartClick: {
            auto *b = rig.window->chartWindow().findChild<QPushButton *>(QLatin1String(c.control));
            if (!b || !b->isVisible() || !b->isEnabled())
                return QStringLiteral("chart %1 is not there to click").arg(c.control);
            QTest::mouseClick(b, Qt::LeftButton);
            return {};
        }
        case Via::Enter: {
            auto *e = main->findChild<QLineEdit *>(QLatin1String(c.control));
            if (!e || !e->isVisible() || !e->isEnabled())
                return QStringLiteral("%1 is not there to type in").arg(c.control);
            e->setFocus();
            QTest::keyPress(e, Qt::Key_Return);
            if (uint8_t(rig.state().commandSlot.take().command) != 0)
                return QStringLiteral("%1 stored a code on the key press").arg(c.control);
            QTest::keyRelease(e, Qt::Key_Return);
            return {};
        }
        case Via::Press: {
            auto *box = main->findChild<QCheckBox *>(QLatin1String(c.control));
            if (!box || !box->isVisible() || !box->isEnabled())
                return QStringLiteral("%1 is not there to press").arg(c.control);
            const bool before = box->isChecked();
            QTest::mousePress(box, Qt::LeftButton);
            if (box->isChecked() != before)
                return QStringLiteral("%1 toggled on the press").arg(c.control);
            if (uint8_t(rig.state().commandSlot.take().command) != c.code)
                return QStringLiteral("%1 stored %2 on the press").arg(c.control).arg(uint8_t(rig.state().commandSlot.take().command));
            QTest::mouseRelease(box, Qt::LeftButton);
            if (box->isChecked() == before)
                return QStringLiteral("%1 did not toggle").arg(c.control);
            return {};
        }
        case Via::Dialog: {
            QTest::mouseDClick(rig.ui().lblT_UVFault, Qt::LeftButton);
            UvFaultTimeDialog &dialog = rig.window->uvFaultTimeDialog();
            if (!dialog.isVisible())
                return QStringLiteral("the value dialog did not open");
            dialog.edtNEW_DAT->clear();
            QTest::keyClicks(dialog.edtNEW_DAT, "2x4");
            QTest::keyClick(dialog.edtNEW_DAT, Qt::Key_Return);
            if (dialog.isVisible())
                return QStringLiteral("the value dialog stayed open");
            return {};
        }
        case Via::NoControl:
            rig.session.requestCommand(Command(c.code));
            return {};
        case Via::ConfigMark:
            rig.sim.detector(1)->setRegister(sreg::ConfigMark, 24678);
            return {};
        }
        return QStringLiteral("unknown way");
    }

private slots:
    void everyCodeFromItsControlToTheWire()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        dev.setRegister(sreg::Access, 0x6B4D); // the service controls show
        dev.setRegister(sreg::G42, 0xFFD6);
        dev.setRegister(sreg::Channels, 2);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        fillFields(rig.ui());
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 1));
        QVERIFY(rig.ui().btn4->isVisible());
        QTest::mouseClick(rig.ui().Button6, Qt::LeftButton); // "График"
        QVERIFY(rig.window->chartWindow().isVisible());

        for (const CodeCase &c : Cases) {
            const QString name = QStringLiteral("code %1 by %2").arg(c.code).arg(c.control ? c.control : "-");
            const int from = rig.receivedCount();
            QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
            const QString failure = store(rig, c);
            QVERIFY2(failure.isEmpty(), qPrintable(name + ": " + failure));
            if (c.via != Via::ConfigMark)
                QVERIFY2(uint8_t(rig.state().commandSlot.take().command) == c.code,
                         qPrintable(QStringLiteral("%1 stored %2").arg(name).arg(uint8_t(rig.state().commandSlot.take().command))));
            const bool wantsFrame = c.reg != NoFrame;
            QVERIFY2(PollRig::waitFor([&] {
                         const QList<QByteArray> got = rig.received(from);
                         return (!wantsFrame || !writes(got).isEmpty()) && statusReadsAfterWrite(got) >= 3;
                     }),
                     qPrintable(name + ": no frame"));
            const QList<QByteArray> sent = writes(rig.received(from));
            if (wantsFrame)
                QVERIFY2(sent == QList<QByteArray>{rtuFrame(1, 6, uint16_t(c.reg), c.value)},
                         qPrintable(name + ": " + decimalBytes(sent.value(0), " ")));
            else
                QVERIFY2(sent.isEmpty(), qPrintable(name + ": " + decimalBytes(sent.value(0), " ")));
            QVERIFY2(uint8_t(rig.state().commandSlot.take().command) == 0, qPrintable(name + ": still pending"));
        }
        QVERIFY(rig.stopPolling());
        QCOMPARE(rig.state().devices.address(0), uint8_t(1));
        QVERIFY(dev.hartOn()); // the last write reached the detector
    }
};

POLLRIG_TEST_MAIN(PollingGuiCommandsTest)
#include "test_polling_gui_commands.moc"

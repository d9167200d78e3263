// "Монитор обмена" through the real windows: opened by Ctrl+M while two
// detectors are polled with spoiled replies on a line keeping wire time; its
// rows, filters, byte format, copy, CSV and its cost while closed; the fast
// search's check box in the main window. With KALMIR_SHOTS set, the monitor
// and the main window are saved there as pictures.
#include "link/framecsv.h"
#include "monitor/glyphline.h"
#include "monitor/monitorwindow.h"
#include "support/pollrig.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableView>

class MonitorWindowTest : public QObject {
    Q_OBJECT
private slots:
    void showsTheLineWithItsFaults()
    {
        PollRig rig(PollRig::RealLineTiming);
        rig.sim.setWireTime(true, 5);
        rig.device(1).setFault({FaultKind::Late, 40, -1});
        rig.device(2);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1, 2});

        auto *fast = rig.window->findChild<QCheckBox *>("chkFastSearch");
        QVERIFY(fast && !fast->isChecked() && fast->text() == QStringLiteral("быстро"));

        rig.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        QTest::keyClick(rig.window.get(), Qt::Key_M, Qt::ControlModifier);
        MonitorWindow &m = rig.window->monitorWindow();
        QVERIFY(m.isVisible() && rig.session.frameTap().attached());
        QCOMPARE(m.windowTitle(), QStringLiteral("Монитор обмена"));
        MonitorModel &model = m.model();

        QVERIFY(rig.startPolling());
        // Device 2 meets one fault after another.
        for (const char *fault : {"2/truncate:20*1", "2/exception:2*1", "2/trailing:3*1", "2/foreign:9*1", "2/crc*1"}) {
            const int rows = model.keptCount();
            rig.sim.detector(2)->setFault(parseFaultOption(fault)->fault);
            QVERIFY(PollRig::waitFor([&] { return model.keptCount() >= rows + 6; }));
        }
        QVERIFY(PollRig::waitFor([&] { return model.keptCount() >= 40; }, 20000));
        QVERIFY(rig.stopPolling());
        m.redrawNow();
        // After rows came while the view followed, what the screen shows must
        // be what a whole new paint of the table shows (nothing stale, nothing
        // half drawn), however the view saves on repainting.
        auto *table = m.findChild<QTableView *>("tblFrames");
        QWidget *view = table->viewport();
        QVERIFY(PollRig::waitFor([&] { return !view->visibleRegion().isEmpty(); }));
        QCoreApplication::processEvents();
        const QPoint at = view->mapTo(&m, QPoint(0, 0));
        const QImage onScreen = m.screen()->grabWindow(m.winId(), at.x(), at.y(), view->width(), view->height()).toImage();
        QCOMPARE(onScreen.convertToFormat(QImage::Format_RGB32), view->grab().toImage().convertToFormat(QImage::Format_RGB32));

        QStringList verdicts;
        for (int row = 0; row < model.rowCount(); ++row)
            verdicts << verdictText(model.recordAt(row));
        for (const char *v : {"обрыв: 20 из 53", "исключение 2", "шум", "неожиданный", "ошибка CRC"})
            QCOMPARE(verdicts.count(QString::fromUtf8(v)), 1);
        const FrameRecord &late = model.recordAt(1); // device 1 answers first, 40 ms late
        QCOMPARE(late.verdict, FrameVerdict::Status);
        // (The times' precision is checked at 1200 baud in the core's test;
        // here the simulator shares the loaded event loop, and a reply it
        // writes late is dated back by its characters: up to a few early.)
        QVERIFY2(late.answerAfterMs > 40 && late.answerAfterMs < 40 + 5 + 3.5 * late.charMs + 20,
                 qPrintable(QString::number(late.answerAfterMs)));

        if (const QByteArray shots = qgetenv("KALMIR_SHOTS"); !shots.isEmpty()) {
            m.grab().save(QString::fromLocal8Bit(shots) + "/monitor.png");
            rig.window->grab().save(QString::fromLocal8Bit(shots) + "/mainform-fastsearch.png");
        }

        // Filters: one address, then one verdict among all addresses.
        auto *address = m.findChild<QSpinBox *>("spnAddress");
        auto *verdict = m.findChild<QComboBox *>("cbVerdict");
        int of2 = 0;
        for (int row = 0; row < model.rowCount(); ++row)
            of2 += model.recordAt(row).address == 2 ? 1 : 0;
        address->setValue(2);
        QCOMPARE(model.rowCount(), of2);
        QVERIFY(of2 > 10 && of2 < verdicts.size() / 2);
        address->setValue(-1);
        verdict->setCurrentIndex(verdict->findText("обрыв"));
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.data(model.index(0, int(FrameColumn::Bytes)), Qt::DisplayRole).toString().left(8), "02 03 30");
        m.findChild<QCheckBox *>("chkDecimal")->setChecked(true);
        QCOMPARE(model.headerData(int(FrameColumn::Bytes), Qt::Horizontal, Qt::DisplayRole).toString(), "Байты (дес.)");
        QCOMPARE(model.data(model.index(0, int(FrameColumn::Bytes)), Qt::DisplayRole).toString().left(7), "2 3 48 ");
        table->selectRow(0);
        m.copySelected();
        QCOMPARE(QApplication::clipboard()->text().section('\t', 8, 8), "обрыв: 20 из 53");
        QVERIFY(m.saveTo(rig.dir.filePath("cut.csv")));
        QFile csv(rig.dir.filePath("cut.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll().split('\n').size(), 3); // header, the row, the end

        // Closed, nothing is taken from the line; the grid's menu opens it again.
        m.close();
        QVERIFY(!rig.session.frameTap().attached());
        QVERIFY(rig.clickGridMenuItem(1));
        QVERIFY(PollRig::waitFor([&] { return m.isVisible() && rig.session.frameTap().attached(); }, 2000));
    }

    // The table repaints only the rows that came while it follows; whatever
    // the rows did (filled an empty view, came while following, came below a
    // view scrolled up, then were scrolled to, a filter, a clear), the screen
    // shows what a whole new paint shows.
    void screenEqualsAWholePaintAfterRowsCame()
    {
        PollRig rig;
        MonitorWindow &m = rig.window->monitorWindow();
        m.open();
        QWidget *view = m.findChild<QTableView *>("tblFrames")->viewport();
        QScrollBar *bar = m.findChild<QTableView *>("tblFrames")->verticalScrollBar();
        QVERIFY(PollRig::waitFor([&] { return !view->visibleRegion().isEmpty(); }));
        int serial = 0;
        const auto add = [&](int count) {
            for (int i = 0; i < count; ++i, ++serial) {
                FrameRecord r;
                r.address = 1 + serial % 2;
                r.function = 3;
                r.bytes = QByteArray::fromHex("0103000100181400") + QByteArray::number(serial);
                r.wallMs = 1700000000000 + 10 * serial;
                r.verdict = serial % 7 == 0 ? FrameVerdict::CrcError : FrameVerdict::None;
                emit rig.session.frameTap().frame(r);
            }
            m.redrawNow();
        };
        const auto screenIsWhole = [&] {
            QCoreApplication::processEvents();
            const QPoint at = view->mapTo(&m, QPoint(0, 0));
            const QImage onScreen = m.screen()->grabWindow(m.winId(), at.x(), at.y(), view->width(), view->height()).toImage();
            return onScreen.convertToFormat(QImage::Format_RGB32) == view->grab().toImage().convertToFormat(QImage::Format_RGB32);
        };
        for (const int count : {5, 3, 40, 1, 2, 7}) {
            add(count);
            QCOMPARE(m.model().rowCount(), serial);
            QVERIFY2(screenIsWhole(), qPrintable(QString::number(serial)));
        }
        QCOMPARE(bar->value(), bar->maximum());
        bar->setValue(10);
        add(30);
        QCOMPARE(bar->value(), 10); // scrolled up, the view stays
        QVERIFY(screenIsWhole());
        bar->setValue(bar->maximum());
        QVERIFY(screenIsWhole());
        add(4);
        QVERIFY(screenIsWhole());
        m.findChild<QSpinBox *>("spnAddress")->setValue(2);
        add(6);
        QCOMPARE(m.model().rowCount(), serial / 2);
        QVERIFY(screenIsWhole());
        // The grid where QTableView draws it: each cell's last pixel column and row.
        auto *table = m.findChild<QTableView *>("tblFrames");
        const QImage shown = view->grab().toImage();
        QStyleOptionViewItem option;
        option.initFrom(table);
        const QRgb grid = QRgb(table->style()->styleHint(QStyle::SH_Table_GridLineColor, &option, table));
        const int row = table->rowAt(view->height() / 2), right = table->columnViewportPosition(2) - 1;
        const int bottom = table->rowViewportPosition(row) + table->rowHeight(row) - 1;
        QCOMPARE(shown.pixel(right, bottom - 4), grid);
        QCOMPARE(shown.pixel(right - 6, bottom), grid);
        QVERIFY(shown.pixel(right - 6, bottom - 1) != grid);
        m.findChild<QPushButton *>("btnClear")->click();
        add(2);
        QVERIFY(screenIsWhole());
    }

    // The cells' texts set glyph by glyph are as wide as the font lays them
    // out; a character outside the fast way's reach goes the general way.
    void cellTextsAreLaidOutAsTheFontDoes()
    {
        const QFont font = QApplication::font();
        GlyphLine line(font);
        const QFontMetricsF metrics(font);
        for (const char *text : {"08:33:32.057", "01 03 30 38 00 07 D0 …", "обрыв: 20 из 53", "→", "1234,5", "ошибка CRC"}) {
            const GlyphLine::Laid laid = line.layOut(QString::fromUtf8(text));
            QVERIFY2(!line.lastWasGeneral(), text);
            QVERIFY2(laid.width == metrics.horizontalAdvance(QString::fromUtf8(text)), text);
            QCOMPARE(laid.runs.size(), 1);
            QCOMPARE(laid.runs.front().glyphIndexes().size(), QString::fromUtf8(text).size());
        }
        const QString clef = QString::fromUtf8("a \U0001D11E b");
        const GlyphLine::Laid laid = line.layOut(clef);
        QVERIFY(line.lastWasGeneral());
        QCOMPARE(laid.width, metrics.horizontalAdvance(clef));
    }
};

POLLRIG_TEST_MAIN(MonitorWindowTest)
#include "test_monitor_window.moc"

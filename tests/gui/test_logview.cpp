// The request/reply log widget on its own: which lines it keeps under its
// cap, what it gives back, where the view stands as lines come and go, what
// it paints, and the copy from its context menu.
#include "widgets/logview.h"
#include "main/mainwindow.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QScrollBar>
#include <QtTest>

#include <memory>

namespace {
QStringList numbered(int from, int to)
{
    QStringList out;
    for (int i = from; i < to; ++i)
        out << QStringLiteral("строка %1").arg(i);
    return out;
}

void appendAll(LogView &view, const QStringList &lines)
{
    for (const QString &line : lines)
        view.appendPlainText(line);
    view.showNewLines(); // rather than wait for the next frame
}

// Counts the paints a widget receives.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

// Pixels of the image much darker than the white base: painted text.
int inkPixels(const QImage &image)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
    return n;
}
} // namespace

class TestLogView : public QObject {
    Q_OBJECT

    // A shown log of the main window's size.
    std::unique_ptr<LogView> shownView()
    {
        auto view = std::make_unique<LogView>();
        view->resize(193, 105);
        view->show();
        if (!QTest::qWaitForWindowExposed(view.get()))
            qWarning("log view not exposed");
        return view;
    }

private slots:
    void initTestCase() { applyApplicationLook(); }
    void screenFollowsTheLines();

    void capKeepsTheNewestLinesInOrder()
    {
        LogView view;
        QCOMPARE(view.blockCount(), 0);
        QCOMPARE(view.toPlainText(), QString());
        QCOMPARE(view.lastLine(), QString());

        view.setMaximumBlockCount(5);
        QCOMPARE(view.maximumBlockCount(), 5);
        appendAll(view, numbered(0, 12));
        QCOMPARE(view.blockCount(), 5);
        QCOMPARE(view.lines(), numbered(7, 12));
        QCOMPARE(view.toPlainText(), numbered(7, 12).join('\n'));
        QCOMPARE(view.line(0), QStringLiteral("строка 7"));
        QCOMPARE(view.lastLine(), QStringLiteral("строка 11"));
        QCOMPARE(view.line(-1), QString());
        QCOMPARE(view.line(5), QString());

        // A lower cap drops the oldest lines at once.
        view.setMaximumBlockCount(3);
        QCOMPARE(view.lines(), numbered(9, 12));

        // 0 or less: no cap at all.
        for (int none : {0, -4}) {
            view.setMaximumBlockCount(none);
            QCOMPARE(view.maximumBlockCount(), 0);
            appendAll(view, numbered(12, 20));
            QCOMPARE(view.lines().mid(0, 3), numbered(9, 12));
            QCOMPARE(view.lastLine(), QStringLiteral("строка 19"));
        }
        QCOMPARE(view.blockCount(), 3 + 8 + 8);
    }

    void textInAndOut()
    {
        LogView view;
        view.setPlainText(QStringLiteral("Запрос\n"));
        QCOMPARE(view.lines(), (QStringList{"Запрос", ""}));
        QCOMPARE(view.toPlainText(), QStringLiteral("Запрос\n"));

        view.appendPlainText(QString());
        view.appendPlainText(QStringLiteral("a\n\nb"));
        QCOMPARE(view.lines(), (QStringList{"Запрос", "", "", "a", "", "b"}));

        // Lines split by '\n' count against the cap one by one.
        view.setMaximumBlockCount(2);
        view.appendPlainText(QStringLiteral("x\ny\nz"));
        QCOMPARE(view.lines(), (QStringList{"y", "z"}));

        view.setPlainText(QStringLiteral("1\n2\n3"));
        QCOMPARE(view.lines(), (QStringList{"2", "3"}));
        view.setPlainText(QString());
        QCOMPARE(view.blockCount(), 0);
        view.appendPlainText(QStringLiteral("после"));
        QCOMPARE(view.lines(), QStringList{"после"});
    }

    // Twice the cap of 40-character lines: the cap holds, the newest are
    // kept, and a kept line holds no more room than its characters even
    // when the string handed in had plenty spare.
    void memoryPerLineIsBounded()
    {
        LogView view;
        const int cap = MainWindow::MemoLineLimit;
        view.setMaximumBlockCount(cap);
        for (int i = 0; i < 2 * cap; ++i) {
            QString line;
            line.reserve(400);
            line += QStringLiteral("%1").arg(i, 40, 10, QLatin1Char('0'));
            view.appendPlainText(line);
        }
        QCOMPARE(view.blockCount(), cap);
        QCOMPARE(view.lines().size(), cap);
        QCOMPARE(view.line(0), QStringLiteral("%1").arg(cap, 40, 10, QLatin1Char('0')));
        QCOMPARE(view.lastLine(), QStringLiteral("%1").arg(2 * cap - 1, 40, 10, QLatin1Char('0')));
        for (int i : {0, cap / 2, cap - 1})
            QCOMPARE(view.line(i).capacity(), qsizetype(40));
    }

    void followsTheBottomAndKeepsAScrolledView()
    {
        auto view = shownView();
        QScrollBar *v = view->verticalScrollBar();
        view->setMaximumBlockCount(100);
        appendAll(*view, numbered(0, 50));
        const int page = v->pageStep();
        QVERIFY(page >= 3 && page < 50);
        // At the bottom: the newest line is the last one shown.
        QCOMPARE(v->value(), v->maximum());
        QCOMPARE(v->value() + page, 50);

        // Scrolled up: new lines leave the view where it is.
        v->setValue(10);
        appendAll(*view, numbered(50, 100));
        QCOMPARE(v->value(), 10);
        QCOMPARE(v->maximum(), 100 - page);

        // Full: the oldest go, and the lines on screen stay on screen.
        const QString shown = view->line(v->value());
        appendAll(*view, numbered(100, 104));
        QCOMPARE(v->value(), 6);
        QCOMPARE(view->line(v->value()), shown);

        // At the very top the view cannot hold them: it shows the oldest kept.
        v->setValue(0);
        appendAll(*view, numbered(104, 106));
        QCOMPARE(v->value(), 0);
        QCOMPARE(view->line(0), QStringLiteral("строка 6"));

        // Back at the bottom, it follows again.
        v->setValue(v->maximum());
        appendAll(*view, numbered(106, 110));
        QCOMPARE(v->value(), v->maximum());
        QCOMPARE(v->value() + page, view->blockCount());
        QCOMPARE(view->lastLine(), QStringLiteral("строка 109"));

        // A resize keeps it at the bottom.
        view->resize(193, 200);
        QVERIFY(v->pageStep() > page);
        QCOMPARE(v->value(), v->maximum());
    }

    void sidewaysScrollFollowsTheWidestLine()
    {
        auto view = shownView();
        QScrollBar *h = view->horizontalScrollBar();
        appendAll(*view, numbered(0, 3));
        QCOMPARE(h->maximum(), 0);
        QVERIFY(!h->isVisible());

        const QString wide = QStringLiteral("1  3  48  63  1  1  141  0  251  20  0  ").repeated(3);
        view->appendPlainText(wide);
        QTRY_VERIFY(h->isVisible()); // the scroll area shows its bars from the event loop
        const int need = QFontMetrics(view->font()).horizontalAdvance(wide);
        QVERIFY2(h->maximum() + view->viewport()->width() >= need,
                 qPrintable(QStringLiteral("%1 + %2 < %3").arg(h->maximum()).arg(view->viewport()->width()).arg(need)));
        QVERIFY(h->maximum() < need);

        // A larger font widens every line.
        const int before = h->maximum();
        QFont big = view->font();
        big.setPointSize(big.pointSize() * 2);
        view->setFont(big);
        QVERIFY(h->maximum() > before);

        view->clear();
        QCOMPARE(h->maximum(), 0);
    }

    // Text on the white base, within the frame; nothing when empty.
    void paintsItsLines()
    {
        auto view = shownView();
        const QImage empty = view->viewport()->grab().toImage();
        QCOMPARE(inkPixels(empty), 0);
        QCOMPARE(QColor(empty.pixel(empty.width() / 2, empty.height() / 2)), QColor(Qt::white));

        // One line, whole: its ink clear of the edges and no taller than a line.
        view->appendPlainText(QStringLiteral("Ответ Йё"));
        const QImage one = view->viewport()->grab().toImage();
        QRect ink;
        for (int y = 0; y < one.height(); ++y)
            for (int x = 0; x < one.width(); ++x)
                if (qGray(one.pixel(x, y)) < 128)
                    ink |= QRect(x, y, 1, 1);
        QVERIFY(!ink.isEmpty());
        QVERIFY2(ink.top() > 0 && ink.left() > 0, qPrintable(QStringLiteral("ink from %1,%2").arg(ink.left()).arg(ink.top())));
        const int step = QFontMetrics(view->font()).lineSpacing();
        QVERIFY(ink.height() <= step);
        QVERIFY(ink.bottom() < 2 * step);
    }

    // Appends only ask for a repaint; however many, one paint follows.
    void repaintsAreCoalesced()
    {
        auto view = shownView();
        PaintCounter counter;
        view->viewport()->installEventFilter(&counter);
        appendAll(*view, numbered(0, 1000));
        QCOMPARE(counter.paints, 0);
        QTRY_VERIFY(counter.paints > 0);
        QVERIFY2(counter.paints <= 2, qPrintable(QString::number(counter.paints)));
        view->viewport()->removeEventFilter(&counter);
    }

    // A view with its own least interval (the frame monitor) draws no
    // sooner than that after its last redraw; the others at the next frame.
    void pacerKeepsAViewsInterval()
    {
        int slow = 0, plain = 0;
        RedrawPacer slowPacer([&] { ++slow; }, 200);
        RedrawPacer plainPacer([&] { ++plain; });
        slowPacer.request();
        slowPacer.flush();
        QCOMPARE(slow, 1);
        QElapsedTimer since;
        since.start();
        slowPacer.request();
        plainPacer.request();
        QTRY_COMPARE_WITH_TIMEOUT(plain, 1, 2000);
        QCOMPARE(slow, 1);
        QTRY_COMPARE_WITH_TIMEOUT(slow, 2, 2000);
        QVERIFY2(since.elapsed() >= 200 - RedrawPacer::FrameMs / 2, qPrintable(QString::number(since.elapsed())));
    }

    void oddLinesDoNoHarm()
    {
        auto view = shownView();
        const QString huge(1'000'000, QLatin1Char('7'));
        view->appendPlainText(QString());
        view->appendPlainText(huge);
        view->appendPlainText(QStringLiteral("\t\r"));
        view->showNewLines();
        QCOMPARE(view->blockCount(), 3);
        QCOMPARE(view->line(1).size(), huge.size());
        QCOMPARE(view->toPlainText().size(), 1 + huge.size() + 1 + 2);
        // Scrolled to its far end, the long line still shows its last digits.
        view->horizontalScrollBar()->setValue(view->horizontalScrollBar()->maximum());
        QVERIFY(view->horizontalScrollBar()->maximum() > 0);
        QVERIFY(inkPixels(view->viewport()->grab().toImage()) > 0);

        // A zero-sized view still takes lines.
        view->resize(0, 0);
        view->appendPlainText(QStringLiteral("после"));
        QCOMPARE(view->lastLine(), QStringLiteral("после"));
    }

    void contextMenuCopiesEveryLine()
    {
        auto view = shownView();
        view->setPlainText(QStringLiteral("Запрос\n"));
        appendAll(*view, numbered(0, 30));
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), view->viewport()->mapToGlobal(QPoint(10, 10)));
        QApplication::sendEvent(view->viewport(), &event);
        auto *menu = view->findChild<QMenu *>();
        QVERIFY(menu);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->actions().size(), 1);
        QAction *copy = menu->actions().first();
        QCOMPARE(copy->text(), QStringLiteral("Копировать всё"));
        QGuiApplication::clipboard()->clear();
        copy->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), (QStringList{"Запрос", ""} + numbered(0, 30)).join('\n'));
        menu->close();
    }
};

QTEST_MAIN(TestLogView)
// What reaches the screen, frame after frame, is what a new view of the same
// lines (the widest still kept) draws: lines laid out earlier, a picture
// scrolled rather than drawn again, and bars left unpainted while they look
// the same may never leave a stale picture.
void TestLogView::screenFollowsTheLines()
{
    auto view = shownView();
    QScrollBar *v = view->verticalScrollBar();
    const auto onScreen = [&] {
        QTest::qWait(2 * RedrawPacer::FrameMs);
        const QPoint at = view->mapTo(view->window(), QPoint(0, 0));
        return view->screen()
            ->grabWindow(view->window()->winId(), at.x(), at.y(), view->width(), view->height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    };
    const auto drawnAfresh = [&] {
        auto fresh = shownView();
        fresh->setMaximumBlockCount(view->maximumBlockCount());
        fresh->setPlainText(view->toPlainText());
        QTest::qWait(2 * RedrawPacer::FrameMs); // its bars appear from the event loop
        fresh->verticalScrollBar()->setValue(v->value());
        fresh->horizontalScrollBar()->setValue(view->horizontalScrollBar()->value());
        return fresh->grab().toImage().convertToFormat(QImage::Format_RGB32);
    };
    const std::function<void()> steps[] = {
        [&] { appendAll(*view, numbered(0, 1)); },
        [&] { appendAll(*view, numbered(1, 4)); },
        [&] { appendAll(*view, numbered(4, 30)); },
        [&] { v->setValue(2); },
        [&] { appendAll(*view, numbered(30, 300)); },
        [&] { view->setMaximumBlockCount(100); },
        [&] { view->appendPlainText(QStringLiteral("1  3  48  63  1  1  141  0  251  20  0").repeated(4)); },
        [&] { view->horizontalScrollBar()->setValue(60); },
        [&] { v->setValue(v->maximum()); },
        [&] { appendAll(*view, numbered(300, 303)); },
        [&] { appendAll(*view, numbered(303, 304)); },
        [&] { view->setPlainText(QStringLiteral("Ответ\n")); },
    };
    for (const auto &step : steps) {
        step();
        QCOMPARE(onScreen(), drawnAfresh());
    }
}

#include "test_logview.moc"

#include "support/pollrig.h"
#include "widgets/lamp.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QMenu>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <qcustomplot.h>

QByteArray withModbusCrc(QByteArray bytes)
{
    uint16_t crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= uint8_t(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    bytes.append(char(crc & 0xFF));
    bytes.append(char(crc >> 8));
    return bytes;
}

QByteArray rtuFrame(uint8_t address, uint8_t function, uint16_t reg, uint16_t value)
{
    QByteArray f;
    for (int b : {int(address), int(function), reg >> 8, reg & 0xFF, value >> 8, value & 0xFF})
        f.append(char(b));
    return withModbusCrc(f);
}

QString decimalBytes(const QByteArray &bytes, const QString &separator)
{
    QStringList parts;
    for (char c : bytes)
        parts << QString::number(uint8_t(c));
    return parts.join(separator);
}

PollRig::PollRig(int readMs)
{
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        qFatal("no temporary working directory");
    sim.setFrozen(true);
    if (!sim.start())
        qFatal("simulator: %s", qPrintable(sim.errorString()));
    window = std::make_unique<MainWindow>(session);
    if (readMs != RealLineTiming)
        session.lineChannel().setTiming({0, readMs, 100, 1000});
    window->show();
}

PollRig::~PollRig()
{
    if (session.polling().running()) {
        if (session.polling().isActive())
            session.polling().stop();
        waitFor([this] { return !session.polling().running(); }, 5000);
    }
    window.reset(); // closes the port and the log files
    QDir::setCurrent(QDir::tempPath());
}

bool PollRig::connectPort(int delayMs)
{
    ui().cb1->setEditText(sim.linkPath().isEmpty() ? sim.slavePath() : sim.linkPath());
    ui().Edit8->setText(QString::number(delayMs));
    QTest::mouseClick(ui().Button1, Qt::LeftButton);
    return session.lineChannel().isOpen();
}

bool PollRig::connectByLink(int delayMs)
{
    return sim.start(dir.filePath(QStringLiteral("ttyUSB-link"))) && connectPort(delayMs);
}

void PollRig::listOnly(std::initializer_list<int> addresses)
{
    QTest::mouseClick(ui().Button9, Qt::LeftButton);
    for (int a : addresses) {
        ui().Edit1->setText(QString::number(a));
        QTest::mouseClick(ui().Button5, Qt::LeftButton);
    }
}

bool PollRig::startPolling()
{
    QTest::mouseClick(ui().Button2, Qt::LeftButton);
    return session.polling().running();
}

bool PollRig::stopPolling()
{
    if (session.polling().isActive())
        QTest::mouseClick(ui().Button2, Qt::LeftButton);
    return waitFor([this] { return !session.polling().running(); }, 10000);
}

bool PollRig::runPasses(int requests)
{
    const int from = receivedCount();
    const auto hook = QObject::connect(&sim, &Simulator::frameReceived, &sim, [this, from, requests] {
        if (receivedCount() - from >= requests && session.polling().isActive())
            QTest::mouseClick(ui().Button2, Qt::LeftButton);
    });
    const bool ended = startPolling() && waitFor([this] { return !session.polling().running(); }, 30000);
    QObject::disconnect(hook);
    return ended;
}

bool PollRig::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    // Checks often without sleeping, so that every exchange runs at the
    // pace of the event loop and not of the check.
    QEventLoop loop;
    QTimer check;
    check.setInterval(2);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start();
    deadline.start(timeoutMs);
    loop.exec();
    return done();
}

bool PollRig::waitForStatusLines(int since, int more, int timeoutMs)
{
    return waitFor([&] { return statusLineCount() >= since + more; }, timeoutMs);
}

int PollRig::statusLineCount() const
{
    static const QRegularExpression status(QStringLiteral("^\\d{1,3}(  \\d{1,3}){10}$"));
    int n = 0;
    for (const QString &line : lines(window->ui()->Memo2))
        n += status.match(line).hasMatch() ? 1 : 0;
    return n;
}

QString PollRig::cell(int gridRow, int column) const
{
    const QTableWidgetItem *item = window->ui()->sg1->item(gridRow - 1, column);
    return item ? item->text() : QString();
}

QList<QByteArray> PollRig::received(int from) const
{
    QList<QByteArray> out;
    for (const SimFrame &f : sim.frames())
        if (f.direction == SimFrame::Received)
            out << f.bytes;
    return out.mid(from);
}

QList<QByteArray> PollRig::writesSince(int from) const
{
    QList<QByteArray> out;
    for (const QByteArray &f : received(from))
        if (f.size() > 1 && uint8_t(f[1]) == 6)
            out << f;
    return out;
}

int PollRig::statusReadsSince(int from) const
{
    int n = 0;
    for (const QByteArray &f : received(from))
        n += (f.size() == 8 && uint8_t(f[1]) == 3) ? 1 : 0;
    return n;
}

QStringList PollRig::idleStateMismatches(bool portAway)
{
    QStringList wrong;
    const auto expect = [&wrong](QWidget *w, bool enabled) {
        if (w->isEnabled() != enabled)
            wrong << w->objectName() + (enabled ? QStringLiteral(" disabled") : QStringLiteral(" enabled"));
    };
    Ui::MainForm &f = ui();
    for (QWidget *w : std::initializer_list<QWidget *>{f.Button1, f.Button5, f.Button9})
        expect(w, true);
    for (QWidget *w : std::initializer_list<QWidget *>{f.Button2, f.Button3})
        expect(w, !portAway);
    for (QWidget *w : std::initializer_list<QWidget *>{f.Button4, f.Button7, f.Button6, f.chk1, f.CheckBox3,
                                                        f.CheckBox4})
        expect(w, false);
    if (f.Button2->text() != QStringLiteral("Запрос"))
        wrong << QStringLiteral("Button2 shows \"%1\"").arg(f.Button2->text());
    return wrong;
}

void useRussianSystemLocale()
{
    qunsetenv("LC_ALL");
    qputenv("LC_NUMERIC", "ru_RU.UTF-8");
    qputenv("LC_TIME", "ru_RU.UTF-8");
}

QColor lampColor(QWidget *lamp)
{
    return static_cast<Lamp *>(lamp)->color();
}

QList<int> chartValues(ChartWindow &chart, int series)
{
    QList<int> out;
    const QCPGraph *g = chart.findChild<QCustomPlot *>("Chart1")->graph(series);
    for (auto it = g->data()->constBegin(); it != g->data()->constEnd(); ++it)
        out << int(it->value);
    return out;
}

bool PollRig::clickGridMenuItem(int index)
{
    QTableWidget *grid = ui().sg1;
    const QPoint at(10, 10);
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, grid->viewport()->mapToGlobal(at));
    QApplication::sendEvent(grid->viewport(), &menuEvent);
    auto *menu = window->findChild<QMenu *>(QStringLiteral("sg1Menu"));
    if (!menu || !menu->isVisible() || index >= menu->actions().size())
        return false;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(menu->actions().at(index)).center());
    return true;
}

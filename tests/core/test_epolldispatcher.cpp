// The epoll event dispatcher under the Qt classes a service uses: timers,
// socket notifiers on real pipes and a regular file, posted events from
// another thread, nested loops, and notifiers removed while a turn runs.
#include "process/epolldispatcher.h"
#include <QSocketNotifier>
#include <QTemporaryFile>
#include <QtTest>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { QVERIFY(::pipe2(fd, O_NONBLOCK | O_CLOEXEC) == 0); }
    ~Pipe() { ::close(fd[0]), ::close(fd[1]); }
    void put(const char *s) const { QVERIFY(::write(fd[1], s, strlen(s)) > 0); }
    QByteArray drain() const
    {
        char buf[256];
        const ssize_t n = ::read(fd[0], buf, sizeof buf);
        return n > 0 ? QByteArray(buf, int(n)) : QByteArray();
    }
};
} // namespace

class EpollDispatcherTest : public QObject {
    Q_OBJECT
private slots:
    void timersAndPostedEvents()
    {
        QVERIFY(dynamic_cast<EpollDispatcher *>(QAbstractEventDispatcher::instance()));
        QStringList order;
        for (int ms : {30, 10, 20})
            QTimer::singleShot(ms, Qt::PreciseTimer, this, [&order, ms] { order << QString::number(ms); });
        QTimer repeating;
        int ticks = 0;
        connect(&repeating, &QTimer::timeout, this, [&] {
            if (++ticks == 1) { // a nested loop inside a handler must not fire it again
                QEventLoop nested;
                QTimer::singleShot(25, &nested, &QEventLoop::quit);
                nested.exec();
                QCOMPARE(ticks, 1);
            }
        });
        repeating.start(5);
        QTRY_COMPARE_WITH_TIMEOUT(order.size(), 3, 2000);
        QCOMPARE(order, (QStringList{"10", "20", "30"}));
        // Timers that all fell due while the loop was blocked fire in the
        // order they fell due, not the order they were started.
        order.clear();
        for (int ms : {30, 10, 20})
            QTimer::singleShot(ms, Qt::PreciseTimer, this, [&order, ms] { order << QString::number(ms); });
        QThread::msleep(60);
        QTRY_COMPARE_WITH_TIMEOUT(order.size(), 3, 2000);
        QCOMPARE(order, (QStringList{"10", "20", "30"}));
        QVERIFY(ticks >= 2);
        QVERIFY(repeating.remainingTime() >= 0 && repeating.remainingTime() <= 5);

        // An event posted from another thread wakes a loop that waits with nothing else to do.
        repeating.stop();
        QEventLoop loop;
        std::thread poster([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
        });
        QTimer::singleShot(5000, &loop, [&] { loop.exit(1); });
        QCOMPARE(loop.exec(), 0);
        poster.join();
    }

    void socketNotifiers()
    {
        Pipe a, b;
        QSocketNotifier onA(a.fd[0], QSocketNotifier::Read);
        auto *onB = new QSocketNotifier(b.fd[0], QSocketNotifier::Read);
        QByteArray readA;
        int activationsB = 0;
        // A's handler removes B, ready in the same turn: B is not called after its end.
        connect(&onA, &QSocketNotifier::activated, this, [&] {
            readA += a.drain();
            delete std::exchange(onB, nullptr);
        });
        connect(onB, &QSocketNotifier::activated, this, [&] { ++activationsB, b.drain(); });
        b.put("b");
        a.put("a");
        QTRY_COMPARE(readA, QByteArray("a"));
        QVERIFY(activationsB <= 1);

        // Level-triggered: data left unread wakes the reader again; drained, it rests.
        int activations = 0;
        disconnect(&onA, nullptr, this, nullptr);
        connect(&onA, &QSocketNotifier::activated, this, [&] { ++activations; });
        a.put("xy");
        QTRY_VERIFY(activations >= 3);
        a.drain();
        QTest::qWait(50);
        activations = 0;
        QTest::qWait(50);
        QCOMPARE(activations, 0);

        // Told that its reader drains, the dispatcher wakes it once per arrival.
        EpollDispatcher::setReaderDrains(a.fd[0]);
        a.put("1");
        QTRY_COMPARE(activations, 1);
        QTest::qWait(50);
        QCOMPARE(activations, 1);
        a.put("2");
        QTRY_COMPARE(activations, 2);

        // A regular file is always ready, as poll() has it; epoll refuses it.
        QTemporaryFile file;
        QVERIFY(file.open());
        QSocketNotifier onFile(file.handle(), QSocketNotifier::Read);
        QSignalSpy fileReady(&onFile, &QSocketNotifier::activated);
        QVERIFY(fileReady.wait(1000));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication::setEventDispatcher(new EpollDispatcher);
    QCoreApplication app(argc, argv);
    EpollDispatcherTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_epolldispatcher.moc"

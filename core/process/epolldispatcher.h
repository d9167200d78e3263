#pragma once
#include <QAbstractEventDispatcher>
#include <QList>
#include <atomic>
#include <unordered_map>
#include <vector>

struct epoll_event;

// An event dispatcher for a program without windows, on Linux's epoll. Qt's
// own dispatchers give the whole list of watched descriptors to poll() at
// every turn of the loop, and polling a terminal is not cheap: the kernel
// first waits for the terminal's pending input work. With a dozen lines a
// service turns its loop thousands of times a second, and those polls were
// over half of its CPU. Here the kernel keeps the set and looks only at the
// descriptors that woke.
//
// Install it before the application object is made:
//     QCoreApplication::setEventDispatcher(new EpollDispatcher);
// Timers fire on the nanosecond clock, whatever their type; posted events,
// socket notifiers, interrupt() and wakeUp() from other threads behave as
// with Qt's own dispatcher.
class EpollDispatcher final : public QAbstractEventDispatcher {
public:
    EpollDispatcher();
    ~EpollDispatcher() override;

    // False when the kernel refused the epoll or event descriptor; use Qt's
    // own dispatcher then.
    bool isValid() const { return epollFd >= 0 && wakeFd >= 0; }

    // Tells this thread's dispatcher, when it is an EpollDispatcher, that the
    // reader of `fd` takes all that waits at each call (QSerialPort does), so
    // it is woken only when more comes: the kernel then looks at a terminal
    // once per wake-up instead of twice. Forgotten with the descriptor's
    // notifiers.
    static void setReaderDrains(qintptr fd);

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

private:
    // The notifiers of one descriptor, one of each type at most.
    struct Watch {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        bool inKernel = false; // added to the epoll set
        bool alwaysReady = false; // a regular file, which epoll refuses and poll() calls ready
        bool readerDrains = false;
    };
    struct Timer {
        int id;
        qint64 intervalMs;
        Qt::TimerType type;
        QObject *object;
        long long dueNs;
        bool firing = false; // its event is being delivered: not again from a nested loop
    };

    void updateInterest(int fd);
    long long waitNs(bool canWait, bool withTimers) const;
    int wait(epoll_event *events, long long ns);
    int activateNotifiers(const epoll_event *events, int count);
    int activateTimers();
    Timer *findTimer(int id);
    void drainWakeUps();

    int epollFd = -1;
    int wakeFd = -1;
    std::unordered_map<int, Watch> watches;
    int alwaysReadyCount = 0;
    bool fineWait = true; // epoll_pwait2, with a nanosecond time-out
    std::vector<Timer> timers; // few in any program: a linear scan beats a tree
    std::atomic<bool> wakeUpSent{false};
    std::atomic<bool> interrupted{false};
};

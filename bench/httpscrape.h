#pragma once
#include <QByteArray>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// GETs one path of 127.0.0.1:port every intervalMs on one kept-alive
// connection (made anew when the server closes it), in a thread of its own
// so that the bench's own loop does not delay the answers it times.
class Scraper {
public:
    Scraper(int port, QByteArray path, int intervalMs, int count = -1);
    ~Scraper();
    // The time from sending each request to the answer's last byte, in ms.
    std::vector<double> timesMs();
    int failures() const { return failed; }
    bool done() const { return finished; }

private:
    void run();
    double getOnce(int &fd);

    int port;
    QByteArray path;
    int intervalMs;
    int count;
    std::atomic<bool> stopping{false}, finished{false};
    std::atomic<int> failed{0};
    std::mutex lock;
    std::vector<double> times;
    std::thread worker;
};

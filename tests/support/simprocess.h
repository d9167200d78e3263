#pragma once
#include <QProcess>
#include <QString>
#include <QStringList>

// The kalmir-sim program run as a child process, for tests that want the
// simulator outside their own event loop (or its command line itself).
// Waits turn the caller's event loop.
class SimProcess {
public:
    explicit SimProcess(QStringList arguments = {});
    ~SimProcess();

    // Starts the program and waits for the slave path it prints. False if it
    // exits or prints nothing within the time.
    bool start(int timeoutMs = 5000);
    QString slavePath() const { return path; }
    // Sends SIGTERM and waits for the exit; true on a clean exit with code 0.
    bool terminate(int timeoutMs = 5000);
    QProcess &process() { return proc; }
    // Everything the program wrote to stderr so far.
    QByteArray errorOutput();

private:
    QStringList args;
    QProcess proc;
    QString path;
    QByteArray stdoutSoFar;
    QByteArray stderrSoFar;
};

#include "support/simprocess.h"

#include <QTest>
#include "support/childprocess.h"

SimProcess::SimProcess(QStringList arguments) : args(std::move(arguments)) {}

SimProcess::~SimProcess()
{
    if (proc.state() != QProcess::NotRunning && !terminate(3000)) {
        proc.kill();
        (void)QTest::qWaitFor([this] { return proc.state() == QProcess::NotRunning; }, 3000);
    }
}

bool SimProcess::start(int timeoutMs)
{
    stopsWithTest(proc);
    proc.start(QStringLiteral(KALMIR_SIM_BIN), args);
    const bool gotLine = QTest::qWaitFor(
        [this] {
            stdoutSoFar += proc.readAllStandardOutput();
            return stdoutSoFar.contains('\n') || proc.state() == QProcess::NotRunning;
        },
        timeoutMs);
    if (!gotLine || !stdoutSoFar.contains('\n'))
        return false;
    path = QString::fromLocal8Bit(stdoutSoFar.left(stdoutSoFar.indexOf('\n')));
    return !path.isEmpty();
}

bool SimProcess::terminate(int timeoutMs)
{
    if (proc.state() == QProcess::NotRunning)
        return proc.exitStatus() == QProcess::NormalExit && proc.exitCode() == 0;
    proc.terminate();
    if (!QTest::qWaitFor([this] { return proc.state() == QProcess::NotRunning; }, timeoutMs))
        return false;
    return proc.exitStatus() == QProcess::NormalExit && proc.exitCode() == 0;
}

QByteArray SimProcess::errorOutput()
{
    stderrSoFar += proc.readAllStandardError();
    return stderrSoFar;
}

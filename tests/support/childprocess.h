#pragma once
#include <QProcess>
#include <csignal>
#include <sys/prctl.h>

// A program a test starts dies with the test, even when the test itself is
// killed (a time-out, a crash) before its rig can stop it: a kalmird left
// behind reopens its port's path and takes the bytes of the next test's line.
inline void stopsWithTest(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

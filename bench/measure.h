#pragma once
// Small measuring helpers shared by the benchmarks.
#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

// CPU time of the whole process so far, in seconds.
inline double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Benchmarks with windows draw offscreen unless the caller chose a platform.
inline void offscreenUnlessSet()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// utime + stime of another process, in seconds.
inline double processCpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray s = f.readAll();
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// A field of /proc/PID/status ("VmRSS:").
inline QByteArray statusField(qint64 pid, const char *name)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    f.open(QIODevice::ReadOnly);
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(qsizetype(strlen(name)) + 1).trimmed();
    return {};
}

inline QByteArray loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    f.open(QIODevice::ReadOnly);
    return f.readAll().trimmed();
}

// The value below which a share p of the values lie (p = 1: the largest).
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

#pragma once
#include <QString>
#include <cstdio>

// One line per event on stderr, which the systemd journal takes.
inline void logEvent(const QString &text)
{
    std::fprintf(stderr, "kalmird: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

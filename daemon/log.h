#pragma once
#include <QString>
#include <cstdint>

// One line per event on stderr, which the systemd journal takes:
// "kalmird: <text>". The write never waits for the reader: what the reader
// has not taken yet waits in a buffer of 64 KiB, and a line that does not
// fit is dropped whole and counted, and so are the lines after it until the
// reader has taken half of what waits. Then one line says how many went
// ("log: 12 line(s) dropped, stderr was not read in time"), before the lines
// that come after them.
void logEvent(const QString &text);

// Lines dropped since the start.
uint64_t logLinesDropped();

// Writes what waits, then the dropped count if any, waiting for the reader
// as long as it takes something within 5 s. Runs at exit by itself (after
// main returns, or exit()); call it before quick_exit, _exit or abort.
void flushLog();

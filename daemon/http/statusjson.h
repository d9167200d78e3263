#pragma once
#include <QByteArray>

struct SiteSnapshot;

// The snapshot as the status page reads it: the lines with their detectors
// and the recent events, values as numbers and, where the window shows a
// text (the version, the temperature), that text too.
QByteArray statusJson(const SiteSnapshot &site);

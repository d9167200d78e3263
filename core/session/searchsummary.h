#pragma once
#include <QString>

// The end message of a fast search: how many addresses were probed fast, how
// long each waited for an answer to begin, and that a normal search finds the
// detectors slower than that.
QString fastSearchSummary(int probes, double marginMs);

#pragma once
#include <QByteArray>

struct SiteSnapshot;

// The snapshot in Prometheus' text exposition format (version 0.0.4): one
// family after the other, each with its HELP and TYPE, labels `line` and
// `address` per detector. A detector that has not answered yet has its
// presence and link counts only.
QByteArray metricsText(const SiteSnapshot &site);

#pragma once
#include "daemon/linefigures.h"
#include "session/linkcounts.h"
#include <QDateTime>
#include <QString>
#include <vector>

class Daemon;
struct LineConfig;

// Everything the HTTP endpoint shows, copied out of the running service in
// one go: the renderers take only this, never the service itself.
struct DetectorSnapshot {
    uint8_t address = 0;
    bool up = false;
    bool answered = false;     // the fields below the counts hold a reply
    LinkCounts counts;
    RoundTripHistogram roundTrips;
    DeviceStatus status;
    double lastGoodAgeS = 0;
};

struct LineSnapshot {
    QString name;
    bool up = false;
    double passesPerSecond = 0;
    double wireLimit = 0; // status passes per second the line's speed allows
    uint64_t losses = 0;
    std::vector<DetectorSnapshot> detectors;
};

struct SiteSnapshot {
    QString version;
    QDateTime time;
    bool mqttConnected = false;
    uint64_t eventsDropped = 0;
    uint64_t resultsDropped = 0;
    uint64_t logLinesDropped = 0;
    bool queueDurable = false; // the queue's file takes every commit
    std::vector<LineSnapshot> lines;
    std::vector<SiteEvent> events; // oldest first
};

// One status pass on the wire: the 8-byte request and the 53-byte reply, each
// followed by 3.5 characters of silence, 10 bits a character, then the delay.
double wireLimitPassesPerSecond(const LineConfig &line);

SiteSnapshot takeSnapshot(Daemon &daemon, const QString &version);

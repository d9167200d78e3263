#pragma once
#include "link/failure.h"
#include "sim/fault.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

class Simulator;

// The command line of kalmir-sim.
struct SimOptions {
    struct Device {
        uint8_t address;
        int baud;
    };
    QString link;
    QString logFile;
    bool frozen = false;
    bool wireTime = false;
    int turnaroundMs = 0;
    std::optional<uint16_t> password;
    QList<Device> devices; // one at address 1, 9600 baud when none is given
    QList<FaultOption> faults;
    bool help = false;
};

// `arguments` includes the program name. A bad option is a Config failure
// whose text says why.
Result<SimOptions> parseSimOptions(const QStringList &arguments);
QString simUsage();
// Adds the detectors and sets password, frozen state, faults and log file.
std::optional<Failure> applySimOptions(const SimOptions &options, Simulator &sim);

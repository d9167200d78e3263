#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

// Home Assistant discovery: retained configs under
// homeassistant/<component>/<node>/<object>/config that make a dashboard show
// each detector (binary sensors fire, fault, dust; sensors ir, uv,
// temperature) from its state topic, with no configuration by hand.

struct DiscoveredDetector {
    QString prefix; // the service's topic prefix, "kalmir"
    QString line;
    uint8_t address = 0;
    QString serial;  // as the state JSON carries it
    QString version; // as the grid shows it
};

struct RetainedMessage {
    QByteArray topic;
    QByteArray payload;
};

// One config per entity; an empty payload for each would remove them.
QList<RetainedMessage> discoveryConfigs(const DiscoveredDetector &detector,
                                        const QString &discoveryPrefix = QStringLiteral("homeassistant"));

#pragma once
#include "daemon/linecommands.h"
#include <QHash>
#include <QObject>
#include <map>
#include <memory>

class Daemon;
class LineWatch;
struct DeviceStatus;

// What a broker may do with the service: commands on
// <prefix>/<line>/<addr>/set/<name>, each answered once on .../result and
// logged with its topic, and, when asked for, the dashboard discovery
// configs of every detector that has answered.
class RemoteControl : public QObject {
    Q_OBJECT
public:
    explicit RemoteControl(Daemon &daemon);
    // Answers every command still waiting (the service stops).
    void stop();
    // A line started or stopped by a reload; a stopped one's commands are answered.
    void addLine(LineWatch &watch);
    void removeLine(const QString &name);

private:
    void onMessage(const QString &topic, const QByteArray &payload, bool retained, bool tooLong);
    void answer(const QString &line, uint8_t address, const RemoteDecision &command, bool ok, const QString &error);
    void discover(const QString &line, uint8_t address, const DeviceStatus &status);

    Daemon &daemon;
    std::map<QString, std::unique_ptr<LineCommands>> lines;
    QHash<QString, QByteArray> discovered; // per detector topic: the serial and version published
};

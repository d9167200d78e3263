#pragma once
#include "daemon/config.h"
#include "daemon/linefigures.h"
#include "daemon/statethrottle.h"
#include "session/session.h"
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

class Outbox;

// One line's detectors on the broker. Follows the changes of the session's
// detector records and makes each its topic and payload:
//   <prefix>/<line>/<addr>/state         retained, a changed status reply (StateThrottle)
//   <prefix>/<line>/<addr>/availability  retained, online / offline
//   <prefix>/<line>/<addr>/event         QoS 1, a change of an alarm bit
//   <prefix>/<line>/<addr>/stats         retained, the link counts when asked
class DetectorTopics : public QObject {
    Q_OBJECT
public:
    DetectorTopics(const Session &session, const LineConfig &line, const QString &prefix, Outbox &box,
                   QObject *parent = nullptr);

    // "<prefix>/<line>/<address>/<leaf>"
    static QString topic(const QString &prefix, const QString &line, uint8_t address, const QString &leaf);

    // Every listed detector's link counts, as of now.
    void publishStats(const QList<uint8_t> &addresses, const QDateTime &now);
    // The line has stopped: the states held back go out, and these detectors offline.
    void retire(const QList<uint8_t> &addresses);

signals:
    // An availability or alarm change, for the site's recent events.
    void happened(const SiteEvent &event);

private:
    void onChange(uint8_t address, const DetectorChange &change);
    QString topicOf(uint8_t address, const QString &leaf) const { return topic(prefix, line, address, leaf); }

    const DetectorRecords &records;
    const QString line;
    const QString prefix;
    Outbox &box;
    StateThrottle throttle;
};

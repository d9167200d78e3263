#pragma once
#include "session/detectorrecords.h"
#include <QList>
#include <QObject>
#include <QStringList>
#include <cstdint>

// The line's communication statistics as the window shows them: each
// address's link counts, kept in its detector's record, and the port losses,
// which belong to the line and to no detector.
class CommStats : public QObject {
    Q_OBJECT
public:
    explicit CommStats(DetectorRecords &records);

    // Every count back to zero ("Сбросить").
    void reset();
    // The port was lost while connected: counted for the line, not for a device.
    void notePortLost();
    uint64_t portLosses() const { return losses; }

    LinkCounts counts(uint8_t address) const { return records.linkCounts(address); }

    // The column titles and one address's row as shown, the address first.
    static QStringList columnTitles();
    QStringList row(uint8_t address) const;
    // The rows of these addresses as aligned plain text, a title line first
    // and the line's port losses last.
    QString textTable(const QList<uint8_t> &addresses) const;

signals:
    // A count changed: a request went out, an exchange ended, a reset, a loss.
    void changed();

private:
    DetectorRecords &records;
    uint64_t losses = 0;
};

#pragma once
#include "link/framerecord.h"
#include <QAbstractTableModel>
#include <deque>
#include <vector>

// The frames of the exchange monitor: the newest MaxFrames kept, those that
// pass the filter shown. New frames wait in a list until the window draws
// them (at most 25 times a second, never while paused), so storing one costs
// a copy and nothing more.
class MonitorModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int MaxFrames = 100000;
    // Verdict filter entries after "все": requests, then each verdict.
    static constexpr int AllVerdicts = -1;

    explicit MonitorModel(QObject *parent = nullptr);

    void add(const FrameRecord &record);
    // Takes the waiting frames into the table.
    void takeWaiting();
    bool hasWaiting() const { return !waiting.empty(); }
    void clear();
    // address -1: every address; verdict AllVerdicts or a FrameVerdict
    // (FrameVerdict::None: the requests).
    void setFilter(int address, int verdict);
    void setHex(bool on);
    bool hex() const { return inHex; }
    // How many bytes the bytes column shows before "…" (the whole frame is
    // its tooltip): laying out text that would be cut anyway costs the most.
    void setBytesShown(int count);
    qsizetype keptCount() const { return qsizetype(frames.size() + waiting.size()); }
    const FrameRecord &recordAt(int row) const;
    // The frame's number since the program began: the same frame, the same number.
    quint64 serialAt(int row) const { return shown[size_t(row)]; }

    // The rows as the table shows them, cells split by tabs, for the clipboard.
    QString rowsText(const QList<int> &rows) const;
    // The shown rows as CSV; false with `error` when the file cannot be written.
    bool saveCsv(const QString &path, QString *error) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    bool passes(const FrameRecord &record) const;
    void dropOldest();

    std::deque<FrameRecord> frames;
    std::deque<FrameRecord> waiting;
    quint64 firstSerial = 0;     // the serial number of frames.front()
    std::deque<quint64> shown;   // serials of the rows, in order
    int addressFilter = -1;
    int verdictFilter = AllVerdicts;
    bool inHex = true;
    int bytesShown = 16;
};

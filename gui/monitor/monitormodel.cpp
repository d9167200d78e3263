#include "monitor/monitormodel.h"
#include "link/framecsv.h"

#include <QBrush>
#include <QColor>
#include <QFile>

MonitorModel::MonitorModel(QObject *parent) : QAbstractTableModel(parent) {}

void MonitorModel::add(const FrameRecord &record)
{
    waiting.push_back(record);
    if (waiting.size() > MaxFrames) // paused a long time: the oldest go
        waiting.pop_front();
}

bool MonitorModel::passes(const FrameRecord &r) const
{
    if (addressFilter >= 0 && r.address != addressFilter)
        return false;
    return verdictFilter == AllVerdicts || int(r.verdict) == verdictFilter;
}

void MonitorModel::takeWaiting()
{
    if (waiting.empty())
        return;
    std::vector<quint64> added;
    for (FrameRecord &r : waiting) {
        frames.push_back(std::move(r));
        if (passes(frames.back()))
            added.push_back(firstSerial + frames.size() - 1);
    }
    waiting.clear();
    if (!added.empty()) {
        const int from = int(shown.size());
        beginInsertRows({}, from, from + int(added.size()) - 1);
        shown.insert(shown.end(), added.begin(), added.end());
        endInsertRows();
    }
    dropOldest();
}

void MonitorModel::dropOldest()
{
    if (frames.size() <= MaxFrames)
        return;
    const size_t gone = frames.size() - MaxFrames;
    frames.erase(frames.begin(), frames.begin() + qsizetype(gone));
    firstSerial += gone;
    int rows = 0;
    while (rows < int(shown.size()) && shown[size_t(rows)] < firstSerial)
        ++rows;
    if (rows == 0)
        return;
    beginRemoveRows({}, 0, rows - 1);
    shown.erase(shown.begin(), shown.begin() + rows);
    endRemoveRows();
}

void MonitorModel::clear()
{
    beginResetModel();
    firstSerial += frames.size();
    frames.clear();
    waiting.clear();
    shown.clear();
    endResetModel();
}

void MonitorModel::setFilter(int address, int verdict)
{
    beginResetModel();
    addressFilter = address;
    verdictFilter = verdict;
    shown.clear();
    for (size_t i = 0; i < frames.size(); ++i)
        if (passes(frames[i]))
            shown.push_back(firstSerial + i);
    endResetModel();
}

void MonitorModel::setHex(bool on)
{
    inHex = on;
    const int c = int(FrameColumn::Bytes);
    emit headerDataChanged(Qt::Horizontal, c, c);
    if (!shown.empty())
        emit dataChanged(index(0, c), index(int(shown.size()) - 1, c));
}

void MonitorModel::setBytesShown(int count)
{
    bytesShown = std::max(count, 1);
    const int c = int(FrameColumn::Bytes);
    if (!shown.empty())
        emit dataChanged(index(0, c), index(int(shown.size()) - 1, c));
}

const FrameRecord &MonitorModel::recordAt(int row) const
{
    return frames[size_t(shown[size_t(row)] - firstSerial)];
}

int MonitorModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(shown.size());
}

int MonitorModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(FrameColumn::Count);
}

QVariant MonitorModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(shown.size()))
        return {};
    const FrameRecord &r = recordAt(index.row());
    const auto column = FrameColumn(index.column());
    switch (role) {
    case Qt::DisplayRole:
        if (column == FrameColumn::Bytes && r.bytes.size() > bytesShown)
            return frameBytesText(r.bytes.left(bytesShown), inHex) + QStringLiteral(" …");
        return frameCell(r, column, inHex);
    case Qt::ToolTipRole:
        return column == FrameColumn::Bytes ? frameCell(r, column, inHex) : QVariant();
    case Qt::TextAlignmentRole:
        return column == FrameColumn::Bytes || column == FrameColumn::Verdict || column == FrameColumn::Time
            ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
            : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::ForegroundRole: {
        const bool bad = r.verdict != FrameVerdict::None && r.verdict != FrameVerdict::Status
            && r.verdict != FrameVerdict::Echo;
        return bad ? QVariant(QBrush(QColor(180, 0, 0))) : QVariant();
    }
    default:
        return {};
    }
}

QVariant MonitorModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    return frameColumnTitles(inHex).value(section);
}

QString MonitorModel::rowsText(const QList<int> &rows) const
{
    QString out;
    for (int row : rows) {
        QStringList cells;
        for (int c = 0; c < int(FrameColumn::Count); ++c)
            cells << frameCell(recordAt(row), FrameColumn(c), inHex);
        out += cells.join(u'\t') + u'\n';
    }
    return out;
}

bool MonitorModel::saveCsv(const QString &path, QString *error) const
{
    QFile file(path);
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(frameCsvHeader()) > 0;
    for (size_t i = 0; ok && i < shown.size(); ++i)
        ok = file.write(frameCsvLine(recordAt(int(i)))) > 0;
    ok = ok && file.flush();
    if (!ok && error)
        *error = file.errorString();
    return ok;
}

#include "session/devicelog.h"
#include "link/apperror.h"
#include "detector/valueformats.h"
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>

const QString DeviceLog::Header = QStringLiteral("Время    Uик  Uуф  Uкз  Uт  Пожар Авария К.З.");

namespace {
[[noreturn]] void throwIoError(int error)
{
    if (error == EACCES || error == EPERM)
        throw AppError(QStringLiteral("File access denied"));
    throw AppError(QStringLiteral("I/O error %1").arg(error));
}

int renameFile(const QString &from, const QString &to)
{
#ifdef _WIN32
    return _wrename(reinterpret_cast<const wchar_t *>(from.utf16()), reinterpret_cast<const wchar_t *>(to.utf16()));
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData());
#endif
}

// "dev5.txt" last changed at 10:30:00 on 7 Dec 2026 becomes
// "dev5-20261207-103000.txt"; a name already taken gets "-2", "-3", ...
QString archiveName(const QFileInfo &log)
{
    const QString stem = log.completeBaseName() + u'-'
                         + log.lastModified().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = stem + QStringLiteral(".txt");
    for (int n = 2; log.dir().exists(name); ++n)
        name = QStringLiteral("%1-%2.txt").arg(stem).arg(n);
    return log.dir().filePath(name);
}

std::FILE *openForWriting(const QString &path)
{
#ifdef _WIN32
    return _wfopen(reinterpret_cast<const wchar_t *>(path.utf16()), L"wb");
#else
    return std::fopen(QFile::encodeName(path).constData(), "wb");
#endif
}
} // namespace

DeviceLog::DeviceLog() : encoder("windows-1251") {}

DeviceLog::~DeviceLog()
{
    if (file)
        std::fclose(file);
}

void DeviceLog::keepEarlierLog(const QString &path)
{
    const QFileInfo existing(path);
    const qint64 headerOnly = QByteArray(encoder(Header)).size() + 2;
    if (!existing.isFile() || existing.size() <= headerOnly)
        return;
    errno = 0;
    if (renameFile(path, archiveName(existing)) != 0)
        throwIoError(errno);
}

void DeviceLog::open(const QString &path)
{
    close();
    keepEarlierLog(path);
    errno = 0;
    file = openForWriting(path);
    if (!file)
        throwIoError(errno);
    filePath = path;
    try {
        writeLine(Header);
    } catch (...) {
        std::fclose(file);
        file = nullptr;
        throw;
    }
}

void DeviceLog::writeRow(const QString &time, int Uik, int Uuf, int Ukz, int Ut, bool Fire, bool Fault,
                         bool Dust)
{
    QString line;
    for (const QString &field : {time, QString::number(Uik), QString::number(Uuf), QString::number(Ukz),
                                 QString::number(Ut), QString::number(int(Fire)), QString::number(int(Fault)),
                                 QString::number(int(Dust))})
        line += field + QStringLiteral("  ");
    writeLine(line);
}

void DeviceLog::writeRow(QTime time, int Uik, int Uuf, int Ukz, int Ut, bool Fire, bool Fault, bool Dust)
{
    writeRow(timeOfDayText(time), Uik, Uuf, Ukz, Ut, Fire, Fault, Dust);
}

void DeviceLog::close()
{
    if (!file)
        return;
    std::FILE *closing = file;
    file = nullptr;
    errno = 0;
    if (std::fclose(closing) != 0)
        throwIoError(errno);
}

void DeviceLog::writeLine(const QString &line)
{
    if (!file)
        return;
    QByteArray bytes = encoder(line);
    bytes += "\r\n";
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file) != std::size_t(bytes.size())
        || std::fflush(file) != 0)
        throwIoError(errno);
}

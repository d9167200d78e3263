#include "status/devicelog.h"
#include "link/apperror.h"
#include "status/formats.h"
#include <QFile>
#include <cerrno>

const QString DeviceLog::Header = QStringLiteral("Время    Uик  Uуф  Uкз  Uт  Пожар Авария К.З.");

namespace {
[[noreturn]] void throwIoError(int error)
{
    if (error == EACCES || error == EPERM)
        throw AppError(QStringLiteral("File access denied"));
    throw AppError(QStringLiteral("I/O error %1").arg(error));
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

void DeviceLog::open(const QString &path)
{
    close();
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

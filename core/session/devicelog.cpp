#include "session/devicelog.h"
#include "detector/valueformats.h"
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

const QString DeviceLog::Header = QStringLiteral("Время    Uик  Uуф  Uкз  Uт  Пожар Авария К.З.");

// Which file and why, so the engineer need not guess which of the logs (or
// which folder) is at fault.
Failure logFileFailure(int error, const QString &path)
{
    Failure f = Failure::withValue(error == EACCES || error == EPERM ? Failure::Kind::FileAccess
                                                                     : Failure::Kind::FileIo,
                                   error);
    f.path = QFileInfo(path).absoluteFilePath();
    f.osText = QString::fromLocal8Bit(std::strerror(error));
    return f;
}

namespace {
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
    const QString stem = log.completeBaseName() + u'-' + log.lastModified().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = stem + QStringLiteral(".txt");
    for (int n = 2; log.dir().exists(name); ++n)
        name = QStringLiteral("%1-%2.txt").arg(stem).arg(n);
    return log.dir().filePath(name);
}

// A log name that is a symbolic link is refused (ELOOP): in a folder others
// can write, a planted link would make us overwrite any file of the user's.
std::FILE *openForWriting(const QString &path)
{
#ifdef _WIN32
    return _wfopen(reinterpret_cast<const wchar_t *>(path.utf16()), L"wb");
#else
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE *file = ::fdopen(fd, "wb");
    if (!file)
        ::close(fd);
    return file;
#endif
}

// Cuts the file back to `size` bytes: a line the disk took only in part goes again.
void cutBack(std::FILE *file, long size)
{
#ifdef _WIN32
    (void)_chsize_s(_fileno(file), size);
#else
    (void)!::ftruncate(fileno(file), size);
#endif
    std::clearerr(file);
    std::fseek(file, size, SEEK_SET);
}
} // namespace

DeviceLog::DeviceLog() : encoder("windows-1251")
{
}

DeviceLog::~DeviceLog()
{
    if (file)
        std::fclose(file);
}

bool DeviceLog::holdsRows(const QString &path)
{
    const QFileInfo existing(path);
    const qint64 headerOnly = QByteArray(QStringEncoder("windows-1251")(Header)).size() + 2;
    // A link is left alone: the open refuses it, naming the file.
    return !existing.isSymLink() && existing.isFile() && existing.size() > headerOnly;
}

std::optional<Failure> DeviceLog::keepEarlierLog(const QString &path)
{
    if (!holdsRows(path))
        return std::nullopt;
    errno = 0;
    if (renameFile(path, archiveName(QFileInfo(path))) != 0)
        return logFileFailure(errno, path);
    return std::nullopt;
}

std::optional<Failure> DeviceLog::open(const QString &path)
{
    if (auto failure = close())
        return failure;
    if (auto failure = keepEarlierLog(path))
        return failure;
    errno = 0;
    file = openForWriting(path);
    if (!file)
        return logFileFailure(errno, path);
    // Unbuffered: each line is one write, so a failed one leaves nothing
    // behind in a buffer to reach the disk later.
    std::setvbuf(file, nullptr, _IONBF, 0);
    filePath = path;
    wholeSize = 0;
    auto failure = writeLine(Header);
    if (failure) {
        std::fclose(file);
        file = nullptr;
    }
    return failure;
}

std::optional<Failure> DeviceLog::writeRow(const QString &time, int irSignal, int uvSignal, int dustSignal,
                                           int temperatureTenths, bool fire, bool fault, bool dust)
{
    QString line;
    for (const QString &field : {time, QString::number(irSignal), QString::number(uvSignal),
                                 QString::number(dustSignal), QString::number(temperatureTenths),
                                 QString::number(int(fire)), QString::number(int(fault)), QString::number(int(dust))})
        line += field + QStringLiteral("  ");
    return writeLine(line);
}

std::optional<Failure> DeviceLog::writeRow(QTime time, int irSignal, int uvSignal, int dustSignal,
                                           int temperatureTenths, bool fire, bool fault, bool dust)
{
    return writeRow(timeOfDayText(time), irSignal, uvSignal, dustSignal, temperatureTenths, fire, fault, dust);
}

std::optional<Failure> DeviceLog::close()
{
    if (!file)
        return std::nullopt;
    std::FILE *closing = file;
    file = nullptr;
    errno = 0;
    if (std::fclose(closing) != 0)
        return logFileFailure(errno, filePath);
    return std::nullopt;
}

std::optional<Failure> DeviceLog::writeLine(const QString &line)
{
    if (!file)
        return std::nullopt;
    QByteArray bytes = encoder(line);
    bytes += "\r\n";
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file) != std::size_t(bytes.size())
        || std::fflush(file) != 0) {
        const int error = errno;
        // Every row in the file is whole: a part the disk took (full, or a
        // size limit) is cut off, and nothing glues onto it later.
        cutBack(file, wholeSize);
        return logFileFailure(error, filePath);
    }
    wholeSize += long(bytes.size());
    return std::nullopt;
}

#include "daemon/logchain.h"
#include "session/devicelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {
QString systemCause(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// rename() replaces what is at `to`; a `from` that is not there is skipped.
std::optional<Failure> moveFile(const QString &from, const QString &to)
{
    errno = 0;
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0 && errno != ENOENT)
        return logFileFailure(errno, from);
    return std::nullopt;
}
} // namespace

QString chainPath(const QString &path, int n)
{
    const QFileInfo f(path);
    return f.dir().filePath(QStringLiteral("%1.%2.%3").arg(f.completeBaseName()).arg(n).arg(f.suffix()));
}

std::optional<Failure> rotateLogChain(const QString &path, int keep)
{
    if (keep == 0) {
        errno = 0;
        if (std::remove(QFile::encodeName(path).constData()) != 0 && errno != ENOENT)
            return logFileFailure(errno, path);
        return std::nullopt;
    }
    for (int n = keep - 1; n >= 1; --n)
        if (auto failure = moveFile(chainPath(path, n), chainPath(path, n + 1)))
            return failure;
    return moveFile(path, chainPath(path, 1));
}

QString logFolderProblem(const QString &dir, const QString &what)
{
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(dir).toStdString()), error);
    if (error)
        return QStringLiteral("cannot create %1 %2: %3")
            .arg(what, dir, QString::fromLocal8Bit(error.message().c_str()));
    const QString probe =
        QDir(dir).filePath(QStringLiteral(".kalmird-check-%1").arg(QCoreApplication::applicationPid()));
    errno = 0;
    std::FILE *file = std::fopen(QFile::encodeName(probe).constData(), "wbx");
    if (!file)
        return QStringLiteral("cannot create a file in %1 %2: %3").arg(what, dir, systemCause(errno));
    std::fclose(file);
    std::remove(QFile::encodeName(probe).constData());
    return {};
}

// Why a port would not open: missing, busy, or not this user's to open.
#include "link/portopenerror.h"
#include "support/ptypeer.h"

#include <QFile>
#include <QStandardPaths>
#include <QtTest>
#include <unistd.h>

class TestPortAccess : public QObject {
    Q_OBJECT
private slots:
    void messageForEachCase()
    {
        const QString noPort = QStringLiteral("Попытка открыть несуществующий COM-порт");
        const QString busy = QStringLiteral("Порт занят другой программой");
        const QString denied = QStringLiteral("Нет доступа к порту /dev/ttyUSB0: нужны права группы %1. ");
        const struct {
            PortOpenFacts facts;
            QString startOfMessage;
        } rows[] = {
            {{QSerialPort::DeviceNotFoundError, "/dev/ttyUSB0", false, false, ""}, noPort},
            {{QSerialPort::PermissionError, "/dev/ttyUSB0", false, false, ""}, noPort}, // gone meanwhile
            {{QSerialPort::PermissionError, "/dev/ttyUSB0", true, true, "dialout"}, busy},  // lock file, EBUSY
            {{QSerialPort::PermissionError, "/dev/ttyUSB0", true, false, "uucp"}, denied.arg("uucp")},
            {{QSerialPort::PermissionError, "/dev/ttyUSB0", true, false, ""}, denied.arg("dialout")},
            {{QSerialPort::UnknownError, "/dev/ttyUSB0", true, true, "dialout"}, QStringLiteral("Ошибка функции SetupComm")},
        };
        for (const auto &row : rows)
            QCOMPARE(windowText(portOpenFailure(row.facts)).left(row.startOfMessage.size()), row.startOfMessage);
    }

    // The real case: a pseudo-terminal only root may open, opened by the
    // program's serial channel in a process running as nobody.
    void deniedPortOpenedAsAnotherUser()
    {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (geteuid() != 0 || setpriv.isEmpty())
            QSKIP("needs root and setpriv to run the opener as nobody");
        PtyPeer peer;
        QFile slave(peer.slavePath());
        const auto openAsNobody = [&] {
            QProcess p;
            p.start(setpriv, {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", KALMIR_OPENPORT_BIN,
                              peer.slavePath()});
            return p.waitForFinished(10000) ? QString::fromUtf8(p.readAllStandardOutput()).trimmed() : QString();
        };
        QVERIFY(slave.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        const QString message = openAsNobody();
        QVERIFY2(message.startsWith(QStringLiteral("Нет доступа к порту %1: нужны права группы %2. ")
                                        .arg(peer.slavePath(), QFileInfo(slave).group())),
                 qPrintable(message));
        // The same port for everybody: the permissions were the only obstacle.
        QVERIFY(slave.setPermissions(slave.permissions() | QFile::ReadOther | QFile::WriteOther));
        QCOMPARE(openAsNobody(), QStringLiteral("opened"));
    }
};

QTEST_GUILESS_MAIN(TestPortAccess)
#include "test_portaccess.moc"

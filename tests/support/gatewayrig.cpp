#include "support/gatewayrig.h"

#include <QJsonDocument>

void GatewayRig::start(const QString &linePath, int speed, const QString &devices, const QString &line,
                       const QString &gateway)
{
    if (!broker.start())
        qFatal("mosquitto did not start");
    sub = std::make_unique<Subscriber>(broker.port(), QStringLiteral("kalmir/#"));
    daemon = std::make_unique<DaemonProcess>(
        QStringLiteral("[mqtt]\nhost = \"127.0.0.1\"\nport = %1\nstats_interval_s = 1\n\n[[line]]\nname = \"north\"\n"
                       "port = \"%2\"\nspeed = %3\ndevices = %4\nstate_min_interval_ms = 0\noffline_probe_s = 1\n%5\n"
                       "[line.gateway]\nlisten = \"127.0.0.1:%6\"\nrtu_listen = \"127.0.0.1:%7\"\n%8")
            .arg(broker.port())
            .arg(linePath)
            .arg(speed)
            .arg(devices, line)
            .arg(modbusPort)
            .arg(rtuPort)
            .arg(gateway));
    if (!errorFile.isEmpty())
        daemon->setErrorFile(errorFile);
    daemon->start();
}

bool GatewayRig::online(const QList<int> &addresses)
{
    for (const int a : addresses)
        if (!sub->waitFor(QStringLiteral("kalmir/north/%1/availability").arg(a), "online", 10000))
            return false;
    return true;
}

QJsonObject GatewayRig::counts(int requests)
{
    const QString topic = QStringLiteral("kalmir/north/gateway");
    const auto settled = [&](const QByteArray &p) {
        const QJsonObject c = json(p);
        int ended = 0;
        for (const char *outcome : {"ok", "exceptions", "timeouts", "expired", "refused", "abandoned"})
            ended += c.value(QLatin1StringView(outcome)).toInt();
        return c.value(QLatin1StringView("requests")).toInt() == requests && ended == requests;
    };
    sub->waitFor(topic, settled, 5000);
    return json(sub->latest(topic));
}

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

QByteArray mbpoll(quint16 port, const QStringList &arguments, const QStringList &values)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("mbpoll"),
            QStringList{"-m", "tcp", "-p", QString::number(port), "-o", "3", "-1"} + arguments
                + QStringList{"127.0.0.1"} + values);
    loopUntil([&] { return p.state() == QProcess::NotRunning; }, 20000);
    return p.readAll();
}

QByteArray pdu(std::initializer_list<int> bytes)
{
    QByteArray b;
    for (const int v : bytes)
        b.append(char(v));
    return b;
}

int exceptionsWith(const QList<MbapClient::Answer> &answers, uint8_t code)
{
    return int(std::count_if(answers.begin(), answers.end(), [&](const MbapClient::Answer &a) {
        return a.pdu.size() == 2 && (uint8_t(a.pdu[0]) & 0x80) && uint8_t(a.pdu[1]) == code;
    }));
}

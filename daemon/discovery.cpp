#include "daemon/discovery.h"
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace {
struct Entity {
    const char *component;
    const char *object;   // the state JSON's name, and the entity's object id
    const char *name;     // the window's caption
    const char *deviceClass;
    const char *unit;     // sensors only
};

constexpr Entity Entities[] = {
    {"binary_sensor", "fire", "Пожар", "safety", nullptr},
    {"binary_sensor", "fault", "Авария", "problem", nullptr},
    {"binary_sensor", "dust", "Запыленость", "problem", nullptr},
    {"sensor", "ir", "Uик", nullptr, nullptr},
    {"sensor", "uv", "Uуф", nullptr, nullptr},
    {"sensor", "temperature", "Uт", "temperature", "°C"},
};
} // namespace

QList<RetainedMessage> discoveryConfigs(const DiscoveredDetector &d, const QString &discoveryPrefix)
{
    const QString base = u"%1/%2/%3"_s.arg(d.prefix, d.line).arg(d.address);
    // The prefix and the line name are topic levels of letters, digits, '-'
    // and '_', which node and unique ids allow too.
    const QString node = u"%1_%2_%3"_s.arg(d.prefix, d.line).arg(d.address);
    const QJsonObject device{
        {"identifiers"_L1, QJsonArray{node}},
        {"name"_L1, u"КАЛМИР %1/%2"_s.arg(d.line).arg(d.address)},
        {"model"_L1, u"КАЛМИР-ИК/УФ"_s},
        {"serial_number"_L1, d.serial},
        {"sw_version"_L1, d.version},
    };
    const QJsonArray availability{
        QJsonObject{{"topic"_L1, base + "/availability"_L1}},
        QJsonObject{{"topic"_L1, d.prefix + "/status"_L1}},
    };
    QList<RetainedMessage> out;
    for (const Entity &e : Entities) {
        const QString object = QLatin1StringView(e.object);
        const bool binary = qstrcmp(e.component, "binary_sensor") == 0;
        QJsonObject config{
            {"name"_L1, QString::fromUtf8(e.name)},
            {"unique_id"_L1, node + u'_' + object},
            // The entity id it starts with; Home Assistant takes the whole id,
            // domain included (it no longer reads object_id).
            {"default_entity_id"_L1, QLatin1StringView(e.component) + u'.' + node + u'_' + object},
            {"state_topic"_L1, base + "/state"_L1},
            {"availability"_L1, availability},
            {"availability_mode"_L1, "all"_L1},
            {"payload_available"_L1, "online"_L1},
            {"payload_not_available"_L1, "offline"_L1},
            {"device"_L1, device},
        };
        if (binary) {
            config["value_template"_L1] = u"{{ 'ON' if value_json.%1 else 'OFF' }}"_s.arg(object);
            config["payload_on"_L1] = "ON"_L1;
            config["payload_off"_L1] = "OFF"_L1;
        } else {
            config["value_template"_L1] = u"{{ value_json.%1 }}"_s.arg(object);
            config["state_class"_L1] = "measurement"_L1;
        }
        if (e.deviceClass)
            config["device_class"_L1] = QLatin1StringView(e.deviceClass);
        if (e.unit)
            config["unit_of_measurement"_L1] = QString::fromUtf8(e.unit);
        out.append({u"%1/%2/%3/%4/config"_s.arg(discoveryPrefix, QLatin1StringView(e.component), node, object).toUtf8(),
                    QJsonDocument(config).toJson(QJsonDocument::Compact)});
    }
    return out;
}

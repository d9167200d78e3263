#pragma once
#include <QHostAddress>
#include <QString>
#include <optional>
#include <utility>

// A gateway's listen text: "PORT" (on 127.0.0.1), "ADDRESS:PORT" or
// "[V6ADDRESS]:PORT", an address being numeric; nullopt when it is none.
std::optional<std::pair<QHostAddress, quint16>> listenAddress(const QString &text);

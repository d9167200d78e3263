#pragma once
#include "daemon/config.h"
#include "daemon/tablereader.h"

#include <vector>

// The [line.gateway] table of a line, checked key by key.
GatewayConfig readGateway(const TableReader &r, const toml::table &t);
// Refuses two of the service's listening ports on one: the gateways' of
// every line (each line's table is at gatewayAt[i]) and the HTTP endpoint's.
// The later of the two would stay closed.
void checkListenPorts(const TableReader &r, const DaemonConfig &config,
                      const std::vector<toml::source_region> &gatewayAt);
// What --check says of a line's gateway: one line.
QString describeGateway(const LineConfig &line);

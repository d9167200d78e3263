#pragma once
#include "daemon/config.h"
#include "daemon/tablereader.h"

// The [line.gateway] table of a line, checked key by key.
GatewayConfig readGateway(const TableReader &r, const toml::table &t);
// What --check says of a line's gateway: one line.
QString describeGateway(const LineConfig &line);

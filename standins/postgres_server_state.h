// The replication state a PostgreSQL server reports (server_state.h), read
// in the connection's current transaction with read-only queries.
#pragma once

#include "postgres_connection.h"
#include "quillet/standins/server_state.h"

namespace quillet::standins {

ServerState ReadServerState(PgConnection& db);

}  // namespace quillet::standins

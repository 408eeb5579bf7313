// The PostgreSQL engine's database: its schema, and the steps that bring
// an older schema up to date.
#pragma once

#include "postgres_connection.h"
#include "quillet/standins/store_types.h"

namespace quillet::standins {

// Checks, under one lock across hosts, that the database is Quillet's and
// of a schema this build knows. For writing it then creates the schema in
// an empty database, or migrates an older one, in one transaction, and
// marks it. For reading it refuses an empty or older database. Refusals
// raise kBackendError before anything is written.
void PreparePostgresSchema(PgConnection& db, OpenMode open);

}  // namespace quillet::standins

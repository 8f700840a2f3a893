#!/bin/sh
# Runs a test that needs a PostgreSQL database, or skips it (CTest's
# SKIP_RETURN_CODE) when BELFRY_TEST_PG names none.
if [ -z "$BELFRY_TEST_PG" ]; then
  echo "SKIP: BELFRY_TEST_PG is not set (a libpq connection string; .ci/run starts a cluster," \
    "or: bash scripts/pg-cluster.sh start DIR)"
  exit 77
fi
exec "$@"

# History database test, on SQLite and on a throwaway PostgreSQL server that a
# CTest fixture starts before it and stops after it.
set(QLX_PG_TEST_DIR ${CMAKE_CURRENT_BINARY_DIR}/pg-test-server)
set(QLX_PG_TEST_PORT 54329)
set(QLX_PG_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/../scripts/pg-test-server.sh)

add_test(NAME history_pg_start COMMAND ${QLX_PG_SCRIPT} start ${QLX_PG_TEST_DIR})
add_test(NAME history_pg_stop COMMAND ${QLX_PG_SCRIPT} stop ${QLX_PG_TEST_DIR})
set_tests_properties(history_pg_start PROPERTIES FIXTURES_SETUP history_pg LABELS integration
  ENVIRONMENT "QLX_PG_PORT=${QLX_PG_TEST_PORT}")
set_tests_properties(history_pg_stop PROPERTIES FIXTURES_CLEANUP history_pg LABELS integration
  ENVIRONMENT "QLX_PG_PORT=${QLX_PG_TEST_PORT}")

qlx_add_test(test_history_db integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_history_db.cpp LIBS qlx_history_db)
set_tests_properties(test_history_db PROPERTIES FIXTURES_REQUIRED history_pg
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;QLX_PG_SOCKET=${QLX_PG_TEST_DIR};QLX_PG_PORT=${QLX_PG_TEST_PORT};QLX_PG_SCRIPT=${QLX_PG_SCRIPT}")

# History database benchmark (not a test): one polling pass through the station's
# recorder with the longest block of the event loop, also with the database out
# of reach; the pass and the chart query beside sqlite3 / psql.
add_executable(quorlex-bench-history ${CMAKE_CURRENT_LIST_DIR}/bench_history.cpp)
target_link_libraries(quorlex-bench-history PRIVATE qlx_engine Qt6::Network)
target_compile_definitions(quorlex-bench-history PRIVATE
  QLX_PG_SCRIPT_DEFAULT="${CMAKE_SOURCE_DIR}/scripts/pg-test-server.sh")

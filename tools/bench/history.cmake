# History database benchmark (not a test): station statements beside sqlite3 / psql.
add_executable(quorlex-bench-history ${CMAKE_CURRENT_LIST_DIR}/bench_history.cpp)
target_link_libraries(quorlex-bench-history PRIVATE qlx_storage)

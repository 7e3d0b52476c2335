# Polling pass benchmark (not a test): a short pass against the wire's own time, and the
# station's CPU time per pass of 255 nodes with the state monitor open, the simulator
# running as the quorlex-sim program.
add_executable(quorlex-bench-polling ${CMAKE_CURRENT_LIST_DIR}/bench_polling.cpp)
target_link_libraries(quorlex-bench-polling PRIVATE qlx_windows qlx_sim)
target_compile_definitions(quorlex-bench-polling PRIVATE QLX_SIM_PROGRAM="$<TARGET_FILE:quorlex-sim>")
add_dependencies(quorlex-bench-polling quorlex-sim)

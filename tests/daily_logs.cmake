qlx_add_test(test_daily_logs unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_daily_logs.cpp LIBS qlx_files)

# The state monitor: cell writer, number text, grid rows and the close question.
qlx_add_test(gui_monitor gui SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_monitor.cpp LIBS qlx_views)

# The printed state report: text against fixtures, saving, printing to PDF.
qlx_add_test(gui_print_report gui SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_print_report.cpp LIBS qlx_views
             DEFINITIONS QLX_FIXTURES="${CMAKE_CURRENT_LIST_DIR}/fixtures")

# The refresh-interval dialog and the serial settings dialog (included from tests/gui/CMakeLists.txt).
qlx_add_test(gui_dialogs gui SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dialogs.cpp LIBS qlx_device_dialogs qlx_port_dialog)

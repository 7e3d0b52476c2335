# The serial port's settings dialog (included from core/ui/CMakeLists.txt).
add_library(qlx_port_dialog STATIC
  ${CMAKE_CURRENT_LIST_DIR}/serial_settings_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/serial_settings_dialog.h
)
set_target_properties(qlx_port_dialog PROPERTIES AUTOMOC ON)
target_link_libraries(qlx_port_dialog PUBLIC qlx_core qlx_dialog_seam Qt6::Widgets QCoro6::Core)

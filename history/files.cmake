# Unit_files: the daily text logs (value, setpoint and alerts logs).
add_library(qlx_files STATIC
  ${CMAKE_CURRENT_LIST_DIR}/unit_files.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit_files.h
)
target_link_libraries(qlx_files PUBLIC qlx_core)

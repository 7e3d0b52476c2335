# The history database: data module TDM_local with its shipped schemas.
add_library(qlx_history_db STATIC
  ${CMAKE_CURRENT_LIST_DIR}/unit_dm.cpp ${CMAKE_CURRENT_LIST_DIR}/unit_dm.h
)
qt_add_resources(qlx_history_db qlx_history_schema
  PREFIX /history
  BASE ${CMAKE_CURRENT_LIST_DIR}
  FILES ${CMAKE_CURRENT_LIST_DIR}/schema_sqlite.sql ${CMAKE_CURRENT_LIST_DIR}/schema_postgresql.sql
)
target_link_libraries(qlx_history_db PUBLIC qlx_core Qt6::Sql)

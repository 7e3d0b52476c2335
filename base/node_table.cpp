#include "base/node_table.h"

namespace qlx {

OneBased<Tarr_node, kSlots> arr_nodes;
CellGrid arr_cells;
QString last_result;
std::uint8_t abort_read = 0;
std::int32_t found_count = 0;
std::uint8_t scan_running = 0;

void reset_cell_grid()
{
    for (int column = 0; column < kGridColumns; ++column) {
        for (int row = 0; row < kGridRows; ++row) {
            T_cell &cell = arr_cells(column, row);
            cell.text.clear();
            cell.font_color = clBlack;
            cell.font_size = 8;
            if (column <= 2) {
                cell.font_style = 0;
                cell.back_color = clBtnFace;
                cell.top_offset = 2;
            } else {
                // Channel cells keep their style bits.
                cell.back_color = clWhite;
                cell.top_offset = 0;
            }
        }
    }
}

void reset_node_addresses()
{
    for (Tarr_node &node : arr_nodes)
        node.address = 0;
}

void reset_node_table_state()
{
    arr_nodes = {};
    arr_cells = {};
    last_result.clear();
    abort_read = 0;
    found_count = 0;
    scan_running = 0;
}

int filled_slot_count()
{
    int n = 0;
    while (n + 1 <= kSlots && arr_nodes[n + 1].address != 0)
        ++n;
    return n;
}

} // namespace qlx

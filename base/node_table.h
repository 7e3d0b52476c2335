// The station's in-memory picture of the line: the node table, the monitor
// cell grid and the shared run-time values.
//
// All of it is process-wide state reached only from the user-interface thread.
// It is zero-filled at start and lives until exit.
#pragma once

#include <QString>

#include <array>
#include <cstdint>

namespace qlx {

// Fixed-size array indexed from 1 to N, like the controller's own numbering
// of channels and node slots.
template <typename T, int N>
class OneBased {
public:
    T &operator[](int i) { return m_items.at(static_cast<std::size_t>(i - 1)); }
    const T &operator[](int i) const { return m_items.at(static_cast<std::size_t>(i - 1)); }
    static constexpr int size() { return N; }
    auto begin() { return m_items.begin(); }
    auto end() { return m_items.end(); }
    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

private:
    std::array<T, N> m_items{};
};

inline constexpr int kChannels = 12;
inline constexpr int kSlots = 256;     // 255 addresses + one slot that always stays empty
inline constexpr int kGridColumns = 15;
inline constexpr int kGridRows = 256;

struct Tarr_channel {
    std::int32_t value = 0;   // measured value as an integer, value / 10^(4 - point)
    std::int32_t point = 0;   // 1 thousandths, 2 hundredths, 3 tenths, 4 units; 0 never read
    std::uint8_t alarm_nu = 0;
    std::uint8_t alarm_vu = 0;
    bool operator==(const Tarr_channel &) const = default;
};

struct Tarr_state {
    std::int32_t mode_bit7 = 0;
    std::int32_t prog_mode = 0;
    std::int32_t settings_changed = 0;
    std::int32_t display_quantity = 0;
    std::int32_t display_channel = 0;
    bool operator==(const Tarr_state &) const = default;
};

struct Tarr_setup {
    std::int32_t gain = 0;       // 1/65536 units
    std::int32_t zero = 0;       // raw code at the start of the scale
    std::int32_t range_min = 0;  // thousandths
    std::int32_t nu = 0;         // lower setpoint, thousandths
    std::int32_t vu = 0;         // upper setpoint, thousandths
    std::int32_t range_max = 0;  // thousandths
    std::int32_t point_pos = 0;  // 0..3, point = point_pos + 1
    std::int32_t gis_nu = 0;     // hysteresis of nu, thousandths
    std::int32_t gis_vu = 0;     // hysteresis of vu, thousandths
    std::int32_t raw = 0;        // raw code read with the block
    std::int32_t conv_error = 0; // 999 when the block failed to decode
    bool operator==(const Tarr_setup &) const = default;
};

struct Tarr_node {
    std::int32_t address = 0; // 1..255; 0 = empty slot, end of the list
    OneBased<Tarr_channel, kChannels> channels;
    Tarr_state state;
    OneBased<Tarr_setup, kChannels> setup;
    // Bit c - 1 set: the setup block of channel c was read from this node since the
    // slot was filled. A channel without it cannot be scaled.
    std::uint16_t setups_read = 0;
};

inline constexpr std::uint16_t kAllChannels = (1u << kChannels) - 1;

// Divisor of a channel's integer value by its point code: 1000 for thousandths
// (1), 100, 10, and 1 for units (4) or a channel never read.
constexpr int point_divisor(std::int32_t point)
{
    switch (point) {
    case 1: return 1000;
    case 2: return 100;
    case 3: return 10;
    default: return 1;
    }
}

// Colours are 32-bit numbers in blue-green-red order.
inline constexpr std::int32_t clNavy = 0x800000;
inline constexpr std::int32_t clWhite = 0xFFFFFF;
inline constexpr std::int32_t clBlack = 0x000000;
inline constexpr std::int32_t clRed = 0x0000FF;
inline constexpr std::int32_t clYellow = 0x00FFFF;
inline constexpr std::int32_t clBtnFace = static_cast<std::int32_t>(0x8000000F);

inline constexpr std::uint8_t fsBold = 0x01;

struct T_cell {
    QString text;
    std::int32_t font_color = 0;
    std::int32_t font_size = 0;
    std::uint8_t font_style = 0; // bit 0 bold
    std::int32_t back_color = 0;
    std::int32_t top_offset = 0;
    bool operator==(const T_cell &) const = default;
};

class CellGrid {
public:
    // Addressed as column, row like the monitor grid.
    T_cell &operator()(int column, int row) { return m_cells.at(static_cast<std::size_t>(column)).at(static_cast<std::size_t>(row)); }
    const T_cell &operator()(int column, int row) const { return m_cells.at(static_cast<std::size_t>(column)).at(static_cast<std::size_t>(row)); }

private:
    std::array<std::array<T_cell, kGridRows>, kGridColumns> m_cells{};
};

// Process-wide state.
extern OneBased<Tarr_node, kSlots> arr_nodes;
extern CellGrid arr_cells;
extern QString last_result;       // result word of the last device transaction; empty = success
extern std::uint8_t abort_read;   // request to abandon the multi-channel read in progress
extern std::int32_t found_count;  // nodes found by the last scan
extern std::uint8_t scan_running; // 1 while a network scan runs

// Grid reset: every cell of every row back to its blank look.
void reset_cell_grid();
// Table reset before a scan: every slot's address back to 0.
void reset_node_addresses();
// Everything back to the zero-filled start state (used when a test needs a clean process).
void reset_node_table_state();

// Number of filled slots, walking from slot 1 until an empty address.
int filled_slot_count();

} // namespace qlx

// The cell grid as text lines, for tests that draw into a grid and compare
// what it shows.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/unicode.hpp"
#include "gui/cell_grid.hpp"

namespace kro::testing_grid {

using tui::CELL_CONTINUATION;
using tui::CellGrid;
using tui::GridCell;

using Picture = std::vector<std::string>;

// The grid as text: # full block, box-drawing characters as r 7 L J | -,
// o a space on a colour, . an untouched cell, other characters as they are
// (? beyond ASCII), + the right half of a wide character.
inline Picture dump(const CellGrid& g) {
    Picture p;
    for (int y = 0; y < g.height(); y++) {
        std::string row;
        for (int x = 0; x < g.width(); x++) {
            const GridCell& c = g.at(x, y);
            if (c.flags & CELL_CONTINUATION) {
                row += '+';
                continue;
            }
            switch (c.cp) {
                case 0x2588: row += '#'; break;
                case 0x250C: row += 'r'; break;
                case 0x2510: row += '7'; break;
                case 0x2514: row += 'L'; break;
                case 0x2518: row += 'J'; break;
                case 0x2502: row += '|'; break;
                case 0x2500: row += '-'; break;
                case ' ': row += c.bg ? 'o' : ' '; break;
                case 0: row += '.'; break;
                default: row += char(c.cp < 128 ? c.cp : '?');
            }
        }
        p.push_back(row);
    }
    return p;
}

// The grid's characters as they are, one UTF-8 string per row: code point 0
// shows as a space, and the right half of a wide character adds nothing.
inline Picture characters(const CellGrid& g) {
    Picture p;
    for (int y = 0; y < g.height(); y++) {
        std::string row;
        for (int x = 0; x < g.width(); x++) {
            const GridCell& c = g.at(x, y);
            if (c.flags & CELL_CONTINUATION) continue;
            uint8_t bytes[4];
            int n = unicode::cp_to_utf8(c.cp ? c.cp : ' ', bytes);
            row.append(reinterpret_cast<const char*>(bytes), size_t(n));
        }
        p.push_back(row);
    }
    return p;
}

inline std::string joined(const Picture& p) {
    std::string s;
    for (const std::string& row : p) s += row + "\n";
    return s;
}

}  // namespace kro::testing_grid

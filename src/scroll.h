// Finding content that moved vertically (a terminal or a page scrolling):
// rows of a new image matched against the rows the frame holds at the same
// place, by their hashes.
#pragma once

#include <cstddef>
#include <cstdint>

struct Scroll {
    bool found = false;
    uint16_t from_row = 0; // the first row of the content in the old rows
    uint16_t to_row = 0;   // where it is in the new rows
    uint16_t rows = 0;
};

// Rows are row_bytes long and the strides apart; `rows` of each.  Finds the vertical shift that most
// distinctive rows agree on and the longest run of rows that it carries; none when that run is short.
Scroll find_scroll(const uint8_t* old_rows, size_t old_stride, const uint8_t* new_rows, size_t new_stride,
                   size_t row_bytes, uint16_t rows);

// The standard's zig-zag scans and default scaling lists (ITU-T H.264
// clause 8.5.6, Tables 7-3 and 7-4), built here independently of the
// library's tables, for checking what the parsers store.
#pragma once

#include <vector>

namespace standard_scaling {

using List = std::vector<int>;

// Zig-zag scan built by walking the anti-diagonals (clause 8.5.6): entry k is
// the raster position of the k-th coefficient.
inline List zigzag(int n) {
    List scan;
    for (int d = 0; d < 2 * n - 1; ++d) {
        for (int i = 0; i < n; ++i) {
            const int row = d % 2 == 0 ? d - i : i;  // even diagonals run upwards
            const int col = d - row;
            if (row >= 0 && row < n && col >= 0 && col < n) scan.push_back(row * n + col);
        }
    }
    return scan;
}

// Values in scan order to raster order.
inline List raster(const List& scanned) {
    const List scan = zigzag(scanned.size() == 16 ? 4 : 8);
    List out(scanned.size());
    for (size_t k = 0; k < scanned.size(); ++k) out[scan[k]] = scanned[k];
    return out;
}

// Tables 7-3 and 7-4, indexed as the standard lists them (scan order).
inline const List kIntra4 = {6, 13, 13, 20, 20, 20, 28, 28, 28, 28, 32, 32, 32, 37, 37, 42};
inline const List kInter4 = {10, 14, 14, 20, 20, 20, 24, 24, 24, 24, 27, 27, 27, 30, 30, 34};
inline const List kIntra8 = {6,  10, 10, 13, 11, 13, 16, 16, 16, 16, 18, 18, 18, 18, 18, 23, 23, 23, 23, 23, 23, 25,
                      25, 25, 25, 25, 25, 25, 27, 27, 27, 27, 27, 27, 27, 27, 29, 29, 29, 29, 29, 29, 29, 31,
                      31, 31, 31, 31, 31, 33, 33, 33, 33, 33, 36, 36, 36, 36, 38, 38, 38, 40, 40, 42};
inline const List kInter8 = {9,  13, 13, 15, 13, 15, 17, 17, 17, 17, 19, 19, 19, 19, 19, 21, 21, 21, 21, 21, 21, 22,
                      22, 22, 22, 22, 22, 22, 24, 24, 24, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 25, 27,
                      27, 27, 27, 27, 27, 28, 28, 28, 28, 28, 30, 30, 30, 30, 32, 32, 32, 33, 33, 35};

}  // namespace standard_scaling

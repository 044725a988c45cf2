#pragma once
// The model table search, vectorised. Every pattern compares its first two
// bytes and those make only six pairs, so a vector pass finds the offsets
// where one of the pairs starts; only there are the patterns compared, as
// masked 64-bit words. The vector width is chosen at run time.

class QFile;

#include <cstddef>

namespace lumora::upgrade {

enum class SearchLevel { Plain, Sse2, Avx2 };

// The widest level this CPU runs.
SearchLevel supportedSearchLevel();
// The level searches use from now on: `level`, or the supported one if lower.
// Returns the level in use.
SearchLevel forceSearchLevel(SearchLevel level);
SearchLevel searchLevel();
const char *searchLevelName(SearchLevel level);

// Searches pattern starts at offsets [begin, end) of `data`, which holds
// `size` readable bytes (nothing is read at or past `size`). `best` is the
// table row found so far (the table's size when none); returns the best row
// afterwards: the lowest row that occurs at any searched offset, if lower.
int searchModelRows(const unsigned char *data, std::size_t size, std::size_t begin, std::size_t end, int best);

// findModelInBuffer() over an open model file, as one pass: the file is read
// in pieces into the model buffer's layout, and each piece is searched while
// it is still in the cache.
bool findModelInFile(QFile &file, int *model);

} // namespace lumora::upgrade

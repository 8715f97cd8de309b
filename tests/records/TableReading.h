// Reading and making two-dimensional SAFEARRAY tables in the tests, through
// the element functions (index pair (column, row)) rather than the storage
// layout that the code under test relies on.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <array>
#include <string>
#include <vector>

#include "win/raii.h"

namespace records_test {

using TextRow = std::array<std::wstring, 3>;

struct Dimensions {
    UINT count = 0;
    LONG firstLower = 0, firstUpper = -1;
    LONG secondLower = 0, secondUpper = -1;
};
Dimensions DimensionsOf(SAFEARRAY* table);

// All rows of a 3-column BSTR table read with SafeArrayGetElement.
std::vector<TextRow> ReadTextTable(SAFEARRAY* table);
std::wstring ReadBstrCell(SAFEARRAY* table, LONG column, LONG row);

// A BSTR table of the given rows, columns x rows with the given lower bounds.
win::UniqueSafeArray MakeTextTable(const std::vector<TextRow>& rows, LONG lowerBound = 0);

}  // namespace records_test

// Tables of test cases whose every failure names its row.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

// A table row of one value, where a struct of its own would say no more.
template <typename T>
struct Row {
  int line;
  T value;
};

// Runs `check` on every row of a table (rows with an `int line`): each
// failure names its row, and a failed ASSERT ends only that row.
template <typename Case, std::size_t N, typename Check>
void ForEachRow(const Case (&rows)[N], const Check& check) {
  for (const Case& row : rows) {
    SCOPED_TRACE("case at line " + std::to_string(row.line));
    check(row);
  }
}

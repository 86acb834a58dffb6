#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel::core {

// "{message} at line {line} column {column}" followed by the offending source line and a
// caret under the column, so an operator sees the mistyped key itself. Without a position
// (line 0) only the message. Columns count code points, 1-based. Long lines are cut around the
// column and control characters are shown as spaces, so the excerpt stays one readable line.
std::string frame_with_excerpt(std::string_view source, std::string_view message, std::size_t line,
                               std::size_t column);

}  // namespace ostrel::core

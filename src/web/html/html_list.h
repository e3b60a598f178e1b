// The ";"-separated lists that compound keys and navigation steps travel in ("11;12",
// "info;3").
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tovenmarsh::web {

// The n-th (from 1) ";"-separated item; "" when there are fewer or n < 1.
std::string GetListItem(std::string_view text, int n);
// The text after the n-th ";"; "" when there are fewer; the whole text for n < 1.
std::string GetListRest(std::string_view text, int n);
// The values joined by ";".
std::string JoinValues(const std::vector<std::string>& values);

}  // namespace tovenmarsh::web

// The CSS attribute tables of the tables and forms: index 0 table, 1 header cell, 2 even row
// cell, 3 odd row cell, 4 form field. The class names are the ones the site's style sheet and
// template.html define.
#pragma once

#include <array>

namespace tovenmarsh::web {

enum TWebAttribute : int {
  waTable = 0, waHeaderCell = 1, waEvenCell = 2, waOddCell = 3, waFormField = 4
};
constexpr int kWebAttributeCount = 5;

// nullptr entries are missing attributes (written as nothing).
using TWebAttributes = std::array<const char*, kWebAttributeCount>;

const TWebAttributes& OverviewAttributes();
const TWebAttributes& FormAttributes();

}  // namespace tovenmarsh::web

// Bookmarks: the record source's bytes that name one record, and the flag kept beside them in
// every record buffer.
//
// Contract: an empty bookmark means none. Bookmarks are only comparable and usable while the
// source's bookmark size is unchanged (switching the index changes it); the data set refuses
// one of another size.
#pragma once

#include <cstdint>
#include <string>

namespace tovenmarsh::dataset {

// What a record buffer's bookmark means.
enum TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };

using TBookmark = std::string;

}  // namespace tovenmarsh::dataset

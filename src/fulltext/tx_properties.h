// The stored properties of a full-text index: the settings a build used, kept in the words
// table's properties row as one stream of tagged values (see filer.h), in this order:
// version 2090, the integer 32, the text link's part (a list of field names, then the index
// field name; a version-200 stream has one Boolean between them), the minimum word length,
// the list of omit words, the segment size (0 when unsegmented), the word delimiters in caret
// notation, the Ansi flag, and (from version 2040) the pair flag.
//
// The reader parses the whole stream before anything is applied, checks every tag and length
// against the stream (EReadError on damage), and gives nothing for an empty stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/stream.h"

namespace tovenmarsh::fulltext {

constexpr int32_t kStoredPropertiesVersion = 2090;
constexpr int32_t kStoredPropertiesMarker = 32;

struct TStoredProperties {
  int32_t version = kStoredPropertiesVersion;
  std::vector<std::string> fieldNames;
  std::string indexFieldName;
  int32_t minWordLen = 1;
  std::vector<std::string> omitWords;  // case-mapped
  int32_t segmentSize = 0;             // 0: unsegmented
  std::string wordDelims;              // caret notation
  bool ansi = true;
  bool pairFlag = false;
  bool hasPairFlag = false;  // read: whether the stream held it (version >= 2040)

  bool operator==(const TStoredProperties&) const = default;
};

void WriteStoredProperties(platform::TStream& stream, const TStoredProperties& properties);
// Reads from the stream's position; nothing when no bytes remain.
std::optional<TStoredProperties> ReadStoredProperties(platform::TStream& stream);

}  // namespace tovenmarsh::fulltext

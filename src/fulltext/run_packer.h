// Run-length packer of the container library (packing method 5 of stored match-bit sets).
//
// Packed data is a series of groups, each started by a control byte: top bit set means "repeat
// the next byte (low 7 bits) times", clear means "copy the next (low 7 bits) bytes".
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovenmarsh::fulltext {

// Packs length bytes into destination, which must hold length - 2 bytes. Returns the packed
// length, or -1 when length < 2 or the packed form would not save at least two bytes.
int64_t PackRuns(const uint8_t* source, size_t length, uint8_t* destination);

// Unpacks length bytes of groups into destination (capacity bytes). Returns the number of bytes
// written, or -1 when a group would overflow the destination or is cut short by the input's end.
int64_t UnpackRuns(const uint8_t* source, size_t length, uint8_t* destination, size_t capacity);

}  // namespace tovenmarsh::fulltext

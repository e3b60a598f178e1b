// Base classes of the full-text engine: TtxBase (version, Params, work buffer, state mask and
// state reactions), the engine-state bits, and the abstract parts an engine is wired to: the
// text link (documents), the words link (the words table), the bit-set object and the cache.
//
// A part reacts only to the state bits in its own mask; the engine broadcasts entering and
// leaving (see TtxEngine::SetState).
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/stream.h"
#include "platform/string_list.h"

namespace tovenmarsh::fulltext {

class TtxEngine;
class TFilerReader;
class TFilerWriter;

// Engine state: a set of the bits below.
using TEngineState = uint16_t;
enum TEngineStateBit : int {
  esBuilding = 0,
  esCollecting = 1,
  esWriting = 2,
  esCreatingIndexes = 3,
  esUpdating = 4,
  esSearching = 5,
  esVerifying = 7,
  esRanking = 8,
  esState9 = 9,
  esAborted = 10,
};
constexpr TEngineState StateOf(int bit) { return static_cast<TEngineState>(1u << bit); }
constexpr int kHighestStateBit = 10;

class TtxBase {
 public:
  TtxBase() = default;
  virtual ~TtxBase() = default;
  TtxBase(const TtxBase&) = delete;
  TtxBase& operator=(const TtxBase&) = delete;

  static constexpr double kVersion = 2.09;
  double Version() const { return kVersion; }

  // name=value switches (the words links read theirs from here).
  platform::TStringList Params;

  // The component's work buffer, resized to a multiple of 16 bytes (0 frees it).
  uint8_t* WorkBuffer() { return work_.data(); }
  size_t WorkBufferSize() const { return work_.size(); }
  void SetWorkBufferSize(size_t size);

  TEngineState StateMask() const { return stateMask_; }
  void SetStateMask(TEngineState mask) { stateMask_ = mask; }
  bool ReactsTo(int bit) const { return (stateMask_ & StateOf(bit)) != 0; }

  // Told by the engine that a state bit (in this part's mask) is entered or left.
  virtual void StateEntered(TtxEngine& /*engine*/, int /*bit*/) {}
  virtual void StateLeft(TtxEngine& /*engine*/, int /*bit*/) {}
  // Told by the engine's Reset.
  virtual void Reset() {}

 protected:
  TEngineState stateMask_ = StateOf(esBuilding) | StateOf(esUpdating) | StateOf(esSearching);
  std::vector<uint8_t> work_;
};

// The engines' view of the documents.
class TtxTextLink : public TtxBase {
 public:
  static constexpr int32_t kUnknownIndex = INT32_MIN;

  // Lowest and highest document index values, cached once asked.
  int32_t LowestIndex();
  int32_t HighestIndex();
  void SetHighestIndex(int32_t value) { highest_ = value; }
  void ForgetRange() { lowest_ = highest_ = kUnknownIndex; }
  int32_t ProcessedCount() const { return processed_; }

  // The indexed fields and the index field, stored with the index's properties.
  const std::vector<std::string>& FieldNames() const { return fieldNames_; }
  virtual void SetFieldNames(std::vector<std::string> names) { fieldNames_ = std::move(names); }
  const std::string& IndexFieldName() const { return indexFieldName_; }
  virtual void SetIndexFieldName(std::string name) {
    indexFieldName_ = std::move(name);
    ForgetRange();
  }

 protected:
  virtual int32_t FindLowestIndex() = 0;
  virtual int32_t FindHighestIndex() = 0;

  int32_t lowest_ = kUnknownIndex;
  int32_t highest_ = kUnknownIndex;
  int32_t processed_ = 0;
  std::vector<std::string> fieldNames_;
  std::string indexFieldName_;
};

// The engines' view of the words table.
class TtxWordsLink : public TtxBase {
 public:
  TtxWordsLink() { stateMask_ |= StateOf(esWriting); }

  // Longest stored word (the word field's size).
  virtual int KeyFieldSize() const { return 20; }
  bool Segmented() const { return segmented_; }
  void SetSegmented(bool segmented) { segmented_ = segmented; }
  bool PropertiesRead() const { return propertiesRead_; }
  // The engine's Reset: the stored properties are to be read again.
  void Reset() override { propertiesRead_ = false; }
  void SetPropertiesRead(bool read) { propertiesRead_ = read; }

  // Copies the stored properties stream into stream (30495 when there is none).
  virtual void ReadProperties(platform::TStream& stream) = 0;
  virtual void WriteProperties(platform::TStream& stream) = 0;
  // Positions on the row of word (and segment, when >= 0 and the table is segmented).
  virtual bool Locate(const std::string& word, int32_t segment, bool partial) = 0;
  // Moves to the next word row; false at the end.
  virtual bool Next() = 0;
  virtual std::string Word() = 0;
  virtual int32_t Segment() = 0;  // -1 without a segment field
  // Reads the current row's bit data into buffer + 4 (buffer holds length bytes); returns the
  // number of bytes read (30470 when they do not fit).
  virtual int32_t ReadBits(uint8_t* buffer, size_t length) = 0;

 protected:
  bool segmented_ = false;
  bool propertiesRead_ = false;
};

// The bit-set object of an engine.
class TtxBaseBits : public TtxBase {
 public:
  virtual int64_t MaxPackedSize() const = 0;
  virtual int64_t RawSize() const = 0;
  virtual void Clear() = 0;
};

// The word cache of an engine: three hit counters here, the rest with the cache itself.
class TtxBaseCache : public TtxBase {
 public:
  int64_t Found = 0;
  int64_t Inserted = 0;
  int64_t Removed = 0;
};

}  // namespace tovenmarsh::fulltext

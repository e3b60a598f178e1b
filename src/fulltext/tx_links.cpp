// Field start on behalf of a documents link.
#include "fulltext/tx_links.h"

#include "fulltext/phrase_reader.h"
#include "fulltext/tx_engine.h"

namespace tovenmarsh::fulltext {

TtxWordsRowLink::TtxWordsRowLink() = default;
TtxWordsRowLink::~TtxWordsRowLink() = default;

TtxPhraseReader* TtxWordsRowLink::PhraseReader(uint64_t fingerprint) {
  const std::string path = PhraseFileName();
  if (path.empty()) return nullptr;
  if (!phraseReader_ || path != phraseReaderPath_ || !phraseReader_->Current()) {
    phraseReader_ = TtxPhraseReader::OpenFile(path);
    phraseReaderPath_ = path;
  }
  if (phraseReader_ && phraseReader_->Validate(fingerprint)) return phraseReader_.get();
  return nullptr;
}

void TtxWordsRowLink::ReleasePhraseReader() { phraseReader_.reset(); }

void TtxDocumentLink::StartField(TtxEngine& engine) {
  engine.StartField();
  if (auto* observer = dynamic_cast<TtxFieldObserver*>(&engine)) observer->FieldStarted();
}

}  // namespace tovenmarsh::fulltext

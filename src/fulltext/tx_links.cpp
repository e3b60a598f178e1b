// Field start on behalf of a documents link.
#include "fulltext/tx_links.h"

#include "fulltext/tx_engine.h"

namespace tovenmarsh::fulltext {

void TtxDocumentLink::StartField(TtxEngine& engine) {
  engine.StartField();
  if (auto* observer = dynamic_cast<TtxFieldObserver*>(&engine)) observer->FieldStarted();
}

}  // namespace tovenmarsh::fulltext

// The installation's document store: one row of document.dat per archived message, inserted
// through a document resource of pool 9, the rows of one call in one transaction.
// Implements InstallationDocumentStore of mail/store/document_archive.h.
#include <string>
#include <vector>

#include "mail/store/document_archive.h"
#include "resources/database_resource.h"
#include "resources/resource_pool.h"
#include "resources/table_defs.h"

namespace tovenmarsh::mail {

namespace {

// Texts longer than their column are cut to it rather than failing the archive.
std::string Fit(const resources::TAppTableDef& table, int position, const std::string& text) {
  const int size = table.fields[static_cast<size_t>(position)].size;
  if (size <= 0 || text.size() <= static_cast<size_t>(size)) return text;
  return text.substr(0, static_cast<size_t>(size));
}

class TPooledDocumentStore : public TDocumentStore {
 public:
  void AddDocument(const TDocumentRow& row) override {
    size_t added = 0;
    AddDocuments({row}, added);
  }

  // One transaction for all rows: the engine flushes its files once per commit, not per row.
  void AddDocuments(const std::vector<TDocumentRow>& rows, size_t& added) override {
    namespace doc = resources::document;
    added = 0;
    if (rows.empty()) return;
    resources::TResourceLease<> lease(resources::DatabasePool(), resources::piDocument);
    const resources::TAppTableDef& table = lease->Definition();
    // A transaction a previous borrower left open is rolled back, never committed with ours.
    lease->Reset();
    try {
      lease->BeginWork();
      lease->Table().SetIndex("");
      for (const TDocumentRow& row : rows) {
        lease->Insert();
        resources::TTableAccess& t = lease->Table();
        t.SetField(doc::description, Fit(table, doc::description, row.description));
        t.SetField(doc::to, Fit(table, doc::to, row.to));
        t.SetField(doc::from, Fit(table, doc::from, row.from));
        t.SetField(doc::replyto, Fit(table, doc::replyto, row.replyto));
        t.SetField(doc::fromdomain, Fit(table, doc::fromdomain, row.fromdomain));
        t.SetField(doc::content, row.content);
        t.SetField(doc::extfileref, Fit(table, doc::extfileref, row.extfileref));
        lease->Post();
      }
      lease->CommitWork();
    } catch (...) {
      lease->RollbackWork();
      throw;
    }
    added = rows.size();
  }

  // No index holds the file name: a scan, run only after a crash inside an archive.
  bool HasDocument(const std::string& name) override {
    namespace doc = resources::document;
    resources::TResourceLease<> lease(resources::DatabasePool(), resources::piDocument);
    resources::TTableAccess& t = lease->Table();
    lease->Reset();
    t.SetIndex("");
    const std::string stored = Fit(lease->Definition(), doc::extfileref, name);
    for (t.First(); !t.Eof(); t.Next()) {
      if (t.GetString(doc::extfileref) == stored) return true;
    }
    return false;
  }
};

}  // namespace

TDocumentStore& InstallationDocumentStore() {
  static TPooledDocumentStore store;
  return store;
}

}  // namespace tovenmarsh::mail

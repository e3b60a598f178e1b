// The registry's driver for TFenTable: the link classes over it and its table routines.
#include "dataset/fen_database.h"
#include "dataset/fen_table.h"
#include "fulltext/tx_drivers.h"
#include "fulltext/tx_text_links.h"
#include "fulltext/tx_words_links.h"

namespace tovenmarsh::fulltext {
namespace {

dataset::TFenTable& AsTable(dataset::TDataSet& dataSet) { return dynamic_cast<dataset::TFenTable&>(dataSet); }

TtxTableDriver FenDriver() {
  TtxTableDriver d;
  d.Name = "TFenTable";
  d.Serves = [](const dataset::TDataSet& ds) { return dynamic_cast<const dataset::TFenTable*>(&ds) != nullptr; };
  d.MakeBuildTextLink = [] { return std::unique_ptr<TtxDocumentLink>(std::make_unique<TtxMakeTextFenLink>()); };
  d.MakeBuildWordsLink = [] { return std::unique_ptr<TtxWordsRowLink>(std::make_unique<TtxMakeWordsFenLink>()); };
  d.MakeTextLink = [] { return std::unique_ptr<TtxDocumentLink>(std::make_unique<TtxTextFenLink>()); };
  d.MakeWordsLink = [] { return std::unique_ptr<TtxWordsRowLink>(std::make_unique<TtxWordsFenLink>()); };
  d.DeleteAndClear = [](dataset::TDataSet& ds, bool deleteTable) {
    dataset::TFenTable& table = AsTable(ds);
    table.Close();
    if (deleteTable) {
      try {
        if (table.Exists()) table.DeleteTable();
      } catch (...) {
        // A table that cannot be tested or deleted is left to the create step to report.
      }
    }
    table.FieldDefs().Clear();
    table.IndexDefs().Clear();
    table.SetIndexFieldNames(std::string());
    table.SetIndexName(std::string());
  };
  d.CreateTable = [](dataset::TDataSet& ds) { AsTable(ds).CreateTable(); };
  d.SetExclusive = [](dataset::TDataSet& ds, bool exclusive) { AsTable(ds).SetExclusive(exclusive); };
  d.Transaction = [](dataset::TDataSet& ds, int operation) {
    dataset::TFenDatabase* database = AsTable(ds).Database();
    if (database == nullptr) return;
    switch (operation) {
      case ttStart: database->StartTransaction(); break;
      case ttCommit: database->Commit(); break;
      case ttRollback: database->Rollback(); break;
      default: break;
    }
  };
  return d;
}

}  // namespace

TtxTableDrivers& DefaultTableDrivers() {
  static TtxTableDrivers drivers = [] {
    TtxTableDrivers list;
    list.Register(FenDriver());
    return list;
  }();
  return drivers;
}

}  // namespace tovenmarsh::fulltext

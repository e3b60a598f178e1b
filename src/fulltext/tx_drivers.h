// The table-driver registry: how the words and text links create, delete, lock and transact a
// table of a given data-set class, and which link classes serve that class.
//
// Contract: Find answers the first registered driver whose class test accepts the data set;
// none raises 30474 "Dataset not supported", as does a missing delete-and-clear or
// create-table routine; a missing set-exclusive or transaction routine does nothing.
// DefaultTableDrivers holds the driver for TFenTable (registered in tx_fen_drivers.cpp, where
// the link classes are known).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tovenmarsh::dataset {
class TDataSet;
}

namespace tovenmarsh::fulltext {

class TtxDocumentLink;
class TtxWordsRowLink;

enum TtxTransactionOperation : int { ttStart = 1, ttCommit = 2, ttRollback = 3 };

struct TtxTableDriver {
  std::string Name;  // display only, at most 35 characters
  std::function<bool(const dataset::TDataSet&)> Serves;
  std::function<std::unique_ptr<TtxDocumentLink>()> MakeBuildTextLink;
  std::function<std::unique_ptr<TtxWordsRowLink>()> MakeBuildWordsLink;
  std::function<std::unique_ptr<TtxDocumentLink>()> MakeTextLink;
  std::function<std::unique_ptr<TtxWordsRowLink>()> MakeWordsLink;
  std::function<void(dataset::TDataSet&, bool deleteTable)> DeleteAndClear;
  std::function<void(dataset::TDataSet&)> CreateTable;
  std::function<void(dataset::TDataSet&, bool exclusive)> SetExclusive;
  std::function<void(dataset::TDataSet&, int operation)> Transaction;
};

class TtxTableDrivers {
 public:
  void Register(TtxTableDriver driver);
  int Count() const { return static_cast<int>(drivers_.size()); }
  const TtxTableDriver& Find(const dataset::TDataSet& dataSet) const;

  void DeleteAndClear(dataset::TDataSet& dataSet, bool deleteTable) const;
  void CreateTable(dataset::TDataSet& dataSet) const;
  void SetExclusive(dataset::TDataSet& dataSet, bool exclusive) const;
  void Transaction(dataset::TDataSet& dataSet, int operation) const;

 private:
  std::vector<TtxTableDriver> drivers_;
};

// The process's registry, with the TFenTable driver registered on first use.
TtxTableDrivers& DefaultTableDrivers();

}  // namespace tovenmarsh::fulltext

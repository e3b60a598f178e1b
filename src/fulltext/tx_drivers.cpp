// The table-driver registry.
#include "fulltext/tx_drivers.h"

#include "fulltext/cl_errors.h"

namespace tovenmarsh::fulltext {

void TtxTableDrivers::Register(TtxTableDriver driver) {
  if (driver.Name.size() > 35) driver.Name.resize(35);
  drivers_.push_back(std::move(driver));
}

const TtxTableDriver& TtxTableDrivers::Find(const dataset::TDataSet& dataSet) const {
  for (const TtxTableDriver& driver : drivers_)
    if (driver.Serves && driver.Serves(dataSet)) return driver;
  RaiseTextIndex(txeDataSetNotSupported);
}

void TtxTableDrivers::DeleteAndClear(dataset::TDataSet& dataSet, bool deleteTable) const {
  const TtxTableDriver& driver = Find(dataSet);
  if (!driver.DeleteAndClear) RaiseTextIndex(txeDataSetNotSupported);
  driver.DeleteAndClear(dataSet, deleteTable);
}

void TtxTableDrivers::CreateTable(dataset::TDataSet& dataSet) const {
  const TtxTableDriver& driver = Find(dataSet);
  if (!driver.CreateTable) RaiseTextIndex(txeDataSetNotSupported);
  driver.CreateTable(dataSet);
}

void TtxTableDrivers::SetExclusive(dataset::TDataSet& dataSet, bool exclusive) const {
  const TtxTableDriver& driver = Find(dataSet);
  if (driver.SetExclusive) driver.SetExclusive(dataSet, exclusive);
}

void TtxTableDrivers::Transaction(dataset::TDataSet& dataSet, int operation) const {
  const TtxTableDriver& driver = Find(dataSet);
  if (driver.Transaction) driver.Transaction(dataSet, operation);
}

}  // namespace tovenmarsh::fulltext

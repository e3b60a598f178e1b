// Data sources and data links: how other objects follow a data set (its state, scrolling,
// record and field changes), and the master link through which a detail data set follows the
// current record of a master.
//
// Contract: a TDataSource connects one data set to any number of links; the data set, the
// source and the links may be destroyed in any order (each detaches itself). Links receive
// nothing while the data set's controls are disabled; EnableControls sends one data-set change.
// TMasterDataLink resolves its ";"-separated field names on the master whenever the link
// becomes active or the layout changes, and calls OnMasterChange for a change of the whole
// record or of one of those fields (not while the master edits a key) and OnMasterDisable
// when the link becomes inactive or has no fields.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dataset/data_set.h"
#include "dataset/data_set_state.h"

namespace tovenmarsh::dataset {

class TDataLink;

class TDataSource : public TDataSetListener {
 public:
  TDataSource() = default;
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  TDataSet* DataSet() const { return dataSet_; }
  void SetDataSet(TDataSet* dataSet);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  TDataSetState State() const;
  // True when following master sources from the data set leads back to this source.
  bool IsLinkedTo(const TDataSet* dataSet) const;

  std::function<void(TDataSource&)> OnStateChange;
  std::function<void(TDataSource&, TField*)> OnDataChange;

 private:
  friend class TDataLink;
  void DataEvent(TDataEvent event, TField* field) override;
  void DataSetDestroyed() override;
  void NotifyLinks(TDataEvent event, TField* field);
  TDataSet* dataSet_ = nullptr;
  bool enabled_ = true;
  TDataSetState lastState_ = TDataSetState::dsInactive;
  std::vector<TDataLink*> links_;
};

class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return dataSource_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const;
  bool Active() const { return active_; }
  bool Editing() const { return editing_; }

 protected:
  virtual void ActiveChanged() {}
  virtual void EditingChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled() { DataSetChanged(); }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* /*field*/) {}
  virtual void UpdateData() {}

 private:
  friend class TDataSource;
  void DataEvent(TDataEvent event, TField* field);
  void UpdateState();
  TDataSource* dataSource_ = nullptr;
  bool active_ = false;
  bool editing_ = false;
};

class TMasterDataLink : public TDataLink {
 public:
  const std::string& FieldNames() const { return fieldNames_; }
  void SetFieldNames(std::string names);
  // The master's fields named by FieldNames (resolved while the link is active).
  const std::vector<TField*>& Fields() const { return fields_; }

  std::function<void()> OnMasterChange;
  std::function<void()> OnMasterDisable;

 protected:
  void ActiveChanged() override;
  void LayoutChanged() override { ActiveChanged(); }
  void RecordChanged(TField* field) override;

 private:
  std::string fieldNames_;
  std::vector<TField*> fields_;
};

// Raises "Circular datalinks are not allowed" when making `master` the master source of
// `detail` would lead back to `detail`.
void CheckMasterSource(const TDataSet* detail, const TDataSource* master);

}  // namespace tovenmarsh::dataset

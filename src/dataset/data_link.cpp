// Data sources, links and the master link.
#include "dataset/data_link.h"

#include <algorithm>

#include "dataset/data_set.h"
#include "dataset/database_error.h"
#include "dataset/index_defs.h"

namespace tovenmarsh::dataset {

// ---- TDataSource ----

TDataSource::~TDataSource() {
  SetDataSet(nullptr);
  for (TDataLink* link : std::vector<TDataLink*>(links_)) link->SetDataSource(nullptr);
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  if (dataSet_) {
    auto& list = dataSet_->dataSources_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  dataSet_ = dataSet;
  if (dataSet_) dataSet_->dataSources_.push_back(this);
  DataEvent(TDataEvent::deUpdateState, nullptr);
}

void TDataSource::DataSetDestroyed() {
  dataSet_ = nullptr;
  DataEvent(TDataEvent::deUpdateState, nullptr);
}

void TDataSource::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  DataEvent(TDataEvent::deUpdateState, nullptr);
}

TDataSetState TDataSource::State() const {
  return dataSet_ && enabled_ ? dataSet_->State() : TDataSetState::dsInactive;
}

bool TDataSource::IsLinkedTo(const TDataSet* dataSet) const {
  // A chain of master sources is short; the step limit only guards an existing cycle.
  for (int steps = 0; dataSet && steps < 1000; ++steps) {
    const TDataSource* source = dataSet->GetDataSource();
    if (!source) return false;
    if (source == this) return true;
    dataSet = source->DataSet();
  }
  return dataSet != nullptr;
}

void TDataSource::DataEvent(TDataEvent event, TField* field) {
  if (event == TDataEvent::deUpdateState) {
    TDataSetState state = State();
    if (state != lastState_) {
      lastState_ = state;
      if (OnStateChange) OnStateChange(*this);
    }
  } else if (!enabled_) {
    return;
  }
  NotifyLinks(event, field);
  if (OnDataChange && (event == TDataEvent::deFieldChange || event == TDataEvent::deRecordChange ||
                       event == TDataEvent::deDataSetChange || event == TDataEvent::deDataSetScroll ||
                       event == TDataEvent::deLayoutChange))
    OnDataChange(*this, event == TDataEvent::deFieldChange ? field : nullptr);
}

void TDataSource::NotifyLinks(TDataEvent event, TField* field) {
  for (TDataLink* link : std::vector<TDataLink*>(links_)) link->DataEvent(event, field);
}

// ---- TDataLink ----

TDataLink::~TDataLink() { SetDataSource(nullptr); }

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == dataSource_) return;
  if (dataSource_) {
    auto& list = dataSource_->links_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  dataSource_ = source;
  if (dataSource_) dataSource_->links_.push_back(this);
  UpdateState();
}

TDataSet* TDataLink::DataSet() const { return dataSource_ ? dataSource_->DataSet() : nullptr; }

void TDataLink::UpdateState() {
  TDataSetState state = dataSource_ ? dataSource_->State() : TDataSetState::dsInactive;
  bool active = state != TDataSetState::dsInactive;
  bool editing = state == TDataSetState::dsEdit || state == TDataSetState::dsInsert ||
                 state == TDataSetState::dsSetKey;
  if (active != active_) {
    active_ = active;
    ActiveChanged();
  }
  if (editing != editing_) {
    editing_ = editing;
    EditingChanged();
  }
}

void TDataLink::DataEvent(TDataEvent event, TField* field) {
  if (event == TDataEvent::deUpdateState) {
    UpdateState();
    return;
  }
  if (!active_) return;
  switch (event) {
    case TDataEvent::deFieldChange: case TDataEvent::deRecordChange: RecordChanged(field); break;
    case TDataEvent::deDataSetChange: DataSetChanged(); break;
    case TDataEvent::deDataSetScroll: DataSetScrolled(); break;
    case TDataEvent::deLayoutChange: LayoutChanged(); break;
    case TDataEvent::deUpdateRecord: UpdateData(); break;
    case TDataEvent::deCheckBrowseMode: CheckBrowseMode(); break;
    default: break;
  }
}

// ---- TMasterDataLink ----

void TMasterDataLink::SetFieldNames(std::string names) {
  if (names == fieldNames_) return;
  fieldNames_ = std::move(names);
  ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
  fields_.clear();
  if (Active() && DataSet()) {
    for (const std::string& name : SplitFieldNames(fieldNames_))
      fields_.push_back(&DataSet()->FieldByName(name));
  }
  if (Active() && !fields_.empty()) {
    if (OnMasterChange) OnMasterChange();
  } else if (OnMasterDisable) {
    OnMasterDisable();
  }
}

void TMasterDataLink::RecordChanged(TField* field) {
  if (!DataSet() || DataSet()->State() == TDataSetState::dsSetKey || fields_.empty()) return;
  if (field && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
  if (OnMasterChange) OnMasterChange();
}

void CheckMasterSource(const TDataSet* detail, const TDataSource* master) {
  if (!master) return;
  const TDataSet* ds = master->DataSet();
  for (int steps = 0; ds && steps < 1000; ++steps) {
    if (ds == detail) DatabaseError(msg::kCircularDataLink);
    const TDataSource* next = ds->GetDataSource();
    if (!next) return;
    ds = next->DataSet();
  }
  if (ds) DatabaseError(msg::kCircularDataLink);
}

}  // namespace tovenmarsh::dataset

// Date, time and date-time fields. Value forms: date a 32-bit day number (day 1 = 0001-01-01),
// time 32-bit milliseconds since midnight, date-time 64-bit milliseconds since day 0.
// Implements the date and time field classes of dataset/fields.h.
#include <cmath>
#include <cstdint>

#include "dataset/database_error.h"
#include "dataset/fields.h"
#include "dataset/time_stamp.h"
#include "platform/format_settings.h"

namespace tovenmarsh::dataset {

platform::TDateTime TDateTimeField::AsDateTime() const {
  switch (DataType()) {
    case ftDate: {
      int32_t day;
      if (!GetData(&day)) return 0;
      return TimeStampToDateTime({0, day});
    }
    case ftTime: {
      int32_t ms;
      if (!GetData(&ms)) return 0;
      return TimeStampToDateTime({ms, kDateDelta});
    }
    default: {
      double ms;
      if (!GetData(&ms)) return 0;
      return TimeStampToDateTime(MSecsToTimeStamp(ms));
    }
  }
}

void TDateTimeField::SetAsDateTime(platform::TDateTime value) {
  if (!std::isfinite(value) || std::fabs(value) > 2958466.0)  // beyond 9999-12-31
    DatabaseErrorFmt(msg::kInvalidDateTimeValue, platform::FloatToText(value).c_str(),
                     DisplayName().c_str());
  TTimeStamp stamp = DateTimeToTimeStamp(value);
  switch (DataType()) {
    case ftDate: {
      int32_t day = stamp.Date;
      SetData(&day);
      break;
    }
    case ftTime: {
      int32_t ms = stamp.Time;
      SetData(&ms);
      break;
    }
    default: {
      double ms = TimeStampToMSecs(stamp);
      SetData(&ms);
      break;
    }
  }
}

std::string TDateTimeField::AsString() const {
  if (IsNull()) return {};
  platform::TDateTime t = AsDateTime();
  switch (DataType()) {
    case ftDate: return platform::DateToText(t);
    case ftTime: return platform::TimeToText(t);
    default: return platform::DateTimeToText(t);
  }
}

void TDateTimeField::SetAsString(std::string_view value) {
  if (value.empty()) {
    Clear();
    return;
  }
  platform::TDateTime t;
  bool ok = DataType() == ftDate   ? platform::TryTextToDate(value, t)
            : DataType() == ftTime ? platform::TryTextToTime(value, t)
                                   : platform::TryTextToDateTime(value, t);
  if (!ok) DatabaseErrorFmt(msg::kInvalidDateTimeValue, std::string(value).c_str(), DisplayName().c_str());
  SetAsDateTime(t);
}

double TDateTimeField::AsFloat() const { return AsDateTime(); }
void TDateTimeField::SetAsFloat(double value) { SetAsDateTime(value); }

TVariant TDateTimeField::Value() const {
  if (IsNull()) return {};
  return TVariant::FromDateTime(AsDateTime());
}

void TDateTimeField::SetValue(const TVariant& value) {
  switch (value.GetKind()) {
    case TVariant::Kind::Null: Clear(); break;
    case TVariant::Kind::String: SetAsString(value.AsString()); break;
    default: SetAsDateTime(value.AsDateTime()); break;
  }
}

}  // namespace tovenmarsh::dataset

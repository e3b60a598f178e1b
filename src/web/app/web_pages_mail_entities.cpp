// The table of the mail administration entities and the helpers that read their keys and
// show their fields.
#include "web/app/web_pages_mail_entities.h"

#include <stdexcept>

#include "core/str_utils.h"
#include "platform/format_settings.h"
#include "web/html/html_list.h"

namespace tovenmarsh::web::mailpages {

namespace r = tovenmarsh::resources;
using FK = TFormKind;

namespace {

const std::vector<TEntityDef>& Entities() {
  static const std::vector<TEntityDef> entities = {
      {TMailEntity::Company, r::piCompany, {{r::company::no, true}}, 0, "", TListRange::All,
       {{"Name", r::company::name}, {"Created", r::company::created}},
       "comtag", r::company::no,
       {{"Name", r::company::name, FK::Text, ""},
        {"Postmaster", r::company::postmaster, FK::Checkbox, "False"},
        {"Bounce", r::company::bounce, FK::Checkbox, "True"},
        {"Created", r::company::created, FK::Plain, ""}}},
      {TMailEntity::Domain, r::piDomain,
       {{r::domain::companyno, true}, {r::domain::name, false}}, 1, "companyno",
       TListRange::FirstNumber,
       {{"Name", r::domain::name}, {"Created", r::domain::created}},
       nullptr, 0,
       {{"Name", r::domain::name, FK::Text, ""},
        {"Created", r::domain::created, FK::Plain, ""}}},
      {TMailEntity::Account, r::piAccount, {{r::account::no, true}}, 0, "", TListRange::All,
       {{"No", r::account::no},
        {"Name", r::account::fullname},
        {"Description", r::account::description},
        {"Active", r::account::active}},
       "acctag", r::account::no,
       {{"No", r::account::no, FK::Text, ""},
        {"Password", r::account::pass, FK::Password, ""},
        {"Name", r::account::fullname, FK::Text, ""},
        {"Description", r::account::description, FK::Text, ""},
        {"Level", r::account::level, FK::Text, ""},
        {"Active", r::account::active, FK::Checkbox, ""},
        {"Created", r::account::created, FK::Plain, ""}}},
      {TMailEntity::Alias, r::piAlias, {{r::alias::name, false}, {r::alias::companyno, true}}, 0,
       "companyno", TListRange::FirstNumberIfSet,
       {{"Name", r::alias::name},
        {"Description", r::alias::description},
        {"Account", r::alias::accountno},
        {"Active", r::alias::active},
        {"Maillist", r::alias::maillist}},
       nullptr, 0,
       {{"Name", r::alias::name, FK::Text, ""},
        {"Description", r::alias::description, FK::Text, ""},
        {"Active", r::alias::active, FK::Checkbox, ""},
        {"Maillist", r::alias::maillist, FK::Checkbox, ""},
        {"Expandable", r::alias::expandable, FK::Checkbox, ""}}},
      {TMailEntity::Popmail, r::piExtAccount,
       {{r::extaccount::mailserver, false},
        {r::extaccount::mailusr, false},
        {r::extaccount::accountno, true}},
       0, "accountno", TListRange::FirstNumber,
       {{"Mailserver", r::extaccount::mailserver},
        {"Mailuser", r::extaccount::mailusr},
        {"Active", r::extaccount::active},
        {"Created", r::extaccount::created}},
       nullptr, 0,
       {{"Mailserver", r::extaccount::mailserver, FK::Text, ""},
        {"User", r::extaccount::mailusr, FK::Text, ""},
        {"Password", r::extaccount::mailpass, FK::Password, ""},
        {"Leave copy", r::extaccount::leavecopy, FK::Checkbox, ""},
        {"Remove after", r::extaccount::remafter, FK::Text, ""},
        {"Interval", r::extaccount::interval, FK::Text, ""},
        {"Active", r::extaccount::active, FK::Checkbox, ""},
        {"Created", r::extaccount::created, FK::Plain, ""}}},
      {TMailEntity::Maillist, r::piMaillist,
       {{r::maillist::name, false},
        {r::maillist::companyno, true},
        {r::maillist::forwardusr, false},
        {r::maillist::forwarddomain, false}},
       0, "", TListRange::NameAndCompany,
       {{"Name", r::maillist::fullname},
        {"Description", r::maillist::description},
        {"Forward User", r::maillist::forwardusr},
        {"Forward Domain", r::maillist::forwarddomain},
        {"Created", r::maillist::created}},
       nullptr, 0,
       {{"Name", r::maillist::fullname, FK::Text, ""},
        {"Description", r::maillist::description, FK::Text, ""},
        {"Forward User", r::maillist::forwardusr, FK::Text, ""},
        {"Forward Domain", r::maillist::forwarddomain, FK::Text, ""},
        {"Created", r::maillist::created, FK::Plain, ""}}},
  };
  return entities;
}

}  // namespace

const TEntityDef& EntityDef(TMailEntity entity) {
  for (const TEntityDef& def : Entities()) {
    if (def.entity == entity) return def;
  }
  throw std::logic_error("unknown mail entity");
}

const r::TAppTableDef& TableOf(const TEntityDef& def) { return *r::TableDefForPool(def.pool); }

r::TKeyValues KeyFromText(const TEntityDef& def, const std::string& keyText) {
  r::TKeyValues key;
  for (size_t i = 0; i < def.key.size(); ++i) {
    const std::string item = GetListItem(keyText, static_cast<int>(i) + 1);
    if (def.key[i].integer) {
      key.emplace_back(core::TextToInt(item));
    } else {
      key.emplace_back(item);
    }
  }
  return key;
}

std::string KeyText(const TEntityDef& def, r::TTableAccess& table) {
  std::vector<std::string> items;
  for (const TKeyField& field : def.key) {
    items.push_back(field.integer ? core::IntToText(table.GetInt(field.position))
                                  : table.GetString(field.position));
  }
  return JoinValues(items);
}

bool FindRow(const TEntityDef& def, r::TTableAccess& table, const std::string& keyText) {
  table.CancelRange();
  table.SetIndex("");
  const r::TKeyValues key = KeyFromText(def, keyText);
  const r::TKeyValues lookup(key.begin() + static_cast<std::ptrdiff_t>(def.lookupFirst),
                             key.end());
  if (!table.FindKey(lookup)) return false;
  for (size_t i = 0; i < def.lookupFirst; ++i) {
    if (table.GetInt(def.key[i].position) != std::get<int>(key[i])) return false;
  }
  return true;
}

std::string FieldText(const r::TAppTableDef& table, r::TTableAccess& access, int position,
                      bool withTime) {
  const r::TAppFieldType type = table.fields[static_cast<size_t>(position)].type;
  // A flag never set reads as false; other fields never set show nothing.
  if (type != r::TAppFieldType::Boolean &&
      std::holds_alternative<std::monostate>(access.Field(position))) {
    return "";
  }
  switch (type) {
    case r::TAppFieldType::Integer:
    case r::TAppFieldType::AutoInc:
      return core::IntToText(access.GetInt(position));
    case r::TAppFieldType::Boolean:
      return access.GetBool(position) ? "True" : "False";
    case r::TAppFieldType::DateTime: {
      const platform::TDateTime when = access.GetDate(position);
      return withTime ? platform::DateTimeToText(when) : platform::DateToText(when);
    }
    case r::TAppFieldType::String:
    case r::TAppFieldType::Memo:
      break;
  }
  return access.GetString(position);
}

int FieldWidth(const r::TAppTableDef& table, int position) {
  const r::TAppFieldDef& field = table.fields[static_cast<size_t>(position)];
  switch (field.type) {
    case r::TAppFieldType::String:
      return field.size;
    case r::TAppFieldType::Boolean:
      return 5;
    case r::TAppFieldType::DateTime:
      return 18;
    case r::TAppFieldType::Integer:
    case r::TAppFieldType::AutoInc:
    case r::TAppFieldType::Memo:
      break;
  }
  return 10;
}

}  // namespace tovenmarsh::web::mailpages

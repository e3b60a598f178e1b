// Definitions of the nine application tables. The position constants in the header must match
// the field order here; the static_asserts pin the last field of every table.
#include "resources/table_defs.h"

#include "platform/win1252.h"

namespace tovenmarsh::resources {
namespace {

using F = TAppFieldType;

constexpr TAppFieldDef kAccountFields[] = {
    {"no", F::Integer, 0, true},         {"fullname", F::String, 50, false},
    {"pass", F::String, 10, false},      {"description", F::String, 50, false},
    {"permission", F::Integer, 0, false}, {"level", F::Integer, 0, false},
    {"active", F::Boolean, 0, false},    {"remafter", F::Integer, 0, false},
    {"created", F::DateTime, 0, false},
};
constexpr TAppIndexDef kAccountIndexes[] = {{"", "no", true, true, false}};

constexpr TAppFieldDef kExtAccountFields[] = {
    {"mailserver", F::String, 64, true}, {"mailusr", F::String, 64, true},
    {"mailpass", F::String, 10, false},  {"accountno", F::Integer, 0, false},
    {"leavecopy", F::Boolean, 0, false}, {"remafter", F::Integer, 0, false},
    {"interval", F::Integer, 0, false},  {"tag", F::String, 64, false},
    {"active", F::Boolean, 0, false},    {"mailboxid", F::String, 40, false},
    {"created", F::DateTime, 0, false},
};
constexpr TAppIndexDef kExtAccountIndexes[] = {
    {"", "mailserver;mailusr;accountno", true, true, true},
    {"accountno", "accountno", false, false, false},
};

constexpr TAppFieldDef kAliasFields[] = {
    {"name", F::String, 64, true},         {"companyno", F::Integer, 0, true},
    {"accountno", F::Integer, 0, false},   {"description", F::String, 50, false},
    {"active", F::Boolean, 0, false},      {"maillist", F::Boolean, 0, false},
    {"expandable", F::Boolean, 0, false},  {"created", F::DateTime, 0, false},
};
constexpr TAppIndexDef kAliasIndexes[] = {
    {"", "name;companyno", true, true, true},
    {"accountno", "accountno", false, false, false},
    {"companyno", "companyno", false, false, false},
};

constexpr TAppFieldDef kMaillistFields[] = {
    {"name", F::String, 64, true},          {"companyno", F::Integer, 0, true},
    {"forwardusr", F::String, 64, true},    {"forwarddomain", F::String, 64, true},
    {"fullname", F::String, 50, false},     {"description", F::String, 50, false},
    {"created", F::DateTime, 0, false},
};
constexpr TAppIndexDef kMaillistIndexes[] = {
    {"", "name;companyno;forwardusr;forwarddomain", true, true, true},
};

constexpr TAppFieldDef kCompanyFields[] = {
    {"no", F::AutoInc, 0, true},          {"name", F::String, 50, true},
    {"postmaster", F::Boolean, 0, false}, {"bounce", F::Boolean, 0, false},
    {"created", F::DateTime, 0, false},
};
constexpr TAppIndexDef kCompanyIndexes[] = {{"", "no", true, true, false}};

constexpr TAppFieldDef kDomainFields[] = {
    {"companyno", F::Integer, 0, true},
    {"name", F::String, 64, true},
    {"created", F::DateTime, 0, false},
};
constexpr TAppIndexDef kDomainIndexes[] = {
    {"", "name", true, true, true},
    {"companyno", "companyno", false, false, false},
};

constexpr TAppFieldDef kMailboxFields[] = {
    {"id", F::String, 40, true},          {"accountno", F::Integer, 0, true},
    {"size", F::Integer, 0, false},       {"hash", F::Integer, 0, false},
    {"lastretr", F::DateTime, 0, false},  {"created", F::DateTime, 0, false},
};
constexpr TAppIndexDef kMailboxIndexes[] = {
    {"", "id", true, true, true},
    {"accountno", "accountno", false, false, false},
};

constexpr TAppFieldDef kExtMailboxFields[] = {
    {"id", F::String, 40, true},
    {"no", F::Integer, 0, true},
    {"uidl", F::String, 80, false},
    {"created", F::DateTime, 0, false},
};
constexpr TAppIndexDef kExtMailboxIndexes[] = {{"", "id;no", true, true, true}};

constexpr TAppFieldDef kDocumentFields[] = {
    {"no", F::AutoInc, 0, true},           {"description", F::String, 50, false},
    {"to", F::String, 250, false},         {"from", F::String, 250, false},
    {"replyto", F::String, 250, false},    {"fromdomain", F::String, 64, false},
    {"content", F::Memo, 0, false},        {"level", F::Integer, 0, false},
    {"type", F::String, 10, false},        {"created", F::DateTime, 0, false},
    {"indexed", F::Boolean, 0, false},     {"extfileref", F::String, 128, false},
};
constexpr TAppIndexDef kDocumentIndexes[] = {
    {"", "no", true, true, false},
    {"indexed", "indexed", false, false, false},
};

static_assert(std::size(kAccountFields) == account::created + 1);
static_assert(std::size(kExtAccountFields) == extaccount::created + 1);
static_assert(std::size(kAliasFields) == alias::created + 1);
static_assert(std::size(kMaillistFields) == maillist::created + 1);
static_assert(std::size(kCompanyFields) == company::created + 1);
static_assert(std::size(kDomainFields) == domain::created + 1);
static_assert(std::size(kMailboxFields) == mailbox::created + 1);
static_assert(std::size(kExtMailboxFields) == extmailbox::created + 1);
static_assert(std::size(kDocumentFields) == document::extfileref + 1);

// Indexed by pool number - 1.
constexpr TAppTableDef kTables[kRegisteredPools] = {
    {"account.dat", piAccount, kAccountFields, kAccountIndexes, "AccountPoolMin",
     "AccountPoolMax"},
    {"extaccount.dat", piExtAccount, kExtAccountFields, kExtAccountIndexes, "ExtAccountPoolMin",
     "ExtAccountPoolMax"},
    {"alias.dat", piAlias, kAliasFields, kAliasIndexes, "AliasPoolMin", "AliasPoolMax"},
    {"maillist.dat", piMaillist, kMaillistFields, kMaillistIndexes, "MaillistPoolMin",
     "MaillistPoolMax"},
    {"company.dat", piCompany, kCompanyFields, kCompanyIndexes, "CompanyPoolMin",
     "CompanyPoolMax"},
    {"domain.dat", piDomain, kDomainFields, kDomainIndexes, "DomainPoolMin", "DomainPoolMax"},
    {"mailbox.dat", piMailbox, kMailboxFields, kMailboxIndexes, "MailboxPoolMin",
     "MailboxPoolMax"},
    {"extmailbox.dat", piExtMailbox, kExtMailboxFields, kExtMailboxIndexes, "ExtMailboxPoolMin",
     "ExtMailboxPoolMax"},
    {"document.dat", piDocument, kDocumentFields, kDocumentIndexes, "DocumentPoolMin",
     "DocumentPoolMax"},
};

constexpr const TAppTableDef* kCreationOrder[kRegisteredPools] = {
    &kTables[piAccount - 1],  &kTables[piExtAccount - 1], &kTables[piAlias - 1],
    &kTables[piMaillist - 1], &kTables[piDomain - 1],     &kTables[piCompany - 1],
    &kTables[piMailbox - 1],  &kTables[piExtMailbox - 1], &kTables[piDocument - 1],
};

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (platform::Win1252Upper(a[i]) != platform::Win1252Upper(b[i])) return false;
  }
  return true;
}

}  // namespace

const TAppTableDef* TableDefForPool(int pool) {
  if (pool < kFirstPool || pool > kRegisteredPools) return nullptr;
  return &kTables[pool - 1];
}

const TAppTableDef* TableDefByName(std::string_view fileName) {
  for (const TAppTableDef& table : kTables) {
    if (SameName(table.fileName, fileName)) return &table;
  }
  return nullptr;
}

std::span<const TAppTableDef* const> TableCreationOrder() { return kCreationOrder; }

int FieldPosition(const TAppTableDef& table, std::string_view fieldName) {
  for (size_t i = 0; i < table.fields.size(); ++i) {
    if (SameName(table.fields[i].name, fieldName)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace tovenmarsh::resources

// The nine table definitions read back as the application relies on them: fields in order
// with types, sizes and required flags, indexes with their options, pools, configuration keys
// and the creation order; and the position constants agree with the field names.
#include "resources/table_defs.h"

#include "resources/table_def_builder.h"

#include <gtest/gtest.h>

#include <string>

namespace tovenmarsh::resources {
namespace {

// "name:type[size][!]" per field (I integer, A auto-increment, S string, B boolean,
// D date-time, M memo; ! required), then "|" and "name(fields)[P][U][C]" per index.
std::string Describe(const TAppTableDef& table) {
  std::string text;
  for (const TAppFieldDef& field : table.fields) {
    static const char kTypes[] = {'S', 'I', 'A', 'B', 'D', 'M'};
    text += std::string(field.name) + ":" + kTypes[static_cast<int>(field.type)];
    if (field.size != 0) text += std::to_string(field.size);
    if (field.required) text += "!";
    text += " ";
  }
  text += "|";
  for (const TAppIndexDef& index : table.indexes) {
    text += " " + std::string(index.name) + "(" + std::string(index.fields) + ")";
    if (index.primary) text += "P";
    if (index.unique) text += "U";
    if (index.caseInsensitive) text += "C";
  }
  return text;
}

TEST(TableDefs, DefinitionsReadBackAsTheApplicationUsesThem) {
  struct Case {
    int pool;
    const char* file;
    const char* minKey;
    const char* maxKey;
    const char* description;
  };
  const Case cases[] = {
      {piAccount, "account.dat", "AccountPoolMin", "AccountPoolMax",
       "no:I! fullname:S50 pass:S10 description:S50 permission:I level:I active:B remafter:I "
       "created:D | (no)PU"},
      {piExtAccount, "extaccount.dat", "ExtAccountPoolMin", "ExtAccountPoolMax",
       "mailserver:S64! mailusr:S64! mailpass:S10 accountno:I leavecopy:B remafter:I "
       "interval:I tag:S64 active:B mailboxid:S40 created:D | "
       "(mailserver;mailusr;accountno)PUC accountno(accountno)"},
      {piAlias, "alias.dat", "AliasPoolMin", "AliasPoolMax",
       "name:S64! companyno:I! accountno:I description:S50 active:B maillist:B expandable:B "
       "created:D | (name;companyno)PUC accountno(accountno) companyno(companyno)"},
      {piMaillist, "maillist.dat", "MaillistPoolMin", "MaillistPoolMax",
       "name:S64! companyno:I! forwardusr:S64! forwarddomain:S64! fullname:S50 "
       "description:S50 created:D | (name;companyno;forwardusr;forwarddomain)PUC"},
      {piCompany, "company.dat", "CompanyPoolMin", "CompanyPoolMax",
       "no:A! name:S50! postmaster:B bounce:B created:D | (no)PU"},
      {piDomain, "domain.dat", "DomainPoolMin", "DomainPoolMax",
       "companyno:I! name:S64! created:D | (name)PUC companyno(companyno)"},
      {piMailbox, "mailbox.dat", "MailboxPoolMin", "MailboxPoolMax",
       "id:S40! accountno:I! size:I hash:I lastretr:D created:D | (id)PUC accountno(accountno)"},
      {piExtMailbox, "extmailbox.dat", "ExtMailboxPoolMin", "ExtMailboxPoolMax",
       "id:S40! no:I! uidl:S80 created:D | (id;no)PUC"},
      {piDocument, "document.dat", "DocumentPoolMin", "DocumentPoolMax",
       "no:A! description:S50 to:S250 from:S250 replyto:S250 fromdomain:S64 content:M "
       "level:I type:S10 created:D indexed:B extfileref:S128 | (no)PU indexed(indexed)"},
  };
  for (const Case& c : cases) {
    const TAppTableDef* table = TableDefForPool(c.pool);
    ASSERT_NE(table, nullptr) << c.pool;
    EXPECT_EQ(table->fileName, c.file);
    EXPECT_EQ(table->pool, c.pool);
    EXPECT_EQ(table->minKey, c.minKey);
    EXPECT_EQ(table->maxKey, c.maxKey);
    EXPECT_EQ(Describe(*table), c.description) << c.file;
    EXPECT_EQ(TableDefByName(c.file), table);
  }
  EXPECT_EQ(TableDefByName("ALIAS.DAT"), TableDefForPool(piAlias));
  EXPECT_EQ(TableDefByName("words.dat"), nullptr);
  EXPECT_EQ(TableDefForPool(0), nullptr);
  EXPECT_EQ(TableDefForPool(10), nullptr);
}

TEST(TableDefs, MissingTablesAreCreatedInTheFixedOrder) {
  std::string order;
  for (const TAppTableDef* table : TableCreationOrder()) order += std::string(table->fileName) + " ";
  EXPECT_EQ(order,
            "account.dat extaccount.dat alias.dat maillist.dat domain.dat company.dat "
            "mailbox.dat extmailbox.dat document.dat ");
}

TEST(TableDefs, PositionConstantsNameTheirFields) {
  struct Case {
    int pool;
    const char* field;
    int position;
  };
  const Case cases[] = {
      {piAccount, "remafter", account::remafter},
      {piAccount, "created", account::created},
      {piExtAccount, "mailboxid", extaccount::mailboxid},
      {piExtAccount, "interval", extaccount::interval},
      {piAlias, "expandable", alias::expandable},
      {piAlias, "maillist", alias::maillist},
      {piMaillist, "forwarddomain", maillist::forwarddomain},
      {piCompany, "bounce", company::bounce},
      {piDomain, "name", domain::name},
      {piMailbox, "lastretr", mailbox::lastretr},
      {piMailbox, "hash", mailbox::hash},
      {piExtMailbox, "uidl", extmailbox::uidl},
      {piDocument, "indexed", document::indexed},
      {piDocument, "content", document::content},
      {piDocument, "extfileref", document::extfileref},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FieldPosition(*TableDefForPool(c.pool), c.field), c.position) << c.field;
  }
  EXPECT_EQ(FieldPosition(*TableDefForPool(piDocument), "FROM"), document::from);
  EXPECT_EQ(FieldPosition(*TableDefForPool(piDocument), "nothing"), -1);
}


TEST(TableDefs, RecordSetDefinitionsCarryEveryFieldAndIndex) {
  dataset::TFieldDefs fields;
  dataset::TIndexDefs indexes;
  fields.Add("stale", dataset::ftInteger);
  for (const TAppTableDef* table : TableCreationOrder()) {
    FillTableDefs(*table, fields, indexes);
    ASSERT_EQ(fields.Count(), static_cast<int>(table->fields.size())) << table->fileName;
    for (int i = 0; i < fields.Count(); ++i) {
      const TAppFieldDef& field = table->fields[static_cast<size_t>(i)];
      EXPECT_EQ(fields[i].Name(), field.name);
      EXPECT_EQ(fields[i].DataType(), DatasetFieldType(field.type));
      EXPECT_EQ(fields[i].Size(), field.size);
      EXPECT_EQ(fields[i].Required(), field.required);
      EXPECT_EQ(fields[i].FieldNo(), i + 1);
    }
    ASSERT_EQ(indexes.Count(), static_cast<int>(table->indexes.size()));
    EXPECT_TRUE(indexes[0].Has(dataset::ixPrimary));
    EXPECT_EQ(indexes[0].Name(), "");
    for (int i = 1; i < indexes.Count(); ++i) {
      EXPECT_EQ(indexes[i].Options(), 0) << "secondary indexes carry no options";
      EXPECT_EQ(indexes[i].Name(), indexes[i].Fields());
    }
  }
  const struct {
    TAppFieldType from;
    dataset::TFieldType to;
  } types[] = {{TAppFieldType::String, dataset::ftString},
               {TAppFieldType::Integer, dataset::ftInteger},
               {TAppFieldType::AutoInc, dataset::ftAutoInc},
               {TAppFieldType::Boolean, dataset::ftBoolean},
               {TAppFieldType::DateTime, dataset::ftDateTime},
               {TAppFieldType::Memo, dataset::ftMemo}};
  for (const auto& t : types) EXPECT_EQ(DatasetFieldType(t.from), t.to);
  FillTableDefs(*TableDefForPool(piAlias), fields, indexes);
  EXPECT_EQ(indexes[0].Options(), dataset::ixPrimary | dataset::ixUnique | dataset::ixCaseInsensitive);
  FillTableDefs(*TableDefForPool(piCompany), fields, indexes);
  EXPECT_EQ(indexes[0].Options(), dataset::ixPrimary | dataset::ixUnique);
}

}  // namespace
}  // namespace tovenmarsh::resources

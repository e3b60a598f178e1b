// The data definition parsers: CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP
// INDEX, with the column definitions, attributes, key clauses and table options they share.
// Implements the DDL parsing calls of TDataQuery in sql/data_query.h.
#include "sql/data_query.h"

#include "engine/base/engine_error.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/expr_typecheck.h"
#include "engine/format/field_desc.h"
#include "sql/sql_messages.h"

namespace tovenmarsh::sql {

using engine::TExpToken;
using engine::TExpTree;
using M = TSqlMessage;

namespace {

// The declared length (strings, bytes and variable bytes), the decimals of a BCD and the
// subtype of a BLOB, once the sizing rules have checked the type's arguments.
void TakeTypeArguments(TExpToken& node, TCreateField& field) {
  engine::TTypeCheckSettings settings;
  settings.ErrorCode = engine::kErrSql;
  settings.Context = "table column";
  engine::SizeExpressionResult(settings, node);
  field.DataType = node.DataType;
  field.SubType = node.SubType;
  auto byte = [](int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  if (node.DataType == engine::fldZString) {
    field.Size = byte(node.DataSize - 1);
  } else if (node.DataType == engine::fldBytes || node.DataType == engine::fldVarBytes) {
    field.Size = byte(node.DataSize);
  } else if (node.DataType == engine::fldBCD) {
    field.Scale = node.Scale;
  }
}

// Words a data type starts with: after REDEFINE's column name such a word is the type, not a
// new name (a new name spelt like a type must be bracketed or quoted).
bool IsTypeWord(const engine::TExpressionParser& p) {
  for (const char* word : {"SMALLINT", "WORD", "INTEGER", "AUTOINC", "MONEY", "DATE", "TIME",
                           "TIMESTAMP", "BOOLEAN", "DECIMAL", "NUMERIC", "FLOAT", "CHARACTER",
                           "CHAR", "VARCHAR", "BYTES", "BLOB"}) {
    if (p.IsKeyword(word)) return true;
  }
  return false;
}

}  // namespace

std::string TDataQuery::ReadDdlTableName(TSqlMessage afterKeywordMessage) {
  auto& p = P();
  bool memory = p.IsKeyword("MEMORY");
  if (memory) {
    InMemory = true;
    p.NextToken();
  }
  if (!p.TokenIs(engine::tkName) && !p.TokenIs(engine::tkString)) {
    RaiseSqlError(memory ? M::TableExpected : afterKeywordMessage,
                  {p.TokenText()});
  }
  TableName = ReadTableName();
  return TableName;
}

void TDataQuery::ParseColumnDefinition(TCreateField& field, bool typeRequired, bool redefine) {
  auto& p = P();
  std::string name;
  field.Definition = ParseColumnReference("table column", M::TableColumnEmpty,
                                          name);
  field.ColumnName = name;
  if (redefine && TokenIsName() && !IsTypeWord(p) &&
      !TokenIsWord({"AT", "DESCRIPTION", "NOT", "DEFAULT", "MIN", "MINIMUM", "MAX", "MAXIMUM",
                    "CHARCASE"})) {
    field.NewName = p.TokenText();
    p.NextToken();
  }
  TExpToken& node = *field.Definition;
  node.DataType = 0;
  node.SubType = 0;
  p.Context = "table column";
  p.ParseDataType(node, !typeRequired);
  field.TypeGiven = node.DataType != 0;
  if (field.TypeGiven) TakeTypeArguments(node, field);
}

void TDataQuery::ParseAttributes(TCreateField& field, bool allowAt) {
  auto& p = P();
  if (p.TokenIs(',')) return;
  if (allowAt && p.IsKeyword("AT")) {
    p.NextToken();
    field.Position = static_cast<int16_t>(
        ParseIntegerConstant("column position", M::ColumnPositionEmpty));
    field.PositionGiven = true;
  }
  if (p.IsKeyword("DESCRIPTION")) {
    p.NextToken();
    field.Description = ReadValueText();
    field.DescriptionGiven = true;
  }
  if (p.IsKeyword("NOT")) {
    p.NextToken();
    if (!p.IsKeyword("NULL")) RaiseSqlError(M::NullAfterNot, {p.TokenText()});
    p.NextToken();
    field.Required = field.RequiredGiven = true;
  }
  if (p.IsKeyword("DEFAULT")) {
    p.NextToken();
    field.Default = ReadValueText();
    field.DefaultGiven = true;
  }
  if (p.IsKeyword("MIN") || p.IsKeyword("MINIMUM")) {
    p.NextToken();
    field.Minimum = ReadValueText();
    field.MinimumGiven = true;
  }
  if (p.IsKeyword("MAX") || p.IsKeyword("MAXIMUM")) {
    p.NextToken();
    field.Maximum = ReadValueText();
    field.MaximumGiven = true;
  }
  if (p.IsKeyword("CHARCASE")) {
    p.NextToken();
    if (p.IsKeyword("UPPER")) {
      field.CharCase = ccUpperCase;
    } else if (p.IsKeyword("LOWER")) {
      field.CharCase = ccLowerCase;
    } else if (p.IsKeyword("NOCHANGE")) {
      field.CharCase = ccNoChange;
    } else {
      RaiseSqlError(M::CharCaseKeyword, {p.TokenText()});
    }
    field.CharCaseGiven = true;
    p.NextToken();
  }
}

bool TDataQuery::TokenStartsPrimaryKey() const {
  return TokenIsWord({"CONSTRAINT", "PRIMARY", "UNIQUE", "ASC", "ASCENDING", "DESC",
                      "DESCENDING", "NOCASE"});
}

void TDataQuery::ParseIndexFlags(TCreateIndex& index) {
  auto& p = P();
  if (p.IsKeyword("UNIQUE")) {
    index.Unique = true;
    p.NextToken();
  }
  if (p.IsKeyword("ASC") || p.IsKeyword("ASCENDING")) {
    p.NextToken();
  } else if (p.IsKeyword("DESC") || p.IsKeyword("DESCENDING")) {
    index.Descending = true;
    p.NextToken();
  }
  if (p.IsKeyword("NOCASE")) {
    index.NoCase = true;
    p.NextToken();
  }
}

void TDataQuery::ParseIndexColumns(TCreateIndex& index) {
  auto& p = P();
  if (!p.TokenIs('(')) RaiseSqlError(M::LeftParenAfterKey, {p.TokenText()});
  p.NextToken();
  while (true) {
    std::string name;
    index.ColumnNodes.push_back(
        ParseColumnReference("index column", M::IndexColumnEmpty, name));
    index.Columns.push_back(name);
    if (!p.TokenIs(',')) break;
    p.NextToken();
  }
  if (!p.TokenIs(')')) RaiseSqlError(M::RightParenAfterPrimaryKey, {p.TokenText()});
  p.NextToken();
}

void TDataQuery::ParseCompression(TCreateIndex& index) {
  auto& p = P();
  if (!p.IsKeyword("COMPRESS")) return;
  p.NextToken();
  if (p.IsKeyword("FULL")) {
    index.Compression = icFull;
  } else if (p.IsKeyword("DUPBYTE")) {
    index.Compression = icDupByte;
  } else if (p.IsKeyword("TRAILBYTE")) {
    index.Compression = icTrailByte;
  } else if (p.IsKeyword("NONE")) {
    index.Compression = icNone;
  } else {
    RaiseSqlError(M::CompressKeyword, {p.TokenText()});
  }
  p.NextToken();
}

void TDataQuery::ParsePrimaryKey(TCreateIndex& index) {
  auto& p = P();
  if (p.IsKeyword("CONSTRAINT")) {
    // The constraint's name is not kept: the primary index has no name.
    p.NextToken();
    if (!p.TokenIs(engine::tkEnd)) p.NextToken();
  }
  ParseIndexFlags(index);
  if (!p.IsKeyword("PRIMARY")) RaiseSqlError(M::PrimaryExpected, {p.TokenText()});
  p.NextToken();
  if (!p.IsKeyword("KEY")) RaiseSqlError(M::KeyAfterPrimary, {p.TokenText()});
  p.NextToken();
  ParseIndexColumns(index);
  ParseCompression(index);
}

void TDataQuery::ParseTableOptions() {
  auto& p = P();
  if (p.IsKeyword("DESCRIPTION")) {
    p.NextToken();
    Description = ReadValueText();
    DescriptionGiven = true;
  }
  if (p.IsKeyword("BLOB")) {
    p.NextToken();
    if (!p.IsKeyword("BLOCK")) RaiseSqlError(M::BlockAfterBlob, {p.TokenText()});
    p.NextToken();
    if (!p.IsKeyword("SIZE")) RaiseSqlError(M::SizeAfterBlock, {p.TokenText()});
    p.NextToken();
    BlobBlockSize = static_cast<uint16_t>(
        ParseIntegerConstant("BLOB block size", M::BlobBlockSizeEmpty));
    BlockSizeGiven = true;
  }
  if (p.IsKeyword("LANGUAGE")) {
    ParseLanguage(LanguageId, SortId, SortGiven);
    LanguageGiven = true;
  }
  if (p.IsKeyword("ENCRYPTED")) {
    p.NextToken();
    if (!p.IsKeyword("WITH")) RaiseSqlError(M::WithAfterEncrypted, {p.TokenText()});
    p.NextToken();
    Password = ReadValueText();
    Encrypted = !Password.empty();
    PasswordGiven = true;
  }
  auto version = [&](bool major) {
    p.NextToken();
    if (!p.IsKeyword("VERSION")) {
      RaiseSqlError(major ? M::VersionAfterMajor : M::VersionAfterMinor, {p.TokenText()});
    }
    p.NextToken();
    auto n = static_cast<uint16_t>(
        ParseIntegerConstant("user version number", M::UserVersionEmpty));
    if (major) {
      UserMajorVersion = n;
      MajorGiven = true;
    } else {
      UserMinorVersion = n;
      MinorGiven = true;
    }
  };
  if (p.IsKeyword("USER")) {
    p.NextToken();
    if (p.IsKeyword("MINOR")) {
      version(false);
      return;
    }
    if (!p.IsKeyword("MAJOR")) RaiseSqlError(M::MajorAfterUser, {p.TokenText()});
    version(true);
  }
  if (p.IsKeyword("USER")) {
    p.NextToken();
    if (!p.IsKeyword("MINOR")) RaiseSqlError(M::MinorAfterUser, {p.TokenText()});
    version(false);
  }
}

void TDataQuery::ParseCreateTable() {
  auto& p = P();
  ReadDdlTableName(M::TableAfterCreateTable);
  if (!p.TokenIs('(')) RaiseSqlError(M::ColumnListLeftParen, {p.TokenText()});
  p.NextToken();
  // Columns until ")" or a word that opens a key clause or an option.
  while (!p.TokenIs(')') && !TokenStartsPrimaryKey() &&
         !TokenIsWord({"DESCRIPTION", "BLOB", "LANGUAGE", "ENCRYPTED", "USER"})) {
    auto field = std::make_unique<TCreateField>(this);
    ParseColumnDefinition(*field, true, false);
    ParseAttributes(*field, false);
    field->FieldNo = static_cast<int16_t>(CreateFields.size() + 1);
    CreateFields.push_back(std::move(field));
    if (!p.TokenIs(',')) break;
    p.NextToken();
  }
  if (TokenStartsPrimaryKey()) {
    auto index = std::make_unique<TCreateIndex>(this);
    ParsePrimaryKey(*index);
    CreateIndexes.push_back(std::move(index));
    if (p.TokenIs(',')) p.NextToken();
  }
  ParseTableOptions();
  if (!p.TokenIs(')')) RaiseSqlError(M::CreateTableRightParen, {p.TokenText()});
  p.NextToken();
  ExpectEnd(M::EndOfCreateTable);
}

void TDataQuery::ParseCreateIndex() {
  auto& p = P();
  auto index = std::make_unique<TCreateIndex>(this);
  ParseIndexFlags(*index);
  if (!p.IsKeyword("INDEX")) RaiseSqlError(M::IndexExpected, {p.TokenText()});
  p.NextToken();
  if (!TokenIsName()) RaiseSqlError(M::IndexNameAfterIndex, {p.TokenText()});
  index->IndexName = p.TokenText();
  IndexName = index->IndexName;
  p.NextToken();
  if (!p.IsKeyword("ON")) RaiseSqlError(M::OnAfterIndexName, {p.TokenText()});
  p.NextToken();
  ReadDdlTableName(M::TableAfterOn);
  ParseIndexColumns(*index);
  ParseCompression(*index);
  CreateIndexes.push_back(std::move(index));
  ExpectEnd(M::EndOfCreateIndex);
}

void TDataQuery::ParseAlterTable() {
  auto& p = P();
  ReadDdlTableName(M::TableAfterAlterTable);
  while (p.IsKeyword("ADD") || p.IsKeyword("REDEFINE") || p.IsKeyword("DROP")) {
    bool add = p.IsKeyword("ADD");
    bool redefine = p.IsKeyword("REDEFINE");
    p.NextToken();
    if (!add && !redefine) {
      // DROP [CONSTRAINT name] PRIMARY KEY | DROP [COLUMN] name
      if (p.IsKeyword("CONSTRAINT") || p.IsKeyword("PRIMARY")) {
        if (p.IsKeyword("CONSTRAINT")) {
          p.NextToken();
          if (!p.TokenIs(engine::tkEnd)) p.NextToken();
        }
        if (!p.IsKeyword("PRIMARY")) RaiseSqlError(M::PrimaryExpected, {p.TokenText()});
        p.NextToken();
        if (!p.IsKeyword("KEY")) RaiseSqlError(M::KeyAfterPrimary, {p.TokenText()});
        p.NextToken();
        auto index = std::make_unique<TCreateIndex>(this);
        index->IsDrop = true;
        CreateIndexes.push_back(std::move(index));
      } else {
        if (p.IsKeyword("COLUMN")) p.NextToken();
        auto field = std::make_unique<TCreateField>(this);
        std::string name;
        field->Definition = ParseColumnReference(
            "table column", M::TableColumnEmpty, name);
        field->ColumnName = name;
        field->IsDrop = true;
        CreateFields.push_back(std::move(field));
      }
    } else if (TokenStartsPrimaryKey()) {
      auto index = std::make_unique<TCreateIndex>(this);
      index->IsAdd = add;
      index->IsRedefine = redefine;
      ParsePrimaryKey(*index);
      CreateIndexes.push_back(std::move(index));
    } else {
      if (p.IsKeyword("COLUMN")) p.NextToken();
      auto field = std::make_unique<TCreateField>(this);
      field->IsAdd = add;
      field->IsRedefine = redefine;
      ParseColumnDefinition(*field, add, redefine);
      ParseAttributes(*field, true);
      CreateFields.push_back(std::move(field));
    }
    if (!p.TokenIs(',')) break;
    p.NextToken();
  }
  ParseTableOptions();
  if (p.IsKeyword("LAST")) {
    p.NextToken();
    if (!p.IsKeyword("AUTOINC")) RaiseSqlError(M::AutoIncAfterLast, {p.TokenText()});
    p.NextToken();
    LastAutoInc = ParseIntegerConstant("next auto-increment number",
                                       M::NextAutoIncEmpty);
  }
  if (p.IsKeyword("NOBACKUP")) {
    NoBackup = true;
    p.NextToken();
  }
  ExpectEnd(M::EndOfAlterTable);
}

void TDataQuery::ParseDropTable() {
  ReadDdlTableName(M::TableAfterTable);
  ExpectEnd(M::EndOfDropTable);
}

void TDataQuery::ParseDropIndex() {
  auto& p = P();
  bool memory = p.IsKeyword("MEMORY");
  if (memory) {
    InMemory = true;
    p.NextToken();
  }
  if (p.TokenIs(engine::tkEnd) || p.TokenIs(';')) RaiseSqlError(M::IndexNameExpressionEmpty);
  if (!TokenIsName()) {
    RaiseSqlError(memory ? M::TableExpected : M::TableAfterIndex, {p.TokenText()});
  }
  // table "." index, read as one qualified name.
  p.Context = "index name expression";
  TExpTree node = p.ParsePrimary(0);
  if (node->NodeClass != engine::ncColumn || node->TableName.empty()) {
    RaiseSqlError(memory ? M::TableExpected : M::TableAfterIndex, {node->Text});
  }
  TableName = node->TableName;
  IndexName = node->FieldName;
  ExpectEnd(M::EndOfDropIndex);
}

}  // namespace tovenmarsh::sql

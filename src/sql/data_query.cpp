// TDataQuery core: state, the statement-kind dispatcher, the clause helpers every parser shares
// and the parameter walk.
#include "sql/data_query.h"

#include <functional>

#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/base/engine_strings.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/expr_typecheck.h"
#include "engine/base/languages.h"
#include "platform/format_settings.h"
#include "engine/cursor/cursor.h"
#include "sql/select_run.h"
#include "sql/table_join.h"
#include "sql/sql_messages.h"

namespace tovenmarsh::sql {

using engine::TExpToken;
using engine::TExpTree;

namespace {

// The file-name part of a name that may hold a path.
size_t FileNameStart(const std::string& name) {
  size_t slash = name.find_last_of("\\/:");
  return slash == std::string::npos ? 0 : slash + 1;
}

// Leaves the format-settings lock on every path.
struct TLocaleLockGuard {
  TLocaleLockGuard() { engine::EnterLocaleLock(); }
  ~TLocaleLockGuard() { engine::LeaveLocaleLock(); }
  TLocaleLockGuard(const TLocaleLockGuard&) = delete;
  TLocaleLockGuard& operator=(const TLocaleLockGuard&) = delete;
};

}  // namespace

void TResultField::SetColumnName(std::string name) {
  ColumnName = std::move(name);
  if (ResultName.empty() && ColumnName != "*") ResultName = ColumnName;
}

void TSourceTable::SetTableName(const std::string& name, const std::string& databasePath) {
  size_t start = FileNameStart(name);
  TableName = name.substr(start);
  if (InMemory) {
    Path = "Memory";
  } else if (start > 0) {
    Path = name.substr(0, start);
  } else {
    Path = databasePath;
  }
  if (!correlationGiven_) {
    size_t dot = TableName.rfind('.');
    Correlation = dot == std::string::npos ? TableName : TableName.substr(0, dot);
  }
}

TDataQuery::TDataQuery(TQueryContext* statement) : Statement(statement) {}

TDataQuery::~TDataQuery() { ReleaseExecution(); }

engine::TExpressionParser& TDataQuery::P() const { return Statement->Parser(); }

void TDataQuery::Reset() {
  ReleaseExecution();
  Executed = false;
  IsSubSelect = false;
  Kind = skNone;
  ElapsedSeconds = 0;
  Writable = false;
  RowsAffected = 0;
  Distinct = HasAverage = HasCalculated = MultiTable = NoJoinOptimize = false;
  HasWhere = HasHaving = HasOrderBy = OrderNoCase = Grouped = HavingGiven = false;
  InMemory = HasInto = InsertSelect = WithLocks = false;
  InsertQuery = nullptr;
  TableName.clear();
  IndexName.clear();
  SourceTables.clear();
  ResultColumns.clear();
  OrderBy.clear();
  GroupBy.clear();
  UpdateFields.clear();
  UpdateValues.clear();
  CreateFields.clear();
  CreateIndexes.clear();
  Condition.reset();
  Having.reset();
  Encrypted = false;
  Password.clear();
  LanguageId = SortId = 0;
  BlobBlockSize = 512;
  Description.clear();
  UserMajorVersion = 1;
  UserMinorVersion = 0;
  LastAutoInc = -1;
  NoAutoInc = NoBackup = false;
  CommitInterval = 0;
  PasswordGiven = LanguageGiven = SortGiven = BlockSizeGiven = DescriptionGiven = false;
  MajorGiven = MinorGiven = CommitIntervalGiven = false;
}

void TDataQuery::Parse(bool isSubSelect) {
  if (Executed) return;
  Reset();
  IsSubSelect = isSubSelect;
  P().ErrorCode = engine::kErrSql;
  P().ErrorName.clear();
  P().Context.clear();
  TLocaleLockGuard lock;
  engine::TLanguageSettings settings;
  engine::LoadLanguageSettings(Statement->LanguageId(), Statement->SortId(), settings);
  platform::TThreadFormatScope scope(settings);
  Dispatch();
}

void TDataQuery::Dispatch() {
  using M = TSqlMessage;
  auto& p = P();
  if (p.IsKeyword("SELECT")) {
    Kind = skSelect;
    ParseSelect();
  } else if (p.IsKeyword("INSERT")) {
    Kind = skInsert;
    ParseInsert();
  } else if (p.IsKeyword("UPDATE")) {
    Kind = skUpdate;
    ParseUpdate();
  } else if (p.IsKeyword("DELETE")) {
    Kind = skDelete;
    ParseDelete();
  } else if (p.IsKeyword("CREATE")) {
    p.NextToken();
    if (p.IsKeyword("TABLE")) {
      Kind = skCreateTable;
      p.NextToken();
      ParseCreateTable();
    } else if (TokenIsWord({"INDEX", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING",
                            "NOCASE"})) {
      // The CREATE INDEX parser reads these words itself.
      Kind = skCreateIndex;
      ParseCreateIndex();
    } else {
      RaiseSqlError(M::CreateWhat, {p.TokenText()});
    }
  } else if (p.IsKeyword("ALTER")) {
    p.NextToken();
    if (!p.IsKeyword("TABLE")) RaiseSqlError(M::AlterWhat, {p.TokenText()});
    Kind = skAlterTable;
    p.NextToken();
    ParseAlterTable();
  } else if (p.IsKeyword("DROP")) {
    p.NextToken();
    if (p.IsKeyword("TABLE")) {
      Kind = skDropTable;
      p.NextToken();
      ParseDropTable();
    } else if (p.IsKeyword("INDEX")) {
      Kind = skDropIndex;
      p.NextToken();
      ParseDropIndex();
    } else {
      RaiseSqlError(M::DropWhat, {p.TokenText()});
    }
  } else {
    RaiseSqlError(M::StatementKeyword, {p.TokenText()});
  }
}

void TDataQuery::ExpectEnd(TSqlMessage endMessage) {
  auto& p = P();
  if (p.TokenIs(';')) {
    p.NextToken();
    return;
  }
  if (p.TokenIs(engine::tkEnd)) return;
  RaiseSqlError(endMessage, {p.TokenText()});
}

bool TDataQuery::TokenIsName() const {
  const auto& p = P();
  return p.TokenIs(engine::tkName) || p.TokenIs(engine::tkBracketName) ||
         p.TokenIs(engine::tkString);
}

bool TDataQuery::TokenIsWord(std::initializer_list<const char*> words) const {
  for (const char* word : words) {
    if (P().IsKeyword(word)) return true;
  }
  return false;
}

std::string TDataQuery::ReadTableName() {
  // A plain name (optionally with an extension: orders.dat) or a quoted string; the current
  // token is the name.
  auto& p = P();
  std::string name = p.TokenText();
  bool plain = p.TokenIs(engine::tkName);
  p.NextToken();
  while (plain && p.TokenIs('.')) {
    p.NextToken();
    if (!p.TokenIs(engine::tkName)) RaiseSqlError(TSqlMessage::TableExpected, {p.TokenText()});
    name += "." + p.TokenText();
    p.NextToken();
  }
  return name;
}

std::unique_ptr<TSourceTable> TDataQuery::NewSourceTable(const std::string& name, bool inMemory) {
  auto table = std::make_unique<TSourceTable>(this);
  table->InMemory = inMemory;
  table->SetTableName(name, Statement->DatabasePath());
  return table;
}

void TDataQuery::AddSourceTable(std::unique_ptr<TSourceTable> table, bool atFront) {
  for (const auto& other : SourceTables) {
    if (engine::SameText(other->Correlation, table->Correlation)) {
      RaiseSqlError(TSqlMessage::DuplicateCorrelation, {table->Correlation});
    }
  }
  table->TextOrder = static_cast<int16_t>(SourceTables.size() + 1);
  if (atFront) {
    SourceTables.insert(SourceTables.begin(), std::move(table));
  } else {
    SourceTables.push_back(std::move(table));
  }
}

TSourceTable* TDataQuery::LastWrittenTable() const {
  TSourceTable* last = nullptr;
  for (const auto& t : SourceTables) {
    if (last == nullptr || t->TextOrder > last->TextOrder) last = t.get();
  }
  return last;
}

void TDataQuery::AndCondition(TExpTree& target, TExpTree tree) {
  if (!tree) return;
  if (!target) {
    target = std::move(tree);
    return;
  }
  TExpTree node = engine::NewExpTree();
  node->NodeClass = engine::ncBinary;
  node->Operator = engine::opAnd;
  node->DataType = 4;
  node->Text = "AND";
  node->Left = target.release();
  node->Right = tree.release();
  target = std::move(node);
  // Conditions joined over many ON clauses must stay within the height every tree walk allows.
  P().CheckTreeHeight(target.get());
}

TExpTree TDataQuery::ParseClause(uint8_t flags, const char* context) {
  auto& p = P();
  p.Context = context;
  p.MarkStart();
  return p.ParseExpression(flags);
}

int32_t TDataQuery::ParseIntegerConstant(const char* context, TSqlMessage emptyMessage) {
  // A signed integer constant; any other expression counts as 0.
  auto& p = P();
  if (p.TokenIs(engine::tkEnd) || p.TokenIs(';') || p.TokenIs(',') || p.TokenIs(')')) {
    RaiseSqlError(emptyMessage);
  }
  p.Context = context;
  TExpTree node = p.ParseSigned(0);
  const TExpToken* value = node.get();
  bool negative = false;
  if (value->NodeClass == engine::ncUnary) {
    negative = value->Operator == engine::opNegate;
    value = value->Left;
  }
  if (value == nullptr || value->NodeClass != engine::ncConstant || value->IsNull ||
      value->DataType != engine::fldInt32) {
    return 0;
  }
  int64_t n = value->Get<int32_t>();
  if (negative) n = -n;
  return static_cast<int32_t>(n);
}

std::string TDataQuery::ReadValueText() {
  // One token's text: a string without its quotes, a number or a word as written.
  auto& p = P();
  std::string text = p.TokenText();
  if (!p.TokenIs(engine::tkEnd)) p.NextToken();
  return text;
}

void TDataQuery::ParseCommitInterval() {
  auto& p = P();
  if (!p.IsKeyword("COMMIT")) return;
  p.NextToken();
  if (!p.IsKeyword("INTERVAL")) RaiseSqlError(TSqlMessage::IntervalAfterCommit, {p.TokenText()});
  p.NextToken();
  int32_t n = ParseIntegerConstant("commit interval",
                                   TSqlMessage::CommitIntervalEmpty);
  if (n < 1) RaiseSqlError(TSqlMessage::CommitIntervalInvalid, {std::to_string(n)});
  CommitInterval = n;
  CommitIntervalGiven = true;
}

TExpTree TDataQuery::ParseColumnReference(const char* context, TSqlMessage emptyMessage,
                                          std::string& name) {
  auto& p = P();
  if (p.TokenIs(engine::tkEnd) || p.TokenIs(';') || p.TokenIs(',') || p.TokenIs(')') ||
      p.TokenIs('=')) {
    RaiseSqlError(emptyMessage);
  }
  p.Context = context;
  // A double-quoted string names a column; a single-quoted one is a constant.
  bool doubleQuoted = p.TokenIs(engine::tkString) && p.TokenOffset() < Statement->Text().size() &&
                      Statement->Text()[p.TokenOffset()] == '"';
  TExpTree node = p.ParsePrimary(0);
  if (doubleQuoted && node->NodeClass == engine::ncConstant && !node->IsParameter) {
    if (node->IsNull) RaiseSqlError(emptyMessage);
    node->WasString = true;
    node->SavedType = node->DataType;
    node->SavedSubType = node->SubType;
    node->SavedSize = node->DataSize;
    node->SavedScale = node->Scale;
    node->NodeClass = engine::ncColumn;
    node->FieldName = std::string(node->StringValue());
    node->Text = node->FieldName;
  }
  if (node->NodeClass == engine::ncColumn) {
    name = node->FieldName;
  } else if (node->NodeClass == engine::ncConstant && node->DataType == engine::fldZString &&
             !node->IsNull) {
    name = std::string(node->StringValue());
  } else {
    name = node->Text;
  }
  return node;
}

void TDataQuery::ParseLanguage(uint16_t& languageId, uint16_t& sortId, bool& sortGiven) {
  // LANGUAGE text [SORT text]; the current token is LANGUAGE.
  auto& p = P();
  p.NextToken();
  std::string language = ReadValueText();
  if (!engine::LanguageExists(language)) {
    RaiseSqlError(TSqlMessage::InvalidLanguage, {language});
  }
  languageId = engine::LanguageIdOfName(language);
  sortId = 0;
  if (p.IsKeyword("SORT")) {
    p.NextToken();
    std::string sort = ReadValueText();
    if (!engine::SortOrderExists(languageId, sort)) {
      RaiseSqlError(TSqlMessage::InvalidSort, {sort});
    }
    sortId = engine::SortOrderIdOfName(languageId, sort);
    sortGiven = true;
  }
}

void TDataQuery::CollectParameters(std::vector<TExpToken*>& list) const {
  // Depth first, left before right; list values and further arguments hang off Right, so this
  // order is the text order of every predicate. Sub-select operands have no children: their
  // queries are walked in their own turn.
  std::function<void(TExpToken*)> walk = [&](TExpToken* node) {
    if (node == nullptr) return;
    if (node->NodeClass == engine::ncConstant && node->IsParameter) list.push_back(node);
    walk(node->Left);
    walk(node->Right);
    walk(node->Third);
  };
  switch (Kind) {
    case skSelect:
      walk(Condition.get());
      walk(Having.get());
      break;
    case skInsert:
    case skUpdate:
      for (const auto& value : UpdateValues) walk(value->Expression.get());
      walk(Condition.get());
      break;
    case skDelete: walk(Condition.get()); break;
    default: break;
  }
}

void MarkJoinKind(TExpToken* node, uint8_t kind) {
  if (node == nullptr) return;
  if (node->NodeClass == engine::ncUnary) {
    MarkJoinKind(node->Left, kind);
    return;
  }
  if (node->NodeClass == engine::ncBinary &&
      (node->Operator == engine::opAnd || node->Operator == engine::opOr)) {
    MarkJoinKind(node->Left, kind);
    MarkJoinKind(node->Right, kind);
    return;
  }
  if ((node->NodeClass == engine::ncBinary || node->NodeClass == engine::ncOption) &&
      node->Operator >= engine::opEqual && node->Operator <= engine::opLessEqual &&
      engine::ReferencesColumns(node->Left) && engine::ReferencesColumns(node->Right)) {
    node->Reserved = kind;
  }
}

}  // namespace tovenmarsh::sql

#include "sql/support/statement_dump.h"

#include "engine/base/engine_error.h"
#include "engine/start/engine_library.h"

namespace tovenmarsh::sql::testing {
namespace {

using engine::TExpToken;

std::string Tree(const TExpToken* node) { return engine::DumpExpressionTree(node); }

// Join kinds stamped on comparisons, in pre-order.
void Stamps(const TExpToken* node, std::string& out) {
  if (node == nullptr) return;
  if (node->Reserved != 0) out += std::to_string(node->Reserved);
  Stamps(node->Left, out);
  Stamps(node->Right, out);
  Stamps(node->Third, out);
}

const char* KindName(uint8_t kind) {
  static const char* kNames[] = {"?",           "SELECT",      "INSERT",     "UPDATE",
                                 "DELETE",      "CREATE TABLE", "ALTER TABLE", "DROP TABLE",
                                 "CREATE INDEX", "DROP INDEX"};
  return kind < 10 ? kNames[kind] : "?";
}

std::string Field(const TCreateField& f) {
  std::string s;
  if (f.IsAdd) s += "ADD ";
  if (f.IsRedefine) s += "REDEFINE ";
  if (f.IsDrop) s += "DROP ";
  s += f.ColumnName;
  if (!f.NewName.empty()) s += "->" + f.NewName;
  if (f.TypeGiven) {
    s += " t" + std::to_string(f.DataType);
    if (f.SubType != 0) s += "/" + std::to_string(f.SubType);
    if (f.Size != 0) s += " s" + std::to_string(f.Size);
    if (f.Scale != 0) s += " d" + std::to_string(f.Scale);
  }
  if (f.Position != 0) s += " at" + std::to_string(f.Position);
  if (f.DescriptionGiven) s += " desc'" + f.Description + "'";
  if (f.RequiredGiven) s += " required";
  if (f.DefaultGiven) s += " default'" + f.Default + "'";
  if (f.MinimumGiven) s += " min'" + f.Minimum + "'";
  if (f.MaximumGiven) s += " max'" + f.Maximum + "'";
  if (f.CharCaseGiven) s += " case" + std::to_string(f.CharCase);
  return s;
}

std::string Index(const TCreateIndex& x) {
  std::string s;
  if (x.IsAdd) s += "ADD ";
  if (x.IsRedefine) s += "REDEFINE ";
  if (x.IsDrop) s += "DROP ";
  s += x.IndexName.empty() ? "(primary)" : x.IndexName;
  if (x.Unique) s += " unique";
  if (x.Descending) s += " desc";
  if (x.NoCase) s += " nocase";
  if (x.Compression != 0) s += " compress" + std::to_string(x.Compression);
  s += " (";
  for (size_t i = 0; i < x.Columns.size(); ++i) s += (i ? "," : "") + x.Columns[i];
  return s + ")";
}

std::string Query(const TDataQuery& q) {
  std::string s = KindName(q.Kind);
  auto add = [&](const std::string& part) { s += " " + part; };
  if (q.Distinct) add("DISTINCT");
  if (!q.ResultColumns.empty()) {
    std::string cols;
    for (const auto& c : q.ResultColumns) {
      if (!cols.empty()) cols += ", ";
      cols += Tree(c->Expression.get());
      if (!c->NoAlias) cols += " AS " + c->Alias;
      if (c->Aggregate != 0) cols += " agg" + std::to_string(c->Aggregate);
      if (c->CountAll) cols += " all";
      if (c->Calculated) cols += " calc'" + c->Text + "'";
      if (!c->Calculated && !c->Correlation.empty()) cols += " corr=" + c->Correlation;
    }
    add("cols[" + cols + "]");
  }
  if (q.HasInto) add(std::string("into[") + (q.InMemory ? "MEMORY " : "") + q.TableName + "]");
  if (!q.SourceTables.empty()) {
    std::string from;
    for (const auto& t : q.SourceTables) {
      if (!from.empty()) from += ", ";
      if (t->InMemory) from += "MEMORY:";
      if (!t->Path.empty() && t->Path != "Memory") from += t->Path + "|";
      from += t->TableName + " " + t->Correlation + "#" + std::to_string(t->TextOrder);
    }
    add("from[" + from + "]");
  }
  if (q.MultiTable) add("multi");
  if (!q.UpdateFields.empty()) {
    std::string targets;
    for (const auto& f : q.UpdateFields) {
      if (!targets.empty()) targets += ", ";
      if (!f->Correlation.empty()) targets += f->Correlation + ".";
      targets += f->ColumnName;
    }
    add("targets[" + targets + "]");
  }
  if (!q.UpdateValues.empty()) {
    std::string values;
    for (const auto& v : q.UpdateValues) {
      if (!values.empty()) values += ", ";
      values += Tree(v->Expression.get()) + "'" + v->Text + "'";
    }
    add("values[" + values + "]");
  }
  if (q.InsertSelect) add("insert-select");
  if (q.Condition) {
    std::string stamps;
    Stamps(q.Condition.get(), stamps);
    add("where" + Tree(q.Condition.get()) + (stamps.empty() ? "" : " joins=" + stamps));
  }
  if (!q.GroupBy.empty()) {
    std::string g;
    for (const auto& i : q.GroupBy) {
      if (!g.empty()) g += ",";
      g += i->ColumnNo != 0 ? "#" + std::to_string(i->ColumnNo)
                            : (i->Correlation.empty() ? "" : i->Correlation + ".") + i->ColumnName;
    }
    add("group[" + g + "]");
  }
  if (q.Having) add("having" + Tree(q.Having.get()));
  if (!q.OrderBy.empty()) {
    std::string o;
    for (const auto& i : q.OrderBy) {
      if (!o.empty()) o += ",";
      o += i->ColumnNo != 0 ? "#" + std::to_string(i->ColumnNo)
                            : (i->Correlation.empty() ? "" : i->Correlation + ".") + i->ColumnName;
      if (i->Descending) o += " desc";
    }
    add("order[" + o + "]" + (q.OrderNoCase ? " nocase" : ""));
  }
  if (q.WithLocks) add("locks");
  if (q.NoJoinOptimize) add("nojoinoptimize");
  if (q.NoAutoInc) add("noautoinc");
  if (q.CommitIntervalGiven) add("commit=" + std::to_string(q.CommitInterval));
  if (q.Kind >= skCreateTable) {
    add(std::string(q.InMemory ? "MEMORY:" : "") + "table=" + q.TableName);
    if (!q.IndexName.empty()) add("index=" + q.IndexName);
  }
  if (!q.CreateFields.empty()) {
    std::string f;
    for (const auto& c : q.CreateFields) f += (f.empty() ? "" : ", ") + Field(*c);
    add("fields[" + f + "]");
  }
  if (!q.CreateIndexes.empty()) {
    std::string f;
    for (const auto& c : q.CreateIndexes) f += (f.empty() ? "" : ", ") + Index(*c);
    add("keys[" + f + "]");
  }
  if (q.DescriptionGiven) add("description'" + q.Description + "'");
  if (q.BlockSizeGiven) add("blocksize=" + std::to_string(q.BlobBlockSize));
  if (q.LanguageGiven) {
    add("language=" + std::to_string(q.LanguageId) + "/" + std::to_string(q.SortId));
  }
  if (q.PasswordGiven) add(std::string(q.Encrypted ? "encrypted'" : "plain'") + q.Password + "'");
  if (q.MajorGiven || q.MinorGiven) {
    add("version=" + std::to_string(q.UserMajorVersion) + "." + std::to_string(q.UserMinorVersion));
  }
  if (q.LastAutoInc != -1) add("lastautoinc=" + std::to_string(q.LastAutoInc));
  if (q.NoBackup) add("nobackup");
  return s;
}

}  // namespace

void EnsureEngineLibrary() {
  if (!engine::EngineLibraryInitialized()) engine::InitializeEngineLibrary();
}

std::string DumpStatement(const TQueryStatement& statement) {
  std::string out;
  for (int i = 0; i < statement.QueryCount(); ++i) {
    if (i > 0) out += " ";
    out += "Q" + std::to_string(i) + "{" + Query(*statement.Query(i)) + "}";
  }
  return out;
}

std::string PrepareText(std::string_view text, size_t* consumed) {
  EnsureEngineLibrary();
  TQueryStatement statement(nullptr);
  size_t used = 0;
  try {
    statement.Prepare(text, used);
  } catch (const engine::EFenEngineError& e) {
    return "ERROR " + std::to_string(e.Code()) + ": " + e.Names().ExtraText;
  }
  if (consumed != nullptr) *consumed = used;
  return DumpStatement(statement);
}

}  // namespace tovenmarsh::sql::testing

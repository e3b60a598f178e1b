// tovenmarsh_admin: fills and reads the application tables of a database folder through the
// database resources, while the server is stopped.
//
//   tovenmarsh_admin <db folder> create-tables
//   tovenmarsh_admin <db folder> add-company <name>                       prints the number
//   tovenmarsh_admin <db folder> add-domain <companyno> <name>
//   tovenmarsh_admin <db folder> add-account <no> <fullname> <password> [<level>]  level 1 by default
//   tovenmarsh_admin <db folder> add-alias <name> <companyno> <accountno>
//   tovenmarsh_admin <db folder> add-extaccount <mailserver> <user> <password> <accountno>
//                                <leavecopy: true|false>     an active external POP3 mailbox
//   tovenmarsh_admin <db folder> dump <table file>                        one row a line
//
// dump prints each field as name=value, separated by tabs; tabs, CR, LF and backslashes in
// values are written \t, \r, \n and \\; a null value is written as nothing. Missing tables are
// created first. Exit code 0 on success, 1 on a failure (message on stderr), 2 on bad usage.
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "core/log.h"
#include "dataset/fen_session.h"
#include "resources/fen_table_access.h"
#include "resources/table_resources.h"

namespace {

using namespace tovenmarsh::resources;

int Usage() {
  std::cerr << "usage: tovenmarsh_admin <db folder> create-tables | add-company <name> | "
               "add-domain <companyno> <name> | add-account <no> <fullname> <password> [<level>] | "
               "add-alias <name> <companyno> <accountno> | "
               "add-extaccount <mailserver> <user> <password> <accountno> <true|false> | "
               "dump <table file>\n";
  return 2;
}

std::unique_ptr<TResourcePool> OpenPool(const std::string& folder) {
  CreateDatabaseTables(folder);
  auto pool = std::make_unique<TResourcePool>();
  const TTableOpener opener = FenTableOpener(folder);
  TResourcePool* owner = pool.get();
  for (int index = piAccount; index <= piDocument; ++index) {
    pool->Register(
        index,
        [index, opener, owner]() -> std::unique_ptr<TResourceItem> {
          return CreateTableResource(index, opener, owner);
        },
        1, 4);
  }
  return pool;
}

// Inserts one row through the table's resource, so its stamps apply; answers the row's first
// field (the number of an auto-increment table).
TFieldValue InsertRow(TResourcePool& pool, int index, const std::vector<std::pair<int, TFieldValue>>& fields) {
  TResourceLease<> resource(pool, index);
  resource->BeginWork();
  try {
    resource->Insert();
    for (const auto& [position, value] : fields) resource->Table().SetField(position, value);
    resource->Post();
    TFieldValue first = resource->Table().Field(0);
    resource->CommitWork();
    return first;
  } catch (...) {
    resource->RollbackWork();
    throw;
  }
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Text(const TFieldValue& value) {
  if (const int* n = std::get_if<int>(&value)) return std::to_string(*n);
  if (const bool* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
  if (const double* d = std::get_if<double>(&value)) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6f", *d);
    return buffer;
  }
  if (const std::string* s = std::get_if<std::string>(&value)) return Escape(*s);
  return "";
}

void Dump(TResourcePool& pool, const std::string& tableName) {
  const TAppTableDef* table = TableDefByName(tableName);
  if (table == nullptr) throw EVDatabase("Unknown table " + tableName);
  TResourceLease<> resource(pool, table->pool);
  TTableAccess& rows = resource->Table();
  for (rows.First(); !rows.Eof(); rows.Next()) {
    std::string line;
    for (size_t i = 0; i < table->fields.size(); ++i) {
      if (i > 0) line += '\t';
      line += std::string(table->fields[i].name) + "=" + Text(rows.Field(static_cast<int>(i)));
    }
    std::cout << line << '\n';
  }
}

int Run(const std::vector<std::string>& args) {
  if (args.size() < 2) return Usage();
  const std::string& folder = args[0];
  const std::string& command = args[1];
  auto need = [&](size_t count) { return args.size() == count + 2; };
  if (command == "create-tables" && need(0)) {
    CreateDatabaseTables(folder);
    return 0;
  }
  std::unique_ptr<TResourcePool> pool;
  if (command == "add-company" && need(1)) {
    pool = OpenPool(folder);
    std::cout << Text(InsertRow(*pool, piCompany, {{company::name, args[2]}})) << '\n';
  } else if (command == "add-domain" && need(2)) {
    pool = OpenPool(folder);
    InsertRow(*pool, piDomain, {{domain::companyno, std::stoi(args[2])}, {domain::name, args[3]}});
  } else if (command == "add-account" && (need(3) || need(4))) {
    pool = OpenPool(folder);
    const int level = need(4) ? std::stoi(args[5]) : 1;
    InsertRow(*pool, piAccount,
              {{account::no, std::stoi(args[2])}, {account::fullname, args[3]}, {account::pass, args[4]},
               {account::active, true}, {account::level, level}});
  } else if (command == "add-alias" && need(3)) {
    pool = OpenPool(folder);
    InsertRow(*pool, piAlias,
              {{alias::name, args[2]}, {alias::companyno, std::stoi(args[3])},
               {alias::accountno, std::stoi(args[4])}, {alias::active, true}});
  } else if (command == "add-extaccount" && need(5) && (args[6] == "true" || args[6] == "false")) {
    pool = OpenPool(folder);
    InsertRow(*pool, piExtAccount,
              {{extaccount::mailserver, args[2]},
               {extaccount::mailusr, args[3]},
               {extaccount::mailpass, args[4]},
               {extaccount::accountno, std::stoi(args[5])},
               {extaccount::leavecopy, args[6] == "true"},
               {extaccount::active, true}});
  } else if (command == "dump" && need(1)) {
    pool = OpenPool(folder);
    Dump(*pool, args[2]);
  } else {
    return Usage();
  }
  return 0;
}

// Closes the sessions the tables opened while the process's objects still exist, so that the
// engine stops (and its files close) before exit rather than from a static destructor.
void CloseSessions() {
  using tovenmarsh::dataset::Sessions;
  for (int n = 0; n < 256; ++n) {
    if (auto* session = Sessions().FindSession("RunTimeSession" + std::to_string(n))) session->CloseSession();
  }
  Sessions().DefaultSession().CloseSession();
}

}  // namespace

int main(int argc, char** argv) {
  int code = 1;
  try {
    code = Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "tovenmarsh_admin: " << tovenmarsh::core::ExceptionClassName(e) << ": " << e.what() << '\n';
  }
  std::cout.flush();
  try {
    CloseSessions();
  } catch (const std::exception& e) {
    std::cerr << "tovenmarsh_admin: closing: " << e.what() << '\n';
    code = 1;
  }
  return code;
}

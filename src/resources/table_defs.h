// The nine application tables as data: file name, fields (physical order, relied on by the
// position constants below), indexes, the pool that serves each table, and the order in which
// missing tables are created at start. Everything that creates, opens or mirrors these tables
// reads it from here.
#pragma once

#include <array>
#include <span>
#include <string_view>

namespace tovenmarsh::resources {

// Field kinds of the application tables (the record-set layer's string, integer,
// auto-increment, boolean, date-time and text BLOB).
enum class TAppFieldType { String, Integer, AutoInc, Boolean, DateTime, Memo };

struct TAppFieldDef {
  std::string_view name;
  TAppFieldType type;
  int size;  // characters for String, 0 otherwise
  bool required;
};

// A primary index has an empty name; secondary indexes are named after their one field and
// carry no options. fields is a ";"-list.
struct TAppIndexDef {
  std::string_view name;
  std::string_view fields;
  bool primary;
  bool unique;
  bool caseInsensitive;
};

// Pool numbers, one per table; 10 exists as a slot but is never registered.
enum TPoolIndex : int {
  piAccount = 1,
  piExtAccount = 2,
  piAlias = 3,
  piMaillist = 4,
  piCompany = 5,
  piDomain = 6,
  piMailbox = 7,
  piExtMailbox = 8,
  piDocument = 9,
};
inline constexpr int kFirstPool = 1;
inline constexpr int kLastPool = 10;  // highest slot; never registered
inline constexpr int kRegisteredPools = 9;

struct TAppTableDef {
  std::string_view fileName;
  TPoolIndex pool;
  std::span<const TAppFieldDef> fields;
  std::span<const TAppIndexDef> indexes;  // primary first, then secondaries in creation order
  std::string_view minKey;                // configuration keys of the pool size
  std::string_view maxKey;
};

// Field positions, 0-based, as the tables hold them.
namespace account {
enum : int { no, fullname, pass, description, permission, level, active, remafter, created };
}
namespace extaccount {
enum : int {
  mailserver, mailusr, mailpass, accountno, leavecopy, remafter, interval, tag, active,
  mailboxid, created
};
}
namespace alias {
enum : int { name, companyno, accountno, description, active, maillist, expandable, created };
}
namespace maillist {
enum : int { name, companyno, forwardusr, forwarddomain, fullname, description, created };
}
namespace company {
enum : int { no, name, postmaster, bounce, created };
}
namespace domain {
enum : int { companyno, name, created };
}
namespace mailbox {
enum : int { id, accountno, size, hash, lastretr, created };
}
namespace extmailbox {
enum : int { id, no, uidl, created };
}
namespace document {
enum : int {
  no, description, to, from, replyto, fromdomain, content, level, type, created, indexed,
  extfileref
};
}

// The table served by a pool (1..9); nullptr for any other number.
const TAppTableDef* TableDefForPool(int pool);
// The table with that file name (compared without regard to case); nullptr when unknown.
const TAppTableDef* TableDefByName(std::string_view fileName);
// The nine tables in the order in which missing ones are created at start.
std::span<const TAppTableDef* const> TableCreationOrder();
// The position of a named field in a table; -1 when there is none.
int FieldPosition(const TAppTableDef& table, std::string_view fieldName);

}  // namespace tovenmarsh::resources

// The plain records that the lookup controls fill and that mail, sessions and the text indexer
// pass around. Lists of them are vectors of values; the Free* disposers empty such a list.
// Default member values are what a fresh record holds before a lookup fills it.
#pragma once

#include <string>
#include <vector>

#include "platform/date_time.h"

namespace tovenmarsh::resources {

// A local account. `name` is input only (a user name a number may be taken from); a lookup
// never overwrites it.
struct TAccountRec {
  int no = 0;
  std::string name;
  std::string pass;
  std::string fullname;
  std::string description;
  int permission = 0;
  int level = 0;
  bool active = false;
  int remafter = 0;
};

// A mail name of a company: points to an account or is a mailing list.
struct TAliasRec {
  std::string name;
  int companyno = 0;
  std::string domain;
  int accountno = 0;
  std::string description;
  bool active = false;
  bool expandable = false;
  bool maillist = false;
};

struct TCompanyRec {
  int no = 0;
  std::string name;
  bool postmaster = false;
  bool bounce = false;
};

// One member of a mailing list.
struct TMaillistRec {
  std::string forwardusr;
  std::string forwarddomain;
  std::string fullname;
  std::string description;
};

// One message of a local mailbox.
struct TMailDropRec {
  std::string id;
  int size = 0;
  int hash = 0;
  bool deleted = false;
};

// An external POP3 mailbox collected for an account. nextrun is no column: the collection
// daemon keeps it in memory; lookups leave it zero.
struct TExtAccRec {
  std::string mailserver;
  std::string mailusr;
  std::string mailpass;
  int accountno = 0;
  bool leavecopy = false;
  int remafter = 0;
  int interval = 0;
  std::string tag;
  bool active = false;
  std::string mailboxid;
  platform::TDateTime nextrun = 0;
};

// A UIDL already fetched from an external mailbox. msgno (the message's number on the
// external server) is no column: the collection task sets it.
struct TExtMailDropRec {
  std::string id;
  std::string uidl;
  platform::TDateTime created = 0;
  std::string msgno;
};

using TMaillistRecs = std::vector<TMaillistRec>;
using TMailDropRecs = std::vector<TMailDropRec>;
using TExtAccRecs = std::vector<TExtAccRec>;
using TExtMailDropRecs = std::vector<TExtMailDropRec>;

inline void FreeMaillistRecs(TMaillistRecs& list) { list.clear(); }
inline void FreeMailDropRecs(TMailDropRecs& list) { list.clear(); }
inline void FreeExtAccRecs(TExtAccRecs& list) { list.clear(); }

}  // namespace tovenmarsh::resources

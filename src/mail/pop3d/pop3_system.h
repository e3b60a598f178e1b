// TPOP3System: the state of one POP3 session after login: the account, its messages (mailbox
// rows taken at login), the total size, the current message and the deletion marks. Messages
// marked for deletion lose their file and their row only at Commit (QUIT in the transaction
// state).
//
// Sizes (STAT, LIST, RETR) are the octets the client takes in for a message, as its own
// count of a retrieval gives them. A message's unique id is its mailbox file's name: unique in
// the mail folder, and the same in every session for as long as the message is kept.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/server_system.h"
#include "core/tcp_buffer.h"
#include "platform/stream.h"
#include "mail/store/mail_directory.h"
#include "mail/store/mail_folders.h"
#include "resources/record_types.h"

namespace tovenmarsh::mail {

class TPOP3System : public core::TServerSystem {
 public:
  explicit TPOP3System(int value = 0) : TServerSystem(value) {}

  // Finds the account by name (its number comes from the digits in the name) and compares
  // the password ignoring case; on success loads the message list and the total size.
  bool Login(TMailDirectory& directory, const std::string& user, const std::string& password);
  bool IsMaildropLocked() const { return false; }

  int Count() const { return static_cast<int>(messages_.size()); }
  const resources::TMailDropRecs& Messages() const { return messages_; }
  const resources::TAccountRec& Account() const { return account_; }

  // "count size": every message counts, marked or not.
  std::string StatText() const;
  // 1 <= n <= count: message n becomes current; answers whether its file exists (a message
  // whose file is missing is marked deleted). Otherwise false, the current one unchanged.
  bool SelectMessage(const TMailFolders& folders, int n);
  std::string ListLine() const;  // "n size" of the current message
  std::string UidlLine() const;  // "n id"
  std::string SizeText() const;  // "size octets"
  std::vector<std::string> ListAll();
  std::vector<std::string> UidlAll();
  // Whether the current message is marked for deletion: a client must not receive it any more.
  bool CurrentDeleted() const;
  // Marks the current message; true when it was unmarked before.
  bool MarkDeleted();
  void ResetMarks();
  // The current message's file, dot-stuffed with the end-of-data line; false when it cannot
  // be read.
  bool SendMessage(const TMailFolders& folders, core::TTCPBuffer& buffer) const;
  // The current message's file opened for reading; null when it cannot be.
  std::unique_ptr<platform::TStream> OpenMessage(const TMailFolders& folders) const;
  // The current message's header lines, the blank line after them and the first n lines of
  // its body (all of them when it has fewer), each line ending in CR LF, not yet dot-stuffed;
  // "" when its file cannot be read.
  std::string TopText(const TMailFolders& folders, int n) const;
  // Deletes the file of every marked message, then their rows.
  void Commit(const TMailFolders& folders, TMailDirectory& directory);

 private:
  long long Size(int index) const;

  resources::TAccountRec account_;
  resources::TMailDropRecs messages_;
  long long totalSize_ = 0;
  int current_ = -1;
};

}  // namespace tovenmarsh::mail

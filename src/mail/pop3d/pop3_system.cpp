// The POP3 session state over the mailbox rows and files.
#include "mail/pop3d/pop3_system.h"

#include "mail/protocol/command_lines.h"
#include "mail/store/mailbox_file.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

bool TPOP3System::Login(TMailDirectory& directory, const std::string& user, const std::string& password) {
  current_ = -1;
  resources::TAccountRec account;
  account.name = user;
  if (!directory.GetAccount(account)) return false;
  if (UpperAscii(account.pass) != UpperAscii(password)) return false;
  account_ = account;
  messages_.clear();
  directory.ListMessages(account_.no, messages_);
  totalSize_ = 0;
  for (int i = 0; i < Count(); ++i) totalSize_ += Size(i);
  return true;
}

std::string TPOP3System::StatText() const {
  return std::to_string(messages_.size()) + " " + std::to_string(totalSize_);
}

bool TPOP3System::SelectMessage(const TMailFolders& folders, int n) {
  if (n < 1 || n > Count()) return false;
  current_ = n - 1;
  resources::TMailDropRec& message = messages_[static_cast<size_t>(current_)];
  if (MailboxFileExists(folders, message.id)) return true;
  message.deleted = true;
  return false;
}

long long TPOP3System::Size(int index) const {
  return MailboxTransferSize(messages_[static_cast<size_t>(index)].size);
}

std::string TPOP3System::ListLine() const {
  return std::to_string(current_ + 1) + " " + std::to_string(Size(current_));
}

// The file's name, not a digest of its bytes: two identical messages are still two messages.
std::string TPOP3System::UidlLine() const {
  return std::to_string(current_ + 1) + " " + messages_[static_cast<size_t>(current_)].id;
}

std::string TPOP3System::SizeText() const { return std::to_string(Size(current_)) + " octets"; }

std::vector<std::string> TPOP3System::ListAll() {
  std::vector<std::string> lines;
  for (int i = 0; i < Count(); ++i) {
    current_ = i;
    lines.push_back(ListLine());
  }
  return lines;
}

std::vector<std::string> TPOP3System::UidlAll() {
  std::vector<std::string> lines;
  for (int i = 0; i < Count(); ++i) {
    current_ = i;
    lines.push_back(UidlLine());
  }
  return lines;
}

bool TPOP3System::CurrentDeleted() const {
  return current_ >= 0 && current_ < Count() && messages_[static_cast<size_t>(current_)].deleted;
}

bool TPOP3System::MarkDeleted() {
  resources::TMailDropRec& message = messages_[static_cast<size_t>(current_)];
  const bool wasUnmarked = !message.deleted;
  message.deleted = true;
  return wasUnmarked;
}

void TPOP3System::ResetMarks() {
  for (resources::TMailDropRec& message : messages_) message.deleted = false;
}

bool TPOP3System::SendMessage(const TMailFolders& folders, core::TTCPBuffer& buffer) const {
  return SendMailboxFile(folders, messages_[static_cast<size_t>(current_)].id, buffer);
}

std::unique_ptr<platform::TStream> TPOP3System::OpenMessage(const TMailFolders& folders) const {
  try {
    return std::make_unique<platform::TFileStream>(folders.MailFileName(messages_[static_cast<size_t>(current_)].id),
                                                   platform::fmOpenRead);
  } catch (const platform::Exception&) {
    return nullptr;
  }
}

std::string TPOP3System::TopText(const TMailFolders& folders, int n) const {
  std::string message = ReadMailboxFile(folders, messages_[static_cast<size_t>(current_)].id);
  if (message.empty()) return {};
  // The message as the client takes it in: the stored one lacks the last line's CR LF.
  message.append("\r\n");
  size_t start = 2;  // after the blank line ending the header lines (none: the first line)
  if (message.rfind("\r\n", 0) != 0) {
    start = message.find("\r\n\r\n");
    if (start == std::string::npos) return message;  // no body: all of it is header
    start += 4;
  }
  for (int line = 0; line < n && start < message.size(); ++line) start = message.find("\r\n", start) + 2;
  message.resize(start);
  return message;
}

void TPOP3System::Commit(const TMailFolders& folders, TMailDirectory& directory) {
  bool any = false;
  for (const resources::TMailDropRec& message : messages_) {
    if (!message.deleted) continue;
    DeleteMailboxFile(folders, message.id);
    any = true;
  }
  if (any) directory.DeleteMarked(messages_);
}

}  // namespace tovenmarsh::mail

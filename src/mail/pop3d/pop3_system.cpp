// The POP3 session state over the mailbox rows and files.
#include "mail/pop3d/pop3_system.h"

#include <algorithm>

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

namespace {

// The TOP text of a whole stored message: the stored one lacks the last line's CR LF, which
// the client takes in all the same.
std::string CutTop(std::string message, int n) {
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

}  // namespace

std::string TPOP3System::TopText(const TMailFolders& folders, int n) const {
  const std::unique_ptr<platform::TStream> file = OpenMessage(folders);
  if (!file) return {};
  // Read a piece at a time only as far as the lines asked for: the rest of a large message
  // never reaches memory. What is read up to the last of them is cut exactly as the whole
  // message would be; a message that ends first is cut whole.
  std::string message;
  std::string piece(64 * 1024, '\0');
  size_t bodyStart = std::string::npos;
  size_t cut = 0;   // after the last body line counted
  size_t from = 0;  // where the next search goes on (a CR LF may straddle two pieces)
  int lines = 0;
  for (;;) {
    size_t got = 0;
    try {
      got = file->Read(piece.data(), piece.size());
    } catch (const platform::Exception&) {
      return {};
    }
    if (got == 0) break;
    message.append(piece.data(), got);
    if (bodyStart == std::string::npos) {
      if (message.size() < 2) continue;
      if (message.compare(0, 2, "\r\n") == 0) {
        bodyStart = 2;
      } else {
        const size_t blank = message.find("\r\n\r\n", from);
        if (blank == std::string::npos) {
          from = message.size() - std::min<size_t>(message.size(), 3);
          continue;
        }
        bodyStart = blank + 4;
      }
      cut = from = bodyStart;
    }
    while (lines < n) {
      const size_t end = message.find("\r\n", from);
      if (end == std::string::npos) break;
      cut = from = end + 2;
      ++lines;
    }
    if (lines >= n) {
      message.resize(cut);
      return message;
    }
    from = std::max(cut, message.size() - 1);
  }
  if (message.empty()) return {};
  return CutTop(std::move(message), n);
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

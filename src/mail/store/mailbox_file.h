// Mailbox files: one file per delivered message and recipient account in the mail folder,
// named by a MakeUniqueId(0) text. A mailbox file is the Return-Path line of the entry's
// reverse path followed by the queue file's message part, byte for byte; its mailbox row holds
// the file name, its length and the CRC-32 of the whole file (the POP3 unique id).
//
// Contract: DeliverToMailbox returns only once the file is complete and on disk (the queue file
// is deleted after delivery, so nothing may be lost between the two). With TDurability::ByCaller
// the file is complete but on disk only once the caller has flushed it (SyncFiles) and the mail
// folder (SyncFolder).
#pragma once

#include <string>

#include "core/tcp_buffer.h"
#include "mail/store/mail_folders.h"
#include "mail/store/queue_file.h"
#include "resources/record_types.h"

namespace tovenmarsh::mail {

// Writes a new mailbox file for the entry from its queue file and fills id, size and hash.
// Raises on failure (no file is left behind then).
void DeliverToMailbox(const TMailFolders& folders, const TQueueRec& entry, resources::TMailDropRec& record,
                      TDurability sync = TDurability::Now);
// Writes the mailbox file for the entry straight under the name id in the mail folder, the
// queue file's message part streamed through in pieces (memory stays small whatever the
// message's size), and fills the record. With flushFile the file's bytes are flushed before it
// is closed (a failed flush raises); either way the caller flushes the folder, and the file
// too when it was not flushed here, before any row names it. Answers false (nothing written)
// when a file of that name exists. Raises on failure and removes what it wrote. Until its row
// is added the file is an orphan that only its name, recorded beforehand by the caller, can
// find after a crash. Touches nothing shared: several may run at once.
bool DeliverToMailboxAs(const TMailFolders& folders, const TQueueRec& entry, const std::string& id,
                        resources::TMailDropRec& record, bool flushFile = false);
// The same from a message part already in memory.
void DeliverMessageToMailbox(const TMailFolders& folders, const std::string& reversePath, const std::string& message,
                             resources::TMailDropRec& record, TDurability sync = TDurability::Now);
// Appends the whole mailbox file dot-stuffed with the end-of-data line; false when it cannot
// be read.
bool SendMailboxFile(const TMailFolders& folders, const std::string& name, core::TTCPBuffer& buffer);
// The octets a client takes in for a mailbox file of fileSize bytes, dot-stuffing undone and
// the end-of-data line not counted: a stored message lacks the CR LF that ends its last line,
// which SendMailboxFile puts back; an empty file is the end-of-data line alone.
long long MailboxTransferSize(long long fileSize);
// The whole mailbox file ("" when it cannot be read).
std::string ReadMailboxFile(const TMailFolders& folders, const std::string& name);
bool DeleteMailboxFile(const TMailFolders& folders, const std::string& name);
bool MailboxFileExists(const TMailFolders& folders, const std::string& name);

}  // namespace tovenmarsh::mail

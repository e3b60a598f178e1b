#include "support/mail_fakes.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/log.h"
#include "core/manager_thread.h"
#include "core/sockets.h"
#include "platform/date_time.h"

namespace tovenmarsh::mail::testing {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void TFakeDirectoryData::AddDomain(const std::string& domain, int companyNo) { domains[Lower(domain)] = companyNo; }

void TFakeDirectoryData::AddCompany(int no, bool postmaster, bool bounce) {
  resources::TCompanyRec company;
  company.no = no;
  company.name = "company" + std::to_string(no);
  company.postmaster = postmaster;
  company.bounce = bounce;
  companies.push_back(company);
}

void TFakeDirectoryData::AddAlias(const std::string& name, int companyNo, const std::string& domain, int accountNo,
                                  const std::string& description, bool maillist) {
  resources::TAliasRec alias;
  alias.name = name;
  alias.companyno = companyNo;
  alias.domain = domain;
  alias.accountno = accountNo;
  alias.description = description;
  alias.active = true;
  alias.expandable = maillist;
  alias.maillist = maillist;
  aliases.push_back(alias);
}

void TFakeDirectoryData::AddListMember(int companyNo, const std::string& list, const std::string& user,
                                       const std::string& domain, const std::string& fullname) {
  resources::TMaillistRec member;
  member.forwardusr = user;
  member.forwarddomain = domain;
  member.fullname = fullname;
  lists[std::to_string(companyNo) + "/" + Lower(list)].push_back(member);
}

void TFakeDirectoryData::AddAccount(int no, const std::string& name, const std::string& pass) {
  resources::TAccountRec account;
  account.no = no;
  account.name = name;
  account.pass = pass;
  account.active = true;
  accounts.push_back(account);
}

int TFakeDirectory::FindAlias(resources::TAliasRec& rec) {
  std::lock_guard<std::mutex> guard(data_.lock);
  if (!rec.domain.empty()) {
    const auto domain = data_.domains.find(Lower(rec.domain));
    if (domain == data_.domains.end()) return 0;
    rec.companyno = domain->second;
  }
  std::vector<const resources::TAliasRec*> found;
  for (const resources::TAliasRec& alias : data_.aliases) {
    if (Lower(alias.name) != Lower(rec.name)) continue;
    if (rec.companyno != 0 && alias.companyno != rec.companyno) continue;
    found.push_back(&alias);
  }
  if (found.size() > 1) return -1;
  if (found.empty()) return 0;
  rec = *found.front();
  return 1;
}

int TFakeDirectory::GetListMembers(const resources::TAliasRec& rec, resources::TMaillistRecs& list) {
  std::lock_guard<std::mutex> guard(data_.lock);
  const auto members = data_.lists.find(std::to_string(rec.companyno) + "/" + Lower(rec.name));
  if (members == data_.lists.end()) return 0;
  list.insert(list.end(), members->second.begin(), members->second.end());
  return static_cast<int>(members->second.size());
}

bool TFakeDirectory::GetCompany(resources::TCompanyRec& rec) {
  std::lock_guard<std::mutex> guard(data_.lock);
  for (const resources::TCompanyRec& company : data_.companies) {
    if (company.no == rec.no) {
      rec = company;
      return true;
    }
  }
  return false;
}

bool TFakeDirectory::GetAccount(resources::TAccountRec& rec) {
  std::lock_guard<std::mutex> guard(data_.lock);
  int no = rec.no;
  if (no == 0) {
    const size_t digit = rec.name.find_first_of("0123456789");
    if (digit == std::string::npos) return false;
    const size_t end = rec.name.find_first_not_of("0123456789", digit);
    no = std::stoi(rec.name.substr(digit, end == std::string::npos ? std::string::npos : end - digit));
  }
  for (const resources::TAccountRec& account : data_.accounts) {
    if (account.no == no) {
      const std::string name = rec.name;
      rec = account;
      rec.name = name;
      return true;
    }
  }
  return false;
}

int TFakeDirectory::ListMessages(int accountNo, resources::TMailDropRecs& list) {
  std::lock_guard<std::mutex> guard(data_.lock);
  if (data_.failMailbox) throw std::runtime_error("mailbox table failed");
  int total = 0;
  for (const TFakeMailboxRow& row : data_.mailbox) {
    if (row.accountNo != accountNo) continue;
    resources::TMailDropRec rec;
    rec.id = row.id;
    rec.size = row.size;
    rec.hash = row.hash;
    list.push_back(rec);
    total += row.size;
  }
  return total;
}

bool TFakeDirectory::DeleteMarked(const resources::TMailDropRecs& list) {
  std::lock_guard<std::mutex> guard(data_.lock);
  if (data_.failMailbox) throw std::runtime_error("mailbox table failed");
  for (const resources::TMailDropRec& rec : list) {
    if (!rec.deleted) continue;
    data_.mailbox.erase(std::remove_if(data_.mailbox.begin(), data_.mailbox.end(),
                                       [&](const TFakeMailboxRow& row) { return row.id == rec.id; }),
                        data_.mailbox.end());
  }
  return true;
}

int TFakeDirectory::AddMessage(int accountNo, const resources::TMailDropRec& rec) {
  std::lock_guard<std::mutex> guard(data_.lock);
  if (data_.failMailbox) throw std::runtime_error("mailbox table failed");
  data_.mailbox.push_back(TFakeMailboxRow{rec.id, accountNo, rec.size, rec.hash});
  return 1;
}

bool TFakeDirectory::HasMessage(const std::string& id) {
  std::lock_guard<std::mutex> guard(data_.lock);
  if (data_.failMailbox) throw std::runtime_error("mailbox table failed");
  for (const TFakeMailboxRow& row : data_.mailbox) {
    if (row.id == id) return true;
  }
  return false;
}

TMailTempFolder::TMailTempFolder() {
  static std::atomic<int> counter{0};
  path_ = (std::filesystem::temp_directory_path() /
           ("tovenmarsh_mail_" + std::to_string(getpid()) + "_" + std::to_string(counter++)))
              .string() +
          "/";
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TMailTempFolder::~TMailTempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void MailFixture::SetUp() {
  ASSERT_TRUE(core::OpenLog(temp.Path() + "mail.log"));
  core::StartSockets();
  folders = MailFoldersBelow(temp.Path() + "root");
}

void MailFixture::TearDown() {
  core::StopSockets();
  core::CloseLog();
}

void MailFixture::AddLocalJoe() {
  directory.AddCompany(1, false, true);
  directory.AddDomain("local.test", 1);
  directory.AddAlias("joe", 1, "local.test", 1);
  directory.AddAccount(1, "joe", "Secret");
}

void MailFixture::AddJoeAndPostmaster() {
  directory.AddCompany(1, true, true);
  directory.AddDomain("local.test", 1);
  directory.AddAccount(1, "joe1", "secret");
  directory.AddAccount(2, "pm2", "secret");
  directory.AddAlias("joe", 1, "local.test", 1, "Joe");
  directory.AddAlias("postmaster", 1, "local.test", 2, "Postmaster");
}

TQueueEnvironment MailFixture::QueueEnvironment(const TMailFolders& where, TDocumentStore& documents,
                                                TRelayList& relay) {
  const TMailEnvironment mail = Environment();
  TQueueEnvironment environment;
  environment.folders = where;
  environment.hostName = mail.hostName;
  environment.now = [] { return platform::EncodeDate(2026, 12, 9) + 0.5; };
  environment.openDirectory = mail.openDirectory;
  environment.documents = &documents;
  environment.relayList = &relay;
  return environment;
}

std::map<int, int> MailFixture::Deliveries() const {
  std::map<int, int> count;
  for (const TFakeMailboxRow& row : directory.mailbox) ++count[row.accountNo];
  return count;
}

TMailEnvironment MailFixture::Environment() {
  TMailEnvironment environment;
  environment.folders = folders;
  environment.hostName = "mx.test";
  environment.productName = "tovenmarsh";
  environment.now = [] { return platform::EncodeDate(2026, 12, 9) + 0.5; };
  environment.openDirectory = [this] {
    ++directory.opened;
    return std::unique_ptr<TMailDirectory>(std::make_unique<TFakeDirectory>(directory));
  };
  environment.wakeQueue = [this] { ++wakes; };
  environment.limits = limits;
  return environment;
}

}  // namespace tovenmarsh::mail::testing

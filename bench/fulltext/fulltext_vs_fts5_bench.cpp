// The full-text engine (documents table + words.dat) against SQLite FTS5 over the same generated
// mail-like documents: index build time, index size on disk and query latency for single words,
// AND, phrases and prefixes. The sides take turns; every figure is the median over the runs
// with its range, and the ratio ours / FTS5.
//
//   bench_fulltext_fulltext_vs_fts5 [--docs 100000] [--runs 3] [--dir /var/tmp]
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dataset/fen_table.h"
#include "fulltext/tx_make.h"
#include "fulltext/tx_ranking.h"
#include "fulltext/tx_text_links.h"
#include "fulltext/tx_words_links.h"
#include "fulltext/word_cache.h"

using namespace tovenmarsh;
using namespace tovenmarsh::fulltext;
namespace fs = std::filesystem;

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Doc {
  std::string subject, body;
};

// Synthetic words with a skewed (Zipf-like) frequency, like the words of real mail.
struct Corpus {
  std::vector<std::string> words;
  std::vector<Doc> docs;
  explicit Corpus(int count) {
    std::mt19937 rng(42);
    static const char* const kSyllables[] = {"ba", "ke", "lo", "mi", "nu", "ra", "se", "ti", "vo", "za", "qu", "an",
                                             "el", "or", "ust", "ing", "pre", "con", "ex", "tra", "mon", "der"};
    std::vector<std::string> taken;
    while (words.size() < 20000) {
      std::string w;
      const int parts = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < parts; ++i) w += kSyllables[rng() % std::size(kSyllables)];
      words.push_back(w);
    }
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    std::shuffle(words.begin(), words.end(), rng);
    docs.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      Doc d;
      d.subject = Text(rng, 3 + static_cast<int>(rng() % 6));
      d.body = Text(rng, 30 + static_cast<int>(rng() % 170));
      docs.push_back(std::move(d));
    }
  }
  const std::string& Pick(std::mt19937& rng) const {
    const double u = std::uniform_real_distribution<double>(0, 1)(rng);
    return words[static_cast<size_t>(u * u * u * u * static_cast<double>(words.size())) % words.size()];
  }
  std::string Text(std::mt19937& rng, int count) const {
    std::string text;
    for (int i = 0; i < count; ++i) {
      if (!text.empty()) text += (rng() % 9 == 0) ? ", " : " ";
      text += Pick(rng);
    }
    return text;
  }
};

uint64_t FolderSize(const std::string& folder) {
  uint64_t total = 0;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.is_regular_file()) total += e.file_size();
  return total;
}

class Ours {
 public:
  explicit Ours(std::string folder) : folder_(std::move(folder)) {}
  ~Ours() { Close(); }
  // Returns the seconds spent loading the documents (the rest is the index build).
  double Build(const Corpus& corpus) {
    const double start = Now();
    MakeTables();
    dataset::TFenTable& docs = *docs_;
    docs.FieldDefs().Add("no", dataset::ftInteger, 0, true);
    docs.FieldDefs().Add("subject", dataset::ftString, 200);
    docs.FieldDefs().Add("body", dataset::ftMemo);
    docs.IndexDefs().Add("", "no", dataset::ixPrimary | dataset::ixUnique);
    docs.CreateTable();
    docs.Open();
    MakeLinks();
    int no = 1;
    for (const Doc& d : corpus.docs) {
      docs.Append();
      docs.FieldByName("no").SetAsInteger(no++);
      docs.FieldByName("subject").SetAsString(d.subject);
      docs.FieldByName("body").SetAsString(d.body);
      docs.Post();
    }
    // The build reads the documents through a second cursor of its own, which an exclusive
    // table refuses: the documents are loaded exclusively (cached writes) and indexed shared.
    Close();
    const double loaded = Now() - start;
    MakeTables(false);
    MakeLinks();
    TtxMake make;
    make.SetTextLink(text_.get());
    make.SetWordsLink(words_.get());
    make.SetCache(&cache_);
    make.Execute();
    Close();
    return loaded;
  }
  void Open() {
    MakeTables(false);
    docs_->Open();
    MakeLinks();
  }
  size_t Run(const std::string& query, TSearchLogic logic) {
    TtxSearch search;
    search.SetTextLink(text_.get());
    search.SetWordsLink(words_.get());
    search.SearchFor = query;
    search.SearchLogic = logic;
    search.Execute();
    std::vector<int32_t> values;
    search.GetIndexValues(values);
    return values.size();
  }
  void Close() {
    text_.reset();
    words_.reset();
    if (docs_ && docs_->Active()) docs_->Close();
    if (wordsTable_ && wordsTable_->Active()) wordsTable_->Close();
  }

 private:
  void MakeTables(bool exclusiveDocs = true) {
    docs_ = std::make_unique<dataset::TFenTable>();
    docs_->SetTableName(folder_ + "docs");
    docs_->SetExclusive(exclusiveDocs);
    wordsTable_ = std::make_unique<dataset::TFenTable>();
    wordsTable_->SetTableName(folder_ + "words.dat");
    wordsTable_->SetExclusive(true);
  }
  // The text link reads the documents table's fields, so it follows the table.
  void MakeLinks() {
    text_ = std::make_unique<TtxTextFenLink>();
    text_->SetFenTable(docs_.get());
    text_->SetFieldNames({"subject", "body"});
    text_->SetIndexFieldName("no");
    words_ = std::make_unique<TtxWordsFenLink>();
    words_->SetFenTable(wordsTable_.get());
  }
  std::string folder_;
  std::unique_ptr<dataset::TFenTable> docs_, wordsTable_;
  std::unique_ptr<TtxTextFenLink> text_;
  std::unique_ptr<TtxCustomWordsFenLink> words_;
  TtxCache cache_;
};

class Fts5 {
 public:
  explicit Fts5(const std::string& file) {
    if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("sqlite open");
  }
  ~Fts5() { sqlite3_close(db_); }
  void Build(const Corpus& corpus) {
    Exec("CREATE VIRTUAL TABLE docs USING fts5(subject, body)");
    Exec("BEGIN");
    sqlite3_stmt* st = Prepare("INSERT INTO docs(rowid, subject, body) VALUES (?, ?, ?)");
    int no = 1;
    for (const Doc& d : corpus.docs) {
      sqlite3_reset(st);
      sqlite3_bind_int(st, 1, no++);
      sqlite3_bind_text(st, 2, d.subject.c_str(), static_cast<int>(d.subject.size()), SQLITE_STATIC);
      sqlite3_bind_text(st, 3, d.body.c_str(), static_cast<int>(d.body.size()), SQLITE_STATIC);
      if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
    }
    sqlite3_finalize(st);
    Exec("COMMIT");
  }
  size_t Run(const std::string& match) {
    if (!query_) query_ = Prepare("SELECT rowid FROM docs WHERE docs MATCH ?");
    sqlite3_reset(query_);
    sqlite3_bind_text(query_, 1, match.c_str(), static_cast<int>(match.size()), SQLITE_TRANSIENT);
    size_t n = 0;
    while (sqlite3_step(query_) == SQLITE_ROW) ++n;
    return n;
  }
  void Close() {
    if (query_) sqlite3_finalize(query_);
    query_ = nullptr;
  }

 private:
  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
    return st;
  }
  sqlite3* db_ = nullptr;
  sqlite3_stmt* query_ = nullptr;
};

struct QuerySet {
  std::string name;
  TSearchLogic logic;
  std::vector<std::string> ours, fts;
};

std::vector<QuerySet> MakeQueries(const Corpus& corpus) {
  std::mt19937 rng(7);
  std::vector<QuerySet> sets = {{"single word", slAnd, {}, {}}, {"AND of two", slAnd, {}, {}},
                                {"phrase of two", slPhrase, {}, {}}, {"prefix*", slAnd, {}, {}}};
  for (int i = 0; i < 50; ++i) {
    const std::string a = corpus.Pick(rng), b = corpus.Pick(rng);
    sets[0].ours.push_back(a);
    sets[0].fts.push_back(a);
    sets[1].ours.push_back(a + " " + b);
    sets[1].fts.push_back(a + " AND " + b);
    // A phrase that occurs: two adjacent words of some body.
    const std::string& body = corpus.docs[rng() % corpus.docs.size()].body;
    const size_t space = body.find(' ', body.size() / 2);
    const size_t start = body.rfind(' ', space - 1);
    const size_t end = body.find(' ', space + 1);
    std::string pair = body.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    pair.erase(std::remove(pair.begin(), pair.end(), ','), pair.end());
    sets[2].ours.push_back(pair);
    sets[2].fts.push_back("\"" + pair + "\"");
    const std::string prefix = corpus.Pick(rng).substr(0, 3) + "*";
    sets[3].ours.push_back(prefix);
    sets[3].fts.push_back(prefix);
  }
  return sets;
}

struct Stat {
  std::vector<double> values;
  double Median() const {
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
  }
  double Min() const { return *std::min_element(values.begin(), values.end()); }
  double Max() const { return *std::max_element(values.begin(), values.end()); }
};

void Print(const char* what, const char* unit, const Stat& ours, const Stat& fts) {
  std::printf("%-26s ours %10.3f [%.3f-%.3f] %-3s  fts5 %10.3f [%.3f-%.3f] %-3s  ours/fts5 %.2f\n", what, ours.Median(),
              ours.Min(), ours.Max(), unit, fts.Median(), fts.Min(), fts.Max(), unit,
              fts.Median() > 0 ? ours.Median() / fts.Median() : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  int docs = 100000, runs = 3;
  std::string dir = "/var/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--docs") == 0) docs = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
    else {
      std::fprintf(stderr, "usage: %s [--docs N] [--runs R] [--dir FOLDER]\n", argv[0]);
      return 2;
    }
  }
  double load[3] = {};
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(f);
  }
  std::printf("full-text engine vs SQLite %s FTS5: %d documents, %d runs, load average %.2f\n", sqlite3_libversion(),
              docs, runs, load[0]);
  const Corpus corpus(docs);
  const std::vector<QuerySet> sets = MakeQueries(corpus);
  std::string base = dir + "/ftsbenchXXXXXX";
  if (mkdtemp(base.data()) == nullptr) throw std::runtime_error("no scratch folder in " + dir);
  Stat loadOurs, buildOurs, buildFts, sizeOurs, sizeFts;
  std::vector<Stat> qOurs(sets.size()), qFts(sets.size());
  std::vector<size_t> hitsOurs(sets.size()), hitsFts(sets.size());
  for (int run = 0; run < runs; ++run) {
    const std::string oursFolder = base + "/ours" + std::to_string(run) + "/";
    const std::string ftsFile = base + "/fts" + std::to_string(run) + ".db";
    fs::create_directories(oursFolder);
    auto buildOursSide = [&] {
      Ours ours(oursFolder);
      const double t = Now();
      loadOurs.values.push_back(ours.Build(corpus));
      buildOurs.values.push_back(Now() - t);
      sizeOurs.values.push_back(static_cast<double>(FolderSize(oursFolder)) / 1048576.0);
    };
    auto buildFtsSide = [&] {
      Fts5 fts(ftsFile);
      const double t = Now();
      fts.Build(corpus);
      buildFts.values.push_back(Now() - t);
      sizeFts.values.push_back(static_cast<double>(fs::file_size(ftsFile)) / 1048576.0);
    };
    if (run % 2 == 0) {
      buildOursSide();
      buildFtsSide();
    } else {
      buildFtsSide();
      buildOursSide();
    }
    Ours ours(oursFolder);
    ours.Open();
    Fts5 fts(ftsFile);
    for (size_t s = 0; s < sets.size(); ++s) {
      auto runOurs = [&] {
        const double t = Now();
        size_t hits = 0;
        for (const std::string& q : sets[s].ours) hits += ours.Run(q, sets[s].logic);
        qOurs[s].values.push_back((Now() - t) * 1000.0 / static_cast<double>(sets[s].ours.size()));
        hitsOurs[s] = hits;
      };
      auto runFts = [&] {
        const double t = Now();
        size_t hits = 0;
        for (const std::string& q : sets[s].fts) hits += fts.Run(q);
        qFts[s].values.push_back((Now() - t) * 1000.0 / static_cast<double>(sets[s].fts.size()));
        hitsFts[s] = hits;
      };
      if ((run + static_cast<int>(s)) % 2 == 0) {
        runOurs();
        runFts();
      } else {
        runFts();
        runOurs();
      }
    }
    fts.Close();
    ours.Close();
    std::fprintf(stderr, "run %d done\n", run + 1);
  }
  Print("load + index build", "s", buildOurs, buildFts);
  std::printf("%-26s ours: %.3f s [%.3f-%.3f] of it loading the documents table\n", "", loadOurs.Median(), loadOurs.Min(),
              loadOurs.Max());
  Print("size on disk", "MiB", sizeOurs, sizeFts);
  for (size_t s = 0; s < sets.size(); ++s) {
    Print((sets[s].name + " (per query)").c_str(), "ms", qOurs[s], qFts[s]);
    std::printf("%-26s hits ours %zu, fts5 %zu%s\n", "", hitsOurs[s], hitsFts[s],
                hitsOurs[s] == hitsFts[s] ? "" : "  (differ)");
  }
  std::error_code ignored;
  fs::remove_all(base, ignored);
  return 0;
}

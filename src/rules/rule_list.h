#pragma once
// The five rule lists. The user-interface side owns a RuleList and edits
// it; every edit publishes a new immutable snapshot, and worker threads take
// the snapshot current at the start of a request. A request therefore sees
// each row before or after an edit, never half-changed, and a row's compiled
// pattern lives as long as any snapshot holds the row.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/snapshot.h"
#include "rules/list_file_state.h"
#include "rules/regex.h"

namespace vs {

// In the order of the list pages.
enum class ListKind { Black = 0, Cache = 1, NoReq = 2, OnlyFromCache = 3, UrlConverter = 4 };

// What a rule the engine cannot decide for a subject (a runaway pattern on
// a long URL) does: a refusal list refuses, since otherwise padding a URL
// would pass any such rule; other lists pass it by.
enum class UndecidedRule { Skipped, Fires };

struct ListInfo {
    ListKind kind;
    std::string_view fileName;  // "black.lst", ...
    int columnCount;            // 4, or 7 for the URL converter
    int hitColumn;              // 3, or 6 for the URL converter
    UndecidedRule undecided;    // Fires for the black list
};
const ListInfo& InfoOf(ListKind kind);
// The order lists are loaded in at start-up: cache, black, noreq,
// onlyfromcache, URL converter.
inline constexpr ListKind kLoadOrder[] = {ListKind::Cache, ListKind::Black, ListKind::NoReq,
                                          ListKind::OnlyFromCache, ListKind::UrlConverter};

// The editable cells of a row. Texts are UTF-8 (the list files are UTF-16);
// the pattern is compiled from the rule converted to the 8-bit code page.
struct RuleCells {
    bool enable = false;
    std::string rule;
    std::string repl;      // URL converter only
    bool replAll = false;  // URL converter only
    bool need = false;     // URL converter only
    std::int64_t hits = 0;
    bool operator==(const RuleCells&) const = default;
};

// One published row. Everything but the hit count is fixed once published;
// the hit count is written only by the thread that drains the monitor queue.
// A row keeps its identity through edits of its cells, so a hit queued
// before an edit lands on the same row afterwards, wherever it then stands,
// and on no row once it was deleted.
class RuleRow {
public:
    using Id = std::uint64_t;
    // A row with an identity of its own.
    explicit RuleRow(RuleCells cells);
    // The row `id` with new cells.
    RuleRow(RuleCells cells, Id id);
    Id Identity() const { return id_; }
    const RuleCells& Cells() const { return cells_; }
    // Null when the pattern did not compile (or is empty): the row then
    // never matches, and Error() says why.
    const std::shared_ptr<const Pattern>& CompiledPattern() const { return pattern_; }
    const std::string& Error() const { return error_; }
    std::int64_t Hits() const { return hits_.load(std::memory_order_relaxed); }
    void SetHits(std::int64_t hits) const { hits_.store(hits, std::memory_order_relaxed); }

private:
    RuleCells cells_;
    Id id_;
    std::shared_ptr<const Pattern> pattern_;
    std::string error_;
    mutable std::atomic<std::int64_t> hits_;
};

struct RuleListSnapshot {
    std::vector<std::shared_ptr<const RuleRow>> rows;
};

// Whether the matcher gives up on the row's pattern for a plain URL of
// ordinary length (nested repeats such as "(\w+)*", which run away on a
// long host label or file name) in a list that refuses what it cannot
// decide: the rule then refuses pages it does not name.
bool RefusesWhatItDoesNotName(const ListInfo& info, const RuleRow& row);
// What the user is told of such a rule in a refusal list.
inline constexpr std::string_view kGivesUpWarning =
    "проверка правила не успевает завершиться на длинных адресах (вложенные повторы, как в "
    "\"(\\w+)*\"), и оно запрещает и те адреса, которых не называет";

// Index of the first enabled row whose pattern matches subject, or -1.
int FindRule(const RuleListSnapshot& list, std::string_view subject,
             UndecidedRule undecided = UndecidedRule::Skipped);

class RuleList {
public:
    explicit RuleList(ListKind kind);
    ListKind Kind() const { return kind_; }
    const ListInfo& Info() const { return InfoOf(kind_); }

    // What a worker uses for one request.
    std::shared_ptr<const RuleListSnapshot> Snapshot() const { return published_.Get(); }

    // The rest is for the user-interface thread.
    std::size_t Count() const;
    RuleCells Row(std::size_t index) const;  // hit count included
    void Append(RuleCells cells);
    void Insert(std::size_t index, RuleCells cells);
    // Many rows at once (a pasted list), published once.
    void Insert(std::size_t index, std::vector<RuleCells> cells);
    // New cells for a row; its hit count stays what the proxy counted.
    void Update(std::size_t index, RuleCells cells);
    void Delete(std::size_t index);
    void Clear();
    // Hits from the monitor queue for the row of that identity; a row no
    // longer in the list gets none.
    void AddHits(RuleRow::Id row, std::int64_t hits);
    void ResetHits();

    // Replaces the rows with the file's. A missing or unreadable file gives
    // an empty list; an error inside the file stops reading there and keeps
    // the rows read so far. Returns false when reading stopped early.
    bool Load(const std::filesystem::path& file);
    // Writes the grid text file whole or not at all. Throws on failure.
    // Says whether and why the file held what the rows do not (changed
    // elsewhere, read in part) and was kept as "<file>.old" first.
    OtherVersionKept Save(const std::filesystem::path& file);
    // The file as last read or written, and whether the rows were edited
    // since (hits counted by the proxy are no edit; resetting them is).
    const ListFileState& FileState() const { return fileState_; }

private:
    // Every change of the rows but a load is the user's edit.
    void Publish(std::vector<std::shared_ptr<const RuleRow>> rows);

    ListKind kind_;
    vs::Snapshot<RuleListSnapshot> published_;
    ListFileState fileState_;
};

}  // namespace vs

#include "rules/rule_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <stdexcept>
#include <utility>

#include "base/atomic_file.h"
#include "base/cp1251.h"
#include "rules/grid_text.h"

namespace vs {
namespace {

constexpr ListInfo kInfos[] = {
    {ListKind::Black, "black.lst", 4, 3, UndecidedRule::Fires},
    {ListKind::Cache, "cache.lst", 4, 3, UndecidedRule::Skipped},
    {ListKind::NoReq, "noreq.lst", 4, 3, UndecidedRule::Skipped},
    {ListKind::OnlyFromCache, "onlyfromcache.lst", 4, 3, UndecidedRule::Skipped},
    {ListKind::UrlConverter, "URLF.lst", 7, 6, UndecidedRule::Skipped},
};

// Column numbers of the list files; the row number (column 0) is written
// but never read.
namespace col {
constexpr int kEnable = 1;
constexpr int kRule = 2;
constexpr int kRepl = 3;
constexpr int kReplAll = 4;
constexpr int kNeed = 5;
}  // namespace col

class RuleSink : public GridSink {
public:
    explicit RuleSink(const ListInfo& info) : info_(info) {}

    void AtLine(std::size_t line) override { line_ = line; }
    void BeginRow() override {
        rows_.emplace_back();
        lines_.push_back(line_);
    }
    void DropRow() override {
        rows_.pop_back();
        lines_.pop_back();
    }
    bool RowsHaveSeparators() const override { return true; }

    void Field(int column, std::string text) override {
        if (column >= info_.columnCount) {
            throw GridReadError("a row of " + std::string(info_.fileName) + " has more than " +
                                std::to_string(info_.columnCount) + " fields");
        }
        RuleCells& cells = rows_.back();
        if (column == 0) {
            CheckRowNumberCell(text);
        } else if (column == info_.hitColumn) {
            cells.hits = CountFromCellText(text);
        } else if (column == col::kEnable) {
            cells.enable = BoolFromCellText(text);
        } else if (column == col::kRule) {
            cells.rule = std::move(text);
        } else if (info_.kind == ListKind::UrlConverter) {
            if (column == col::kRepl) {
                cells.repl = std::move(text);
            } else if (column == col::kReplAll) {
                cells.replAll = BoolFromCellText(text);
            } else if (column == col::kNeed) {
                cells.need = BoolFromCellText(text);
            }
        }
    }

    std::vector<RuleCells>& Rows() { return rows_; }
    std::vector<std::size_t>& Lines() { return lines_; }

private:
    const ListInfo& info_;
    std::vector<RuleCells> rows_;
    std::vector<std::size_t> lines_;
    std::size_t line_ = 0;
};

std::string Repeated(std::string_view part, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text.append(part);
    }
    return text;
}

std::vector<std::string> FileFields(const ListInfo& info, std::size_t position,
                                    const RuleRow& row) {
    const RuleCells& cells = row.Cells();
    std::vector<std::string> fields;
    fields.reserve(static_cast<std::size_t>(info.columnCount));
    fields.push_back(std::to_string(position + 1));
    fields.push_back(BoolCellText(cells.enable));
    fields.push_back(cells.rule);
    if (info.kind == ListKind::UrlConverter) {
        fields.push_back(cells.repl);
        fields.push_back(BoolCellText(cells.replAll));
        fields.push_back(BoolCellText(cells.need));
    }
    fields.push_back(CountCellText(row.Hits()));
    return fields;
}

}  // namespace

const ListInfo& InfoOf(ListKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    if (index >= std::size(kInfos)) {
        throw std::out_of_range("unknown rule list");
    }
    return kInfos[index];
}

namespace {
std::atomic<RuleRow::Id> nextRowId{1};
}  // namespace

RuleRow::RuleRow(RuleCells cells) : RuleRow(std::move(cells), nextRowId.fetch_add(1)) {}

RuleRow::RuleRow(RuleCells cells, Id id) : cells_(std::move(cells)), id_(id), hits_(cells_.hits) {
    // A character the code page lacks can be in no URL the rule sees; as
    // the '?' a lossy conversion makes of it, it would turn the character
    // before it optional and the rule would match what it never named.
    const std::optional<std::string> pattern = cp1251::FromUtf8Exactly(cells_.rule);
    if (!pattern) {
        error_ = cp1251::FromUtf8("В правиле есть символы, которых нет в кодировке Windows-1251");
        return;
    }
    // Rules are case-sensitive and single-line: the URLs they see are
    // lower-cased already where that matters.
    try {
        pattern_ = Pattern::Compile(*pattern);
    } catch (const RegexError& e) {
        error_ = e.what();
    }
}

bool RefusesWhatItDoesNotName(const ListInfo& info, const RuleRow& row) {
    if (info.undecided != UndecidedRule::Fires || !row.CompiledPattern()) {
        return false;
    }
    const Pattern& pattern = *row.CompiledPattern();
    // A long host label, hash-named file or number, and many short parts
    // between dots, slashes and dashes: the runs nested repeats split every
    // way.
    // Each ends in every printable character, or the engine would see at
    // once that a letter the pattern needs is missing, and never start.
    static const std::string kTail = [] {
        std::string tail;
        for (char c = '!'; c <= '~'; ++c) {
            tail += c;
        }
        return tail;
    }();
    static const std::string kUrls[] = {std::string(60, 'a') + kTail, std::string(60, '1') + kTail,
                                        Repeated("a.", 30) + kTail,   Repeated("1.", 30) + kTail,
                                        Repeated("a/", 30) + kTail,   Repeated("a-", 30) + kTail};
    return std::any_of(std::begin(kUrls), std::end(kUrls), [&pattern](const std::string& url) {
        return pattern.Decide(url) == Pattern::Outcome::Undecided;
    });
}

int FindRule(const RuleListSnapshot& list, std::string_view subject, UndecidedRule undecided) {
    for (std::size_t i = 0; i < list.rows.size(); ++i) {
        const RuleRow& row = *list.rows[i];
        if (!row.Cells().enable || !row.CompiledPattern()) {
            continue;
        }
        try {
            const Pattern::Outcome outcome = row.CompiledPattern()->Decide(subject);
            if (outcome == Pattern::Outcome::Match ||
                (outcome == Pattern::Outcome::Undecided && undecided == UndecidedRule::Fires)) {
                return static_cast<int>(i);
            }
        } catch (const std::exception&) {
            // A rule that cannot be used must not stop the rules after it.
        }
    }
    return -1;
}

RuleList::RuleList(ListKind kind) : kind_(kind) {
    InfoOf(kind);  // rejects a kind outside the enumeration up front
}

std::size_t RuleList::Count() const {
    return Snapshot()->rows.size();
}

RuleCells RuleList::Row(std::size_t index) const {
    const auto snapshot = Snapshot();
    const RuleRow& row = *snapshot->rows.at(index);
    RuleCells cells = row.Cells();
    cells.hits = row.Hits();
    return cells;
}

void RuleList::Append(RuleCells cells) {
    auto rows = Snapshot()->rows;
    rows.push_back(std::make_shared<const RuleRow>(std::move(cells)));
    Publish(std::move(rows));
}

void RuleList::Insert(std::size_t index, RuleCells cells) {
    std::vector<RuleCells> one;
    one.push_back(std::move(cells));
    Insert(index, std::move(one));
}

void RuleList::Insert(std::size_t index, std::vector<RuleCells> cells) {
    auto rows = Snapshot()->rows;
    if (index > rows.size()) {
        throw std::out_of_range("rule list: insert position past the end");
    }
    std::vector<std::shared_ptr<const RuleRow>> added;
    added.reserve(cells.size());
    for (RuleCells& row : cells) {
        added.push_back(std::make_shared<const RuleRow>(std::move(row)));
    }
    rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(index), added.begin(), added.end());
    Publish(std::move(rows));
}

void RuleList::Update(std::size_t index, RuleCells cells) {
    auto rows = Snapshot()->rows;
    const RuleRow& old = *rows.at(index);
    cells.hits = old.Hits();
    rows[index] = std::make_shared<const RuleRow>(std::move(cells), old.Identity());
    Publish(std::move(rows));
}

void RuleList::Delete(std::size_t index) {
    auto rows = Snapshot()->rows;
    if (index >= rows.size()) {
        throw std::out_of_range("rule list: no such row");
    }
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(index));
    Publish(std::move(rows));
}

void RuleList::Clear() {
    Publish({});
}

void RuleList::AddHits(RuleRow::Id row, std::int64_t hits) {
    const auto snapshot = Snapshot();
    for (const auto& candidate : snapshot->rows) {
        if (candidate->Identity() == row) {
            candidate->SetHits(candidate->Hits() + hits);
            return;
        }
    }
}

void RuleList::ResetHits() {
    fileState_.Edited();
    const auto snapshot = Snapshot();
    for (const auto& row : snapshot->rows) {
        row->SetHits(0);
    }
}

bool RuleList::Load(const std::filesystem::path& file) {
    const FileVersion before = FileVersion::Of(file);
    std::string bytes;
    const FileRead read = ReadWholeFile(file, bytes);
    RuleSink sink(Info());
    GridGaps gaps;
    const bool complete =
        read != FileRead::kFailed && ReadGridText(bytes, kGridSeparator, sink, nullptr, &gaps);
    std::vector<std::shared_ptr<const RuleRow>> rows;
    rows.reserve(sink.Rows().size());
    for (RuleCells& cells : sink.Rows()) {
        rows.push_back(std::make_shared<const RuleRow>(std::move(cells)));
    }
    Publish(std::move(rows));
    fileState_.Read(before, complete, gaps, std::move(sink.Lines()));
    return complete;
}

OtherVersionKept RuleList::Save(const std::filesystem::path& file) {
    const auto snapshot = Snapshot();
    std::vector<std::vector<std::string>> fields;
    fields.reserve(snapshot->rows.size());
    for (std::size_t i = 0; i < snapshot->rows.size(); ++i) {
        fields.push_back(FileFields(Info(), i, *snapshot->rows[i]));
    }
    constexpr auto kReadable =
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
        std::filesystem::perms::group_read | std::filesystem::perms::others_read;
    const OtherVersionKept keptOther = fileState_.KeepOtherVersion(file, kReadable);
    WriteFileAtomically(file, WriteGridText(fields, kGridSeparator), kReadable);
    fileState_.Written(file);
    return keptOther;
}

void RuleList::Publish(std::vector<std::shared_ptr<const RuleRow>> rows) {
    published_.Publish(std::make_shared<const RuleListSnapshot>(RuleListSnapshot{std::move(rows)}));
    fileState_.Edited();
}

}  // namespace vs

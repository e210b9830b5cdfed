#pragma once
// A list file as the program last read or wrote it. The lists are saved at
// exit; the rows in memory may replace the file only when they are its rows
// (read whole, and nobody has written the file since) with the counts the
// proxy added, or when the user has edited them in the program. Any other
// save would throw away a hand edit made while the proxy ran, or a line the
// program could not read.

#include <filesystem>
#include <string>
#include <vector>

#include "base/atomic_file.h"
#include "rules/grid_text.h"

namespace vs {

// Why a save kept the file as it was beside the rows it wrote, if it did.
enum class OtherVersionKept { kNone, kChangedElsewhere, kReadInPart };

class ListFileState {
public:
    // `before`: the file's version taken before its bytes were read;
    // `whole`: every line was read.
    // `rowLines`: the file line each row came from, for messages that name
    // where a row stands.
    void Read(const FileVersion& before, bool whole, GridGaps gaps = {},
              std::vector<std::size_t> rowLines = {}) {
        version_ = before;
        whole_ = whole;
        edited_ = false;
        gaps_ = gaps;
        rowLines_ = std::move(rowLines);
    }
    void Written(const std::filesystem::path& file) {
        version_ = FileVersion::Of(file);
        whole_ = true;
        edited_ = false;
    }
    void Edited() { edited_ = true; }

    bool ReadWhole() const { return whole_; }
    // The lines the last read left out (they hold no row).
    const GridGaps& Gaps() const { return gaps_; }
    // The line row `row` was read from, from 1; 0 for a row that came
    // otherwise, or after an edit.
    std::size_t LineOfRow(std::size_t row) const {
        return !edited_ && row < rowLines_.size() ? rowLines_[row] : 0;
    }
    bool EditedHere() const { return edited_; }
    bool ChangedElsewhere(const std::filesystem::path& file) const {
        return !(FileVersion::Of(file) == version_);
    }
    bool MayReplace(const std::filesystem::path& file) const {
        return edited_ || (whole_ && !ChangedElsewhere(file));
    }
    // Before rows edited here replace a file that holds more than they do
    // (written by another program since it was read, or read only in part):
    // the file as it is becomes "<file>.old", so that neither version is
    // lost.
    OtherVersionKept KeepOtherVersion(const std::filesystem::path& file,
                                      std::filesystem::perms perms) const {
        const bool changed = ChangedElsewhere(file);
        std::string bytes;
        if ((whole_ && !changed) || ReadWholeFile(file, bytes) != FileRead::kOk) {
            return OtherVersionKept::kNone;
        }
        WriteFileAtomically(OtherVersionOf(file), bytes, perms);
        return changed ? OtherVersionKept::kChangedElsewhere : OtherVersionKept::kReadInPart;
    }
    static std::filesystem::path OtherVersionOf(const std::filesystem::path& file) {
        return std::filesystem::path(file) += ".old";
    }

private:
    FileVersion version_;
    bool whole_ = true;
    bool edited_ = false;
    GridGaps gaps_;
    std::vector<std::size_t> rowLines_;
};

}  // namespace vs

#pragma once
// Cache entry files: writing them whole or not at all, reading them, their
// metadata, and arbitration between the connections that use them.
//
// Layout. An entry holds the answer's body exactly. An answer with a
// Content-Encoding also gets a trailer after the body:
//   [Content-Type (L1 bytes)][L1]   only when there is a Content-Type
//   [Content-Encoding (L2 bytes)][L2][count: 2 with Content-Type, else 1]
// A length byte is the value's length mod 256 and exactly that many leading
// bytes of the value are written. Entries of the old layout (never written,
// still read) end in [Content-Encoding (n bytes)][n] with n > 2.
//
// Metadata. Linux can set neither a creation time nor a System attribute,
// so their meanings live in user extended attributes:
//   user.vellostore.origin   the origin's date, decimal seconds since 1970
//   user.vellostore.trailer  "1" when the file ends in a trailer
//   user.vellostore.key      the URL the entry was written for (its key,
//                            with the path's own case): two URLs may map to
//                            one file ("/z?k=1" and "/z^/k=1", "/A" and
//                            "/a"), and an entry answers only its own
//   user.vellostore.etag     the origin's ETag, when it gave one, sent beside
//                            the proxy's If-Modified-Since: a version
//                            written within the same second has its own
//   user.vellostore.type     the Content-Type of an entry without trailer
//                            (an encoded answer keeps it in the trailer), so
//                            that the file stays the body; also one too
//                            long for the trailer, which keeps its start
//   user.vellostore.size     the file's size when finished: an entry cut
//                            short since is never served
// The completion time is the modification time (set from the clock when the
// entry is finished) and the last use is the access time, which the store
// sets itself (MarkUsed) because relatime/noatime mounts would not; entries
// are read with O_NOATIME where allowed so reading never moves it.
// An entry without a trailer flag (which this program always sets, "0" or
// "1") came from elsewhere: copied from the Windows program, whose entries
// keep their trailer flag in a file attribute that no copy carries over. Its
// trailer is recognised by its layout (a known content coding, before it a
// media type), and having no key it answers, like that program's own
// entries, every URL that maps to its file.
// Where extended attributes are refused (tmpfs on older kernels, some FUSE
// file systems) an entry can hold neither its key nor its trailer flag, so
// an entry written for a key is not kept at all (Finish fails and the
// answer is relayed uncached): it could never be served for sure. Entries
// written without a key (tests, tools) are kept; their origin date reads as
// the completion time.
//
// Arbitration. Linux has no share modes and lets open files be unlinked, so
// the rules are enforced here: a process-wide registry of entries in use,
// plus flock locks for another process sharing the folder (readers hold a
// shared lock on the entry, a writer an exclusive lock on its temporary file,
// which becomes the entry at the rename).
//  - An entry being written cannot be opened, replaced or deleted.
//  - Any number of readers may share an entry.
//  - An entry being read or written cannot be deleted or replaced.
// Two processes writing the same entry at once each produce a whole file;
// the later rename wins unless the earlier one is being read by then.

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "cache/cache_paths.h"

namespace vs::cache {

// How a writer keeps the origin date and the trailer flag. kTimesOnly is
// what a file system refusing extended attributes leaves; choosing it makes
// that behaviour available where they would work.
enum class EntryMetadata { kExtendedAttributes, kTimesOnly };

class EntryWriter {
public:
    ~EntryWriter();  // an unfinished writer is discarded
    EntryWriter(const EntryWriter&) = delete;
    EntryWriter& operator=(const EntryWriter&) = delete;

    // False once any write failed; Finish then fails too.
    bool Append(std::string_view bytes);

    // Counts `bytes` the relay appended at Descriptor() itself, as Append
    // counts its own: a large body is written behind (see WriteBehind). A
    // body growing past a quarter of the disk's room is given up: Append
    // then fails, Descriptor() is -1 and Error() 0.
    void Appended(std::size_t bytes);

    // Has the file system set aside room for a body of `bytes` (the size
    // the answer announces) before it is written: blocks found piece by
    // piece while a large body streams in cost the writes more, above all
    // on a file system that discards freed blocks at once.
    void Reserve(std::int64_t bytes);

    // Adds the trailer when contentEncoding is not empty (else records the
    // content type, when there is one), sets the metadata (the key; origin
    // date := originDate, or now without one; completion time := now) and
    // only then renames the temporary file to the entry. False, with nothing
    // left behind, when any of it fails or another process reads the entry
    // meanwhile.
    bool Finish(std::string_view contentType, std::string_view contentEncoding,
                Clock::TimePoint originDate, bool haveOriginDate, Clock::TimePoint now);
    // The origin's ETag, kept by Finish when there is one.
    void SetEntityTag(std::string_view tag) { entityTag_ = tag; }
    // Header lines of the origin's answer ("Name: value" CR LF each) for
    // the answers made from the entry, kept by Finish when there are some.
    void SetKeptFields(std::string lines) { keptFields_ = std::move(lines); }

    // Removes the temporary file; the entry stays absent.
    void Discard();

    // The system's error number of the first write to the file system that
    // failed (a full disk, a folder made read-only); 0 while none did, and
    // when the entry was refused for another reason (a reader elsewhere).
    int Error() const { return error_; }
    // The relay's own append at Descriptor() failed with `error`.
    void Failed(int error);

    const std::filesystem::path& Entry() const { return entry_; }

    // The temporary file, for the relay to append body bytes to at
    // its position (Append writes there too); -1 once closed or failed.
    int Descriptor() const { return failed_ ? -1 : fd_; }

private:
    friend std::unique_ptr<EntryWriter> BeginEntry(const CacheDir& dir,
                                                   const std::filesystem::path& entry,
                                                   std::string key, EntryMetadata metadata);
    EntryWriter(std::filesystem::path entry, std::string key, std::string useKey,
                std::filesystem::path temp, int fd, bool xattrs);
    void WriteBehind();
    bool OutgrowsTheDisk() const;
    void Close();

    std::filesystem::path entry_;
    std::string key_;
    std::string entityTag_;
    std::string keptFields_;
    std::string useKey_;
    std::filesystem::path temp_;
    int fd_ = -1;
    bool xattrs_ = false;
    bool failed_ = false;
    int error_ = 0;
    bool claimed_ = true;
    std::int64_t written_ = 0;     // body bytes in the file
    std::int64_t reserved_ = 0;    // room set aside by Reserve
    // Room the old copy gives back when this one takes its place: counted
    // as free, or a page of a fifth of the disk could never be refreshed.
    std::int64_t replaced_ = 0;
    std::int64_t sentToDisk_ = 0;  // how far writing to the disk was started
    std::int64_t handedBack_ = 0;  // how far pages were handed back
};

// Starts writing the entry of cache key `key` (empty: none recorded) inside
// the cache folder `dir`. Fails (nullptr) when the entry is in use or its
// folders or file cannot be made (see ForceEntryDirs); errno then tells the
// file system's refusal, and is 0 when nothing is wrong with the disk (the
// URL is busy, or names a file no file system holds), and so when the
// folder keeps no extended attributes though `metadata` asks for them. An
// existing file of that name is replaced only when Finish succeeds: an
// answer cut short, or one the disk has no room for, leaves the old copy.
std::unique_ptr<EntryWriter> BeginEntry(
    const CacheDir& dir, const std::filesystem::path& entry, std::string key = {},
    EntryMetadata metadata = EntryMetadata::kExtendedAttributes);

// Whether files in the cache folder `root` take the extended attributes
// every entry keeps its URL in (a share, a FAT disk or an older tmpfs may
// not): 0 when they do or when no file can be made there to tell, else the
// file system's error.
int AttributesRefusedIn(const std::filesystem::path& root);

class EntryReader {
public:
    ~EntryReader();
    EntryReader(const EntryReader&) = delete;
    EntryReader& operator=(const EntryReader&) = delete;

    // Bytes of the body: the file without its trailer.
    std::int64_t BodySize() const { return bodySize_; }
    // Reading goes on from that body byte (a part asked for by a Range).
    void SkipTo(std::int64_t position) {
        position_ = std::clamp<std::int64_t>(position, 0, bodySize_);
    }
    bool HasTrailer() const { return hasTrailer_; }
    // False for an entry that came from elsewhere (the Windows program's
    // folder, a copy that lost the attributes): nothing vouches that it is
    // whole.
    bool WrittenHere() const { return writtenHere_; }
    // From the trailer, or for an entry without one from its recorded type;
    // empty when none was kept.
    const std::string& ContentType() const { return contentType_; }
    const std::string& ContentEncoding() const { return contentEncoding_; }
    Clock::TimePoint OriginDate() const { return originDate_; }
    // The cache key the entry was written for; empty when none was kept.
    const std::string& Key() const { return key_; }
    // The origin's ETag; empty when it gave none (or an older version kept
    // none). Read when asked: only a revalidation needs it.
    std::string EntityTag() const;
    // The lines given to SetKeptFields, each ended by CR LF, but for one
    // no header line could hold (changed by hand, or by a damaged copy);
    // empty when none were kept.
    std::string KeptFields() const;
    // Replaces them: the origin's 304 vouches for the body and brings the
    // fields that go with it now.
    void KeepFields(std::string_view lines);
    Clock::TimePoint CompletionTime() const { return completionTime_; }
    // Whether its date is the proxy's own, the second it was completed in,
    // given for an answer that came with no date of the origin's (a date
    // of the origin's matches that second by chance only, and is then as
    // good as the proxy's).
    bool DatedHere() const {
        return originDate_ == std::chrono::floor<std::chrono::seconds>(completionTime_);
    }

    // The first n body bytes (fewer when the body is shorter), for sniffing;
    // does not move the reading position.
    std::string Head(std::size_t n) const;
    // Reads on from the position, never past the body. 0 at the end of the
    // body; an earlier 0 means the file could not be read.
    std::size_t ReadSome(char* buf, std::size_t n);
    // Reads on from the position, at most maxBytes.
    std::string ReadBody(std::size_t maxBytes);
    // Sends on from the position to descriptor `out` (a socket) inside the
    // kernel (sendfile), at most n bytes, never past the body. Returns the
    // count; 0 at the end of the body or when the file ends early; -1 with
    // errno set when sending failed.
    std::int64_t SendSome(int out, std::size_t n);

    // Records a use: access time := now, modification time kept.
    bool MarkUsed(Clock::TimePoint now);

    const std::filesystem::path& Entry() const { return entry_; }

private:
    friend std::unique_ptr<EntryReader> OpenEntry(const std::filesystem::path& entry);
    EntryReader() = default;

    std::filesystem::path entry_;
    std::string useKey_;
    int fd_ = -1;
    std::int64_t bodySize_ = 0;
    std::int64_t position_ = 0;
    bool hasTrailer_ = false;
    bool writtenHere_ = false;
    std::string contentType_;
    std::string contentEncoding_;
    std::string key_;
    Clock::TimePoint originDate_;
    Clock::TimePoint completionTime_;
};

// nullptr when the entry is missing, a folder, being written or deleted, or
// marked as having a trailer that does not fit the file.
std::unique_ptr<EntryReader> OpenEntry(const std::filesystem::path& entry);
// The same for serving cache key `key`: nullptr also when the entry was
// written for another key. An entry without a key (one from elsewhere)
// serves any.
std::unique_ptr<EntryReader> OpenEntryFor(const std::filesystem::path& entry, std::string_view key);

// Readers by name. A name that is missing or names a folder gives `now` for
// the times, false and -1 for the rest.
Clock::TimePoint EntryOriginDate(const std::filesystem::path& entry, Clock::TimePoint now);
Clock::TimePoint EntryCompletionTime(const std::filesystem::path& entry, Clock::TimePoint now);
Clock::TimePoint EntryLastUse(const std::filesystem::path& entry, Clock::TimePoint now);
bool EntryHasTrailer(const std::filesystem::path& entry);
bool EntryExists(const std::filesystem::path& entry);
// Size of the file, trailer included.
std::int64_t GetFileSize64(const std::filesystem::path& entry);

// Access time := now, modification time kept. Call it after serving: on a
// relatime mount the reads of a reader without O_NOATIME could set it again.
bool MarkUsed(const std::filesystem::path& entry, Clock::TimePoint now);

// False when the entry is in use (here or in another process), missing, a
// folder, or cannot be unlinked.
bool DeleteEntry(const std::filesystem::path& entry);

// The entry's content is old (its URL was written to): deleted now, or, while
// in use in this process, opened by no reader any more, not replaced by an
// answer being written, and deleted when its last user lets it go.
void OutdateEntry(const std::filesystem::path& entry);

// Deletes every file of the tree that is not in use and then every folder
// that became empty, the root included.
void DeleteDirTree(const std::filesystem::path& dir);

// Deletes temporary files a crash left behind. Ones still locked by a live
// writer (another process sharing the folder) stay. The walk ends early once
// stop is set: a large cache takes long, and an exit need not wait for it.
void RemoveTemporaries(const std::filesystem::path& cacheDir, const std::atomic<bool>& stop);

}  // namespace vs::cache

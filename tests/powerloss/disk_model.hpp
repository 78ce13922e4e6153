// disk_model.hpp - what a disk may hold after a power cut.
//
// A recording SQLite VFS, registered as the default one when this program
// starts, passes every file operation through to the real files and, while
// recording, also logs the writes, truncations and syncs of the files in
// one directory, their creation and deletion, and (through the library's
// file observer) the renames, links, unlinks and syncs the library makes
// itself.  From that log, materialize() builds the files the directory
// would hold had the power failed after a given number of operations:
//
//  - a file keeps everything written before its last sync; of the writes
//    and truncations after it, each reached the disk or not, independently
//    (chosen with a seed), and a write that did may be torn: only some of
//    its 512-byte sectors arrived;
//  - the directory keeps every change made before its last sync, and of
//    the changes after it a prefix, in order (file systems journal their
//    metadata in order).
//
// SQLite's own rule is modelled too: the first sync of a journal or log it
// created also syncs the directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace q7pl {

struct Op {
    enum Kind { Write, Truncate, Sync, Create, Unlink, Rename, Link, DirSync } kind;
    explicit Op(Kind k) : kind(k) {}
    int inode = -1;           // Write, Truncate, Sync, Create
    std::string name, other;  // Create/Unlink: name; Rename/Link: name -> other
    int64_t offset = 0;       // Write: where; Truncate: the new size
    std::string data;         // Write: the bytes
};

class Recorder {
public:
    static Recorder &get();

    // Starts a new log for the files of `dir`; the files there now count as
    // on disk already.
    void start(const std::string &dir);
    void stop();
    size_t ops() const;

    // Writes into `out_dir` (existing, empty) the files of the recorded
    // directory after a power cut following the first `cut` operations.
    // keep_all: every write that was issued arrived (a killed process).
    void materialize(size_t cut, uint32_t seed, const std::string &out_dir, bool keep_all = false) const;

    // Used by the VFS and the file observer (disk_model.cpp).
    bool on() const { return on_; }
    bool recording(const std::string &path) const;
    bool recording_dir(const std::string &dir) const;
    int open_file(const std::string &path, bool create);
    void add(Op op);
    std::string base(const std::string &path) const;

private:
    Recorder() = default;
    bool on_ = false;
    std::string dir_;
    std::map<std::string, int> live_;          // names as they are now
    std::map<std::string, int> start_names_;   // names when recording began
    std::map<int, std::string> start_content_; // contents when recording began
    int next_inode_ = 0;
    std::vector<Op> log_;
};

} // namespace q7pl

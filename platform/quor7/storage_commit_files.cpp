// storage_commit_files.cpp - the files SQLite keeps beside a file (found,
// removed, settled before a file is replaced) and the file-level steps the
// library takes itself (rename, link, unlink, sync), each reported to the
// test observer.
#include "storage_commit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace q7::storage {

// ---------------------------------------------------------------------
// Side files and file-level steps
// ---------------------------------------------------------------------

bool has_journal(const std::string &name) {
    for (const char *suffix : kSideFileSuffixes) {
        if (std::string(suffix) == "-shm") continue;  // an index, never content
        struct stat st;
        if (::stat((name + suffix).c_str(), &st) == 0 && st.st_size > 0) return true;
    }
    return false;
}

bool fs_rename(const std::string &from, const std::string &to) {
    int rc = ::rename(from.c_str(), to.c_str());
    int err = errno;
    Q7fault_file_event(Q7FAULT_FILE_RENAMED, from.c_str(), to.c_str(), rc);
    errno = err;
    return rc == 0;
}

bool fs_link(const std::string &from, const std::string &to) {
    int rc = ::link(from.c_str(), to.c_str());
    int err = errno;
    Q7fault_file_event(Q7FAULT_FILE_LINKED, from.c_str(), to.c_str(), rc);
    errno = err;
    return rc == 0;
}

bool fs_unlink(const std::string &path) {
    int rc = ::unlink(path.c_str());
    int err = errno;
    if (rc == 0) Q7fault_file_event(Q7FAULT_FILE_UNLINKED, path.c_str(), nullptr, rc);
    errno = err;
    return rc == 0;
}

bool remove_file_set(const std::string &name, bool main_file) {
    auto remove_one = [](const std::string &n) {
        if (fs_unlink(n) || errno == ENOENT) return true;
        Q7_PUSH(Q7E_FILE_g, Q7E_CANTCREATE_g, "cannot remove %s: %s", n.c_str(), strerror(errno));
        return false;
    };
    bool ok = true;
    // The main file goes first: side files without it are never applied.
    if (main_file) ok = remove_one(name);
    for (const char *suffix : kSideFileSuffixes) ok = remove_one(name + suffix) && ok;
    return ok;
}

void settle_existing_file(const std::string &name) {
    if (!has_journal(name)) return;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(name.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
        sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

bool sync_file(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ::fsync(fd) == 0;
    Q7fault_file_event(Q7FAULT_FILE_SYNCED, path.c_str(), nullptr, ok ? 0 : -1);
    if (!ok) Q7_PUSH(Q7E_IO_g, Q7E_WRITEERROR_g, "cannot sync %s to disk: %s", path.c_str(), strerror(errno));
    if (fd >= 0) ::close(fd);
    return ok;
}

bool sync_directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && (::fsync(fd) == 0 || errno == EINVAL);  // some file systems cannot sync directories
    Q7fault_file_event(Q7FAULT_DIR_SYNCED, dir.c_str(), nullptr, ok ? 0 : -1);
    if (!ok) Q7_PUSH(Q7E_IO_g, Q7E_WRITEERROR_g, "cannot sync directory %s to disk: %s", dir.c_str(), strerror(errno));
    if (fd >= 0) ::close(fd);
    return ok;
}

} // namespace q7::storage

// Small helpers shared by the test suites: scratch directories, running
// programs of the build tree and capturing what they print.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace q7test {

// A fresh directory under the test's working directory, removed at the end.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::current_path() / "tmp.XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

struct CommandResult {
    int status = -1;    // exit status, or 128 + signal number
    std::string out;    // standard output
    std::string err;    // standard error
};

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs a shell command line; standard output and error are captured apart.
inline CommandResult run(const std::string &command) {
    char out_name[] = "/tmp/q7test.out.XXXXXX";
    char err_name[] = "/tmp/q7test.err.XXXXXX";
    int out_fd = mkstemp(out_name);
    int err_fd = mkstemp(err_name);
    close(out_fd);
    close(err_fd);
    std::string full = "( " + command + " ) >" + out_name + " 2>" + err_name + " </dev/null";
    int raw = std::system(full.c_str());
    CommandResult r;
    if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
    else if (raw != -1 && WIFSIGNALED(raw)) r.status = 128 + WTERMSIG(raw);
    r.out = read_file(out_name);
    r.err = read_file(err_name);
    unlink(out_name);
    unlink(err_name);
    return r;
}

// Path of a program built into the build tree's bin/.
inline std::string program(const std::string &name) {
    return std::string(QUOR7_BUILD_DIR) + "/bin/" + name;
}

// Path of a plug-in built into the build tree.
inline std::string plugin(const std::string &name) {
    return std::string(QUOR7_BUILD_PLUGIN_DIR) + "/" + name + ".so";
}

} // namespace q7test

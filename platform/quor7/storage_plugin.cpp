// storage_plugin.cpp - finding filter plug-ins.  The directories of the
// search path are scanned in order, the *.so files of each in name order;
// each file is loaded and checked before its record is trusted, and the
// first plug-in that provides an identifier keeps it.
#include "storage_internal.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#ifndef QUOR7_DEFAULT_PLUGIN_DIR
#define QUOR7_DEFAULT_PLUGIN_DIR "/usr/local/lib/quor7/plugins"
#endif

namespace q7::storage {

namespace {

struct Plugin {
    void *handle = nullptr;
    const Q7Z_class2_t *cls = nullptr;
    std::string file;
    ~Plugin() {
        if (handle) dlclose(handle);
    }
};

struct Loader {
    bool path_overridden = false;
    std::string path_override;
    bool scanned = false;
    std::map<q7filter_t, std::shared_ptr<Plugin>> by_id;
    std::vector<std::string> refusals;  // "<file>: <reason>"
};

// Never destroyed: the library's shutdown may run from an exit handler
// after function-local statics are gone.  Made in static storage, not on
// the heap, so that the shutdown never fails for want of memory to make
// a loader that was never used.
Loader &loader() {
    alignas(Loader) static unsigned char storage[sizeof(Loader)];
    static Loader *l = new (storage) Loader;
    return *l;
}

std::string search_path() {
    Loader &l = loader();
    if (l.path_overridden) return l.path_override;
    const char *env = getenv("QUOR7_PLUGIN_PATH");
    return env ? std::string(env) : std::string(QUOR7_DEFAULT_PLUGIN_DIR);
}

std::vector<std::string> directories(const std::string &path) {
    // Empty entries are skipped: they must not stand for the current
    // directory.
    std::vector<std::string> dirs;
    size_t start = 0;
    while (start <= path.size()) {
        size_t colon = path.find(':', start);
        if (colon == std::string::npos) colon = path.size();
        if (colon > start) dirs.push_back(path.substr(start, colon - start));
        start = colon + 1;
    }
    return dirs;
}

// Loads and checks one file.  Returns the plug-in, or null with the
// reason added to the refusals.
std::shared_ptr<Plugin> load_one(const std::string &file, std::vector<std::string> &refusals) {
    auto refuse = [&](const std::string &why) {
        refusals.push_back(file + ": " + why);
        return nullptr;
    };
    // Made first, so that the handle is closed whatever happens next.
    auto p = std::make_shared<Plugin>();
    p->file = file;
    dlerror();
    p->handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!p->handle) {
        const char *e = dlerror();
        return refuse(std::string("cannot be loaded (") + (e ? e : "unknown reason") + ")");
    }
    auto get_type = (Q7PL_get_plugin_type_t)dlsym(p->handle, "Q7PLget_plugin_type");
    auto get_info = (Q7PL_get_plugin_info_t)dlsym(p->handle, "Q7PLget_plugin_info");
    if (!get_type) return refuse("does not export Q7PLget_plugin_type");
    if (!get_info) return refuse("does not export Q7PLget_plugin_info");
    // A plug-in written in C++ could throw: that ends here, as a refusal.
    int32_t type = q7::no_throw(int32_t{-1}, [&] { return get_type(); });
    if (type != Q7PL_TYPE_FILTER) return refuse("plug-in type " + std::to_string(type) + " is not a filter (0)");
    const auto *cls = q7::no_throw((const Q7Z_class2_t *)nullptr, [&] { return (const Q7Z_class2_t *)get_info(); });
    if (!cls) return refuse("returned no filter class record");
    if (cls->version != Q7Z_CLASS_T_VERS)
        return refuse("filter class record version " + std::to_string(cls->version) + " is not " +
                      std::to_string(Q7Z_CLASS_T_VERS));
    if (cls->id < Q7Z_FILTER_RESERVED || cls->id > Q7Z_FILTER_MAX)
        return refuse("filter identifier " + std::to_string(cls->id) +
                      (cls->id >= 0 && cls->id < Q7Z_FILTER_RESERVED ? " lies in the built-in range"
                                                                     : " is out of range 256..65535"));
    if (cls->encoder_present > 1 || cls->decoder_present > 1 || (!cls->encoder_present && !cls->decoder_present))
        return refuse("encoder/decoder flags " + std::to_string(cls->encoder_present) + "/" +
                      std::to_string(cls->decoder_present) + " are not usable");
    if (!cls->filter) return refuse("filter " + std::to_string(cls->id) + " has no callback");
    p->cls = cls;
    return p;
}

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};

// Scans the whole path into new tables and installs them only at the end:
// a scan cut short (by want of memory) leaves the loader unscanned, never
// holding half the plug-ins as if they were all.
void scan(Loader &l) {
    std::map<q7filter_t, std::shared_ptr<Plugin>> by_id;
    std::vector<std::string> refusals;
    for (const std::string &dir : directories(search_path())) {
        std::vector<std::string> names;
        {
            std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
            if (!d) continue;
            while (dirent *e = readdir(d.get())) {
                std::string n = e->d_name;
                if (n.size() > 3 && n.compare(n.size() - 3, 3, ".so") == 0) names.push_back(n);
            }
        }
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            std::string file = dir + "/" + n;
            struct stat st;
            if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            auto p = load_one(file, refusals);
            if (p && !by_id.count(p->cls->id)) by_id[p->cls->id] = p;
        }
    }
    l.by_id.swap(by_id);
    l.refusals.swap(refusals);
    l.scanned = true;
}

} // namespace

bool find_plugin_filter(q7filter_t id, FilterRef &out, bool report) {
    Loader &l = loader();
    if (!l.scanned) scan(l);
    auto it = l.by_id.find(id);
    if (it != l.by_id.end()) {
        out.cls = it->second->cls;
        out.keep = it->second;
        return true;
    }
    if (report) {
        for (const std::string &r : l.refusals) Q7_PUSH(Q7E_PLUGIN_g, Q7E_CANTLOAD_g, "plug-in refused: %s", r.c_str());
        Q7_PUSH(Q7E_PLINE_g, Q7E_NOFILTER_g, "filter %d is not available: no plug-in in \"%s\" provides it", id,
                search_path().c_str());
    }
    return false;
}

bool drop_plugin_filter(q7filter_t id) {
    note_filters_changed();
    return loader().by_id.erase(id) > 0;
}

void unload_plugins() {
    Loader &l = loader();
    l.by_id.clear();
    l.refusals.clear();
    note_filters_changed();
    l.scanned = false;
    l.path_overridden = false;
    l.path_override.clear();
}

} // namespace q7::storage

using namespace q7;
using namespace q7::storage;

extern "C" {

q7status_t Q7PLset_search_path(const char *colon_separated_dirs) {
    return q7::api_call("Q7PLset_search_path", q7status_t{-1}, [&](q7::ApiCall &api_) -> q7status_t {
        if (!colon_separated_dirs) {
            Q7_PUSH(Q7E_ARGS_g, Q7E_BADVALUE_g, "no search path given");
            return api_.fail(-1);
        }
        Loader &l = loader();
        // The new text is copied before anything changes, so that a call
        // failing for want of memory keeps the old path.
        std::string path = colon_separated_dirs;
        l.path_overridden = true;
        l.path_override = std::move(path);
        // Plug-ins already found stay loaded while a pipeline uses them; the
        // next lookup searches the new path.
        l.by_id.clear();
        l.refusals.clear();
        note_filters_changed();
        l.scanned = false;
        return 0;
    });
}

q7ssize_t Q7PLget_search_path(char *buf, size_t size) {
    return q7::api_call("Q7PLget_search_path", q7ssize_t{-1}, [&](q7::ApiCall &) -> q7ssize_t {
        std::string p = search_path();
        if (buf && size > 0) {
            size_t n = p.size() < size - 1 ? p.size() : size - 1;
            memcpy(buf, p.data(), n);
            buf[n] = '\0';
        }
        return (q7ssize_t)p.size();
    });
}

} // extern "C"

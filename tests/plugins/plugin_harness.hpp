// Loading the built filter plug-ins the way the library does (dlopen, then
// the two discovery functions), and calling their filter callbacks on
// buffers that come from the library's allocator.
#pragma once

#include "quor7.h"
#include "test_support.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace q7plug {

// What each delivered plug-in publishes.
struct PluginFacts {
    const char *file;           // file name without ".so"
    const char *record_symbol;  // exported record
    int32_t id;
    const char *name;
    bool links_library;         // needs libquor7 (else: nothing at all)
};

inline const PluginFacts kPlugins[] = {
    {"offset_plugin", "FILTER_INFO", 257, "test filter plugin 1", false},
    {"scale_plugin", "FILTER_INFO", 258, "test filter plugin 2", false},
    {"group_suffix_plugin", "FILTER_INFO", 260, "test filter plugin 4", true},
    {"checked_offset_plugin", "Q7Z_DYNLIB4", 260, "dynlib4", true},
    {"byteshift_plugin_dump", "Q7Z_DYNLIBUD", 300, "dynlibud", false},
    {"byteshift_plugin_diff", "Q7Z_DYNLIBUD", 300, "dynlibud", false},
};

// Test names and failure messages show the plug-in's file name.
inline void PrintTo(const PluginFacts &p, std::ostream *os) { *os << p.file; }

// A plug-in opened with dlopen for the lifetime of the object.
class LoadedPlugin {
public:
    // A plug-in of the build tree by name, or any plug-in by its path.
    explicit LoadedPlugin(const std::string &file)
        : path_(file.find('/') == std::string::npos ? q7test::plugin(file) : file) {
        handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            ADD_FAILURE() << "dlopen " << path_ << ": " << dlerror();
            return;
        }
        get_type_ = reinterpret_cast<Q7PL_get_plugin_type_t>(dlsym(handle_, "Q7PLget_plugin_type"));
        get_info_ = reinterpret_cast<Q7PL_get_plugin_info_t>(dlsym(handle_, "Q7PLget_plugin_info"));
        if (get_info_) record_ = static_cast<const Q7Z_class2_t *>(get_info_());
    }
    ~LoadedPlugin() {
        if (handle_) dlclose(handle_);
    }
    LoadedPlugin(const LoadedPlugin &) = delete;
    LoadedPlugin &operator=(const LoadedPlugin &) = delete;

    bool ok() const { return handle_ && get_type_ && get_info_ && record_ && record_->filter; }
    void *symbol(const char *name) const { return handle_ ? dlsym(handle_, name) : nullptr; }
    Q7PL_get_plugin_type_t get_type() const { return get_type_; }
    Q7PL_get_plugin_info_t get_info() const { return get_info_; }
    const Q7Z_class2_t *record() const { return record_; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    void *handle_ = nullptr;
    Q7PL_get_plugin_type_t get_type_ = nullptr;
    Q7PL_get_plugin_info_t get_info_ = nullptr;
    const Q7Z_class2_t *record_ = nullptr;
};

// A buffer from the library's allocator, as the pipeline hands it to a
// filter; follows a callback that replaces it.
class FilterBuffer {
public:
    explicit FilterBuffer(const std::vector<uint8_t> &bytes) : size_(bytes.size()) {
        data_ = Q7allocate_memory(bytes.empty() ? 1 : bytes.size(), 0);
        if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~FilterBuffer() { Q7free_memory(data_); }
    FilterBuffer(const FilterBuffer &) = delete;
    FilterBuffer &operator=(const FilterBuffer &) = delete;

    // Runs the callback on the buffer; returns its result.
    uint64_t apply(const Q7Z_class2_t *record, uint32_t flags, const std::vector<uint32_t> &client_data,
                   uint64_t valid_bytes) {
        // An empty client-data list is passed as null: a callback that
        // reads it anyway crashes instead of passing by luck.
        return record->filter(flags, client_data.size(), client_data.empty() ? nullptr : client_data.data(),
                              valid_bytes, &size_, &data_);
    }
    std::vector<uint8_t> bytes(uint64_t count) const {
        const auto *p = static_cast<const uint8_t *>(data_);
        return std::vector<uint8_t>(p, p + count);
    }
    std::vector<uint8_t> bytes() const { return bytes(size_); }
    void *data() const { return data_; }
    uint64_t size() const { return size_; }

private:
    uint64_t size_;
    void *data_;
};

inline std::vector<uint8_t> words_to_bytes(const std::vector<int32_t> &words) {
    std::vector<uint8_t> out(words.size() * 4);
    if (!words.empty()) std::memcpy(out.data(), words.data(), out.size());
    return out;
}

inline std::vector<int32_t> bytes_to_words(const std::vector<uint8_t> &bytes) {
    std::vector<int32_t> out(bytes.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

// Checks that a call is refused: result 0, and the buffer's bytes, its
// address and its size all as they were.
inline void expect_refused(const Q7Z_class2_t *record, uint32_t flags, const std::vector<uint32_t> &client_data,
                           const std::vector<uint8_t> &input, uint64_t valid_bytes) {
    FilterBuffer buf(input);
    void *before = buf.data();
    EXPECT_EQ(buf.apply(record, flags, client_data, valid_bytes), 0u);
    EXPECT_EQ(buf.data(), before);
    EXPECT_EQ(buf.size(), input.size());
    EXPECT_EQ(buf.bytes(), input);
}

} // namespace q7plug

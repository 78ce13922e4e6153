// Every delivered plug-in as the loader sees it: its exports, its
// dependencies and its filter class record.
#include "plugin_harness.hpp"

#include <set>
#include <sstream>

using namespace q7plug;

namespace {

std::set<std::string> lines_field(const std::string &text, size_t field) {
    std::set<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> parts;
        for (std::string w; words >> w;) parts.push_back(w);
        if (parts.size() > field) out.insert(parts[field]);
    }
    return out;
}

// Defined dynamic symbols, as "nm -D --defined-only" lists them.
std::set<std::string> defined_dynamic_symbols(const std::string &path) {
    auto r = q7test::run("nm -D --defined-only '" + path + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    return lines_field(r.out, 2);
}

// NEEDED entries of the dynamic section.
std::set<std::string> needed_libraries(const std::string &path) {
    auto r = q7test::run("readelf -d '" + path + "' | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p'");
    EXPECT_EQ(r.status, 0) << r.err;
    return lines_field(r.out, 0);
}

class EveryPlugin : public ::testing::TestWithParam<PluginFacts> {};

TEST_P(EveryPlugin, ExportsExactlyItsThreeSymbols) {
    const PluginFacts &p = GetParam();
    const std::string path = q7test::plugin(p.file);
    EXPECT_EQ(defined_dynamic_symbols(path),
              (std::set<std::string>{"Q7PLget_plugin_type", "Q7PLget_plugin_info", p.record_symbol}));

    // Global, default-visibility functions and a data object.
    auto r = q7test::run("readelf --dyn-syms -W '" + path + "'");
    ASSERT_EQ(r.status, 0);
    for (const std::string &sym : {std::string("Q7PLget_plugin_type"), std::string("Q7PLget_plugin_info"),
                                  std::string(p.record_symbol)}) {
        const bool is_record = sym == p.record_symbol;
        const std::string pattern = std::string(is_record ? "OBJECT" : "FUNC") + " +GLOBAL +DEFAULT +[0-9]+ +" + sym + "$";
        auto g = q7test::run("readelf --dyn-syms -W '" + path + "' | grep -Eq '" + pattern + "'");
        EXPECT_EQ(g.status, 0) << sym << " is not a global default " << (is_record ? "object" : "function")
                               << "\n" << r.out;
    }
}

TEST_P(EveryPlugin, NeedsNoLibraryBeyondItsOwn) {
    const PluginFacts &p = GetParam();
    std::set<std::string> needed = needed_libraries(q7test::plugin(p.file));
    needed.erase("libc.so.6");  // the platform always provides it
    if (p.links_library)
        EXPECT_EQ(needed, std::set<std::string>{"libquor7.so.1"});
    else
        EXPECT_TRUE(needed.empty()) << *needed.begin();
}

TEST_P(EveryPlugin, PublishesItsRecordThroughTheDiscoveryFunctions) {
    const PluginFacts &p = GetParam();
    LoadedPlugin plug(p.file);
    ASSERT_TRUE(plug.ok());
    EXPECT_EQ(plug.get_type()(), 0);
    EXPECT_EQ(plug.get_type()(), 0);
    const void *record_symbol = plug.symbol(p.record_symbol);
    EXPECT_EQ(plug.get_info()(), record_symbol);
    EXPECT_EQ(plug.get_info()(), record_symbol);  // same address on every call

    // Field values read straight from the bytes at their fixed offsets.
    const auto *raw = static_cast<const unsigned char *>(record_symbol);
    auto u32 = [&](size_t off) { uint32_t v; std::memcpy(&v, raw + off, 4); return v; };
    auto ptr = [&](size_t off) { const void *v; std::memcpy(&v, raw + off, 8); return v; };
    EXPECT_EQ(u32(0), 1u);
    EXPECT_EQ(static_cast<int32_t>(u32(4)), p.id);
    EXPECT_EQ(u32(8), 1u);
    EXPECT_EQ(u32(12), 1u);
    ASSERT_NE(ptr(16), nullptr);
    EXPECT_STREQ(static_cast<const char *>(ptr(16)), p.name);
    EXPECT_EQ(ptr(24), nullptr);
    EXPECT_EQ(ptr(32), nullptr);
    EXPECT_EQ(ptr(40), reinterpret_cast<const void *>(plug.record()->filter));
    EXPECT_NE(ptr(40), nullptr);

    // The callback is reachable only through the record.
    for (const char *local : {"add_sub_value", "mult_div_value", "append_to_group_name", "Q7Z_filter_dynlib4",
                              "Q7Z_filter_dynlibud", "filter_name"})
        EXPECT_EQ(plug.symbol(local), nullptr) << local;
}

INSTANTIATE_TEST_SUITE_P(Plugins, EveryPlugin, ::testing::ValuesIn(kPlugins),
                         [](const auto &info) { return std::string(info.param.file); });

} // namespace

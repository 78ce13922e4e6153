// Stored-format guard: every plug-in build, run on the committed fixture
// inputs, must produce exactly the committed bytes (fixtures/manifest.txt).
#include "plugin_harness.hpp"

#include <fstream>
#include <set>
#include <sstream>

using namespace q7plug;

namespace {

const std::string kFixtures = std::string(QUOR7_SOURCE_DIR) + "/tests/plugins/fixtures/";

std::vector<uint8_t> fixture(const std::string &name) {
    std::string bytes = q7test::read_file(kFixtures + name);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<uint32_t> parse_client_data(const std::string &text) {
    std::vector<uint32_t> values;
    if (text == "-") return values;
    std::istringstream in(text);
    for (std::string v; std::getline(in, v, ',');) values.push_back(static_cast<uint32_t>(std::stoul(v)));
    return values;
}

TEST(GoldenFixtures, EveryBuildProducesTheCommittedBytes) {
    std::ifstream manifest(kFixtures + "manifest.txt");
    ASSERT_TRUE(manifest) << "missing " << kFixtures << "manifest.txt";
    std::set<std::string> covered;
    int checked = 0;
    for (std::string line; std::getline(manifest, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string plugin, direction, client_data, from, to;
        ASSERT_TRUE(fields >> plugin >> direction >> client_data >> from >> to) << line;
        SCOPED_TRACE(line);
        const auto input = fixture(from);
        const auto expected = fixture(to);
        ASSERT_FALSE(input.empty());
        ASSERT_FALSE(expected.empty());

        LoadedPlugin plug(plugin);
        ASSERT_TRUE(plug.ok());
        FilterBuffer buf(input);
        const uint32_t flags = direction == "reverse" ? Q7Z_FLAG_REVERSE : 0;
        const uint64_t result = buf.apply(plug.record(), flags, parse_client_data(client_data), input.size());
        ASSERT_EQ(result, expected.size());
        EXPECT_EQ(buf.bytes(result), expected);
        covered.insert(plugin);
        checked++;
    }
    for (const PluginFacts &p : kPlugins) EXPECT_TRUE(covered.count(p.file)) << p.file << " has no fixture";
    EXPECT_GE(checked, 12);
}

} // namespace

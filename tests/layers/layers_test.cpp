// Include direction: every library, tool and umbrella file includes only
// headers of its own layer or below (LAYERS), the project headers form no
// cycle, and every project header included exists. The tools are written
// against the public API, so they may include the umbrellas above them;
// tests beside the tools (tools/**/*_test.cpp) may include anything.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace vexa_layers_test {

namespace {

namespace fs = std::filesystem;

// A tree: relative path ("runtime/Mem.h") to contents.
using Tree = std::map<std::string, std::string>;

struct Layer {
  char const* dir;
  int rank;
  char const* name;
};
// Bottom to top; tables/ holds two layers (the collection units at rank 6).
constexpr Layer LAYERS[] = {{"runtime", 0, "runtime"},       {"tables", 1, "value types"},
                            {"ZolmCore", 2, "engine core (ZolmCore)"}, {"Bloka", 3, "engine (Bloka)"},
                            {"Zolm", 4, "engine (Zolm)"},    {"KelZolm", 5, "adapter (KelZolm)"},
                            {"tools", 7, "tools"},           {"include", 8, "umbrella headers"}};
constexpr int TOOLS = 7, UMBRELLAS = 8;
// The prefix every project header is reached by, as installed.
constexpr std::string_view PREFIX = "VexaSwitchLib/";

std::optional<Layer> layerOf(std::string const& path) {
  static std::regex const collection(R"(^tables/([A-Za-z0-9]+Zolm[A-Za-z0-9]*\.(h|cpp)|Collections\.h|Modules\.cpp|TableAccess\.(h|cpp))$)");
  for (Layer const& l : LAYERS) {
    if (path.rfind(std::string(l.dir) + "/", 0) != 0) continue;
    if (l.rank == 1 && std::regex_match(path, collection)) return Layer{l.dir, 6, "collection units"};
    return l;
  }
  return std::nullopt;
}

struct Include {
  int line;
  std::string target;
  bool quoted;
};

std::vector<Include> includesOf(std::string const& text) {
  static std::regex const re(R"(^\s*#\s*include\s*([<"])([^">]+)[">])");
  std::vector<Include> out;
  std::istringstream in(text);
  std::smatch m;
  int n = 1;
  for (std::string line; std::getline(in, line); ++n)
    if (std::regex_search(line, m, re)) out.push_back({n, m[2].str(), m[1].str() == "\""});
  return out;
}

// Where an include lands in the tree, as the build's include path finds it:
// beside the including file (quoted only), under the package prefix,
// include/. nullopt when it is not a project header. The source root itself
// is not on the path: "runtime/A.h" without the prefix would find a
// consumer's file of that name once installed.
std::optional<std::string> resolve(Tree const& tree, std::string const& from, Include const& inc) {
  std::vector<fs::path> candidates;
  if (inc.quoted) candidates.push_back(fs::path(from).parent_path() / inc.target);
  if (inc.target.rfind(PREFIX, 0) == 0) candidates.push_back(fs::path(inc.target.substr(PREFIX.size())));
  candidates.push_back(fs::path("include") / inc.target);
  for (auto const& c : candidates)
    if (std::string p = c.lexically_normal().generic_string(); tree.count(p)) return p;
  return std::nullopt;
}

// An include meant for the project: quoted, or naming one of our folders.
bool namesProject(Include const& inc) {
  std::size_t slash = inc.target.find('/');
  if (inc.quoted || slash == std::string::npos) return inc.quoted;
  std::string first = inc.target.substr(0, slash);
  return first + "/" == PREFIX ||
         std::any_of(std::begin(LAYERS), std::end(LAYERS), [&](Layer const& l) { return first == l.dir; });
}

// Every fault of the tree, one line each: upward includes, includes of
// project headers that do not exist, include cycles.
std::vector<std::string> checkLayers(Tree const& tree) {
  std::vector<std::string> faults;
  std::map<std::string, std::vector<std::string>> edges;
  for (auto const& [path, text] : tree) {
    auto layer = layerOf(path);
    if (path.ends_with("_test.cpp") || !layer) continue;
    for (auto const& inc : includesOf(text)) {
      auto target = resolve(tree, path, inc);
      if (!target && tree.count(inc.target))
        faults.push_back(
            fmt::format("{}:{}: includes \"{}\" without the {} prefix", path, inc.line, inc.target, PREFIX));
      else if (!target && namesProject(inc))
        faults.push_back(fmt::format("{}:{}: includes \"{}\", which does not exist", path, inc.line, inc.target));
      if (!target) continue;
      edges[path].push_back(*target);
      auto to = layerOf(*target);
      bool toolUsesUmbrella = layer->rank == TOOLS && to && to->rank == UMBRELLAS;
      if (to && to->rank > layer->rank && !toolUsesUmbrella)
        faults.push_back(fmt::format("{}:{}: includes {} of a higher layer: {} ({}) must not include {}", path,
                                     inc.line, *target, path, layer->name, to->name));
    }
  }
  // Cycles: a depth-first walk; an edge back to a file on the current path
  // closes a cycle, reported once from its lowest file round to itself.
  enum Color { WHITE, GREY, BLACK };
  std::map<std::string, Color> color;
  std::vector<std::string> stack;
  std::set<std::string> reported;
  auto visit = [&](auto&& self, std::string const& node) -> void {
    color[node] = GREY;
    stack.push_back(node);
    for (auto const& next : edges[node]) {
      if (color[next] == GREY) {
        std::vector<std::string> cycle(std::find(stack.begin(), stack.end(), next), stack.end());
        std::rotate(cycle.begin(), std::min_element(cycle.begin(), cycle.end()), cycle.end());
        cycle.push_back(cycle.front());
        std::string text = fmt::format("include cycle: {}", fmt::join(cycle, " -> "));
        if (reported.insert(text).second) faults.push_back(text);
      } else if (color[next] == WHITE) {
        self(self, next);
      }
    }
    stack.pop_back();
    color[node] = BLACK;
  };
  for (auto const& [path, text] : tree)
    if (color[path] == WHITE) visit(visit, path);
  return faults;
}

Tree readSourceTree(fs::path const& root) {
  Tree tree;
  for (Layer const& l : LAYERS) {
    std::error_code ec;
    if (!fs::is_directory(root / l.dir, ec)) continue;  // a layer not yet present
    for (auto const& entry : fs::recursive_directory_iterator(root / l.dir)) {
      auto ext = entry.path().extension();
      if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      tree[fs::relative(entry.path(), root).generic_string()] = text.str();
    }
  }
  return tree;
}

// The source tree includes only downward, and the value-type umbrella does
// not pull in the engine, even indirectly.
TEST(Layers, SourceTreeIncludesOnlyDownwardAndValuesUmbrellaHasNoEngine) {
  Tree tree = readSourceTree(VEXA_SOURCE_DIR);
  ASSERT_TRUE(tree.count("runtime/Types.h")) << "no sources found under " << VEXA_SOURCE_DIR;
  ASSERT_TRUE(tree.count("include/VexaSwitchLib.h"));
  auto faults = checkLayers(tree);
  EXPECT_TRUE(faults.empty()) << fmt::format("{}", fmt::join(faults, "\n"));
  std::set<std::string> seen;
  for (std::vector<std::string> todo{"include/VexaSwitchValues.h"}; !todo.empty();) {
    std::string path = todo.back();
    todo.pop_back();
    if (!seen.insert(path).second) continue;
    auto layer = layerOf(path);
    ASSERT_TRUE(layer);
    if (path != "include/VexaSwitchValues.h") {
      EXPECT_LE(layer->rank, 1) << path << " (" << layer->name << ") reached from VexaSwitchValues.h";
    }
    for (auto const& inc : includesOf(tree.at(path)))
      if (auto target = resolve(tree, path, inc)) todo.push_back(*target);
  }
  EXPECT_TRUE(seen.count("tables/L2Types.h"));
}

// The check itself on small made-up trees, each with every fault it must
// report and nothing else (that it reports nothing for what the layers may
// do: the source tree above).
TEST(LayersCheck, MadeUpTreesGetExactlyTheirFaults) {
  struct Case {
    Tree tree;
    std::vector<std::string> faults;
  };
  Case const cases[] = {
      // Upward at every layer, with file and line; a tool may use the
      // umbrellas, yet T.h and Umbrella.h including each other is a cycle.
      {{{"runtime/A.h", "#pragma once\n\n#include \"VexaSwitchLib/tables/L2Types.h\"\n"},
        {"tables/L2Types.h", "// value type\n#include \"VexaSwitchLib/Zolm/W.h\"\n"},
        {"Zolm/W.h", "#  include \"VexaSwitchLib/tables/L2Zolm.h\"\n"},
        {"tables/L2Zolm.h", "#include \"VexaSwitchLib/tools/x/T.h\"\n"},
        {"tools/x/T.h", "#include <Umbrella.h>\n"},
        {"include/Umbrella.h", "#include \"VexaSwitchLib/tools/x/T.h\"\n"}},
       {"Zolm/W.h:1: includes tables/L2Zolm.h of a higher layer: Zolm/W.h (engine (Zolm)) must not include "
        "collection units",
        "runtime/A.h:3: includes tables/L2Types.h of a higher layer: runtime/A.h (runtime) must not include value "
        "types",
        "tables/L2Types.h:2: includes Zolm/W.h of a higher layer: tables/L2Types.h (value types) must not include "
        "engine (Zolm)",
        "tables/L2Zolm.h:1: includes tools/x/T.h of a higher layer: tables/L2Zolm.h (collection units) must not "
        "include tools",
        "include cycle: include/Umbrella.h -> tools/x/T.h -> include/Umbrella.h"}},
      // A cycle once whichever file the walk entered it by, a self-include.
      {{{"Zolm/A.h", "#include \"VexaSwitchLib/Zolm/B.h\"\n"},
        {"Zolm/B.h", "#include \"C.h\"\n"},
        {"Zolm/C.h", "#include \"VexaSwitchLib/Zolm/A.h\"\n"},
        {"Zolm/D.h", "#include \"VexaSwitchLib/Zolm/B.h\"\n"},
        {"runtime/Self.h", "#include \"VexaSwitchLib/runtime/Self.h\"\n"}},
       {"include cycle: Zolm/A.h -> Zolm/B.h -> Zolm/C.h -> Zolm/A.h",
        "include cycle: runtime/Self.h -> runtime/Self.h"}},
      // Headers that do not exist, and one named without the package prefix.
      {{{"runtime/A.h",
         "#include \"VexaSwitchLib/runtime/Gone.h\"\n#include <tables/Gone.h>\n#include <unistd.h>\n"
         "#include \"runtime/B.h\"\n"},
        {"runtime/B.h", ""},
        {"tools/x/main.cpp", "#include \"Helper.h\"\n#include <CLI/CLI.hpp>\n"}},
       {"runtime/A.h:1: includes \"VexaSwitchLib/runtime/Gone.h\", which does not exist",
        "runtime/A.h:2: includes \"tables/Gone.h\", which does not exist",
        "runtime/A.h:4: includes \"runtime/B.h\" without the VexaSwitchLib/ prefix",
        "tools/x/main.cpp:1: includes \"Helper.h\", which does not exist"}},
  };
  for (Case const& c : cases) EXPECT_EQ(checkLayers(c.tree), c.faults) << c.tree.begin()->first;
}

}  // namespace

}  // namespace vexa_layers_test

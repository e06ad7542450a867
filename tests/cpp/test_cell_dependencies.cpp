// Tests of the dependencies between notebook cells.
#include "cell_dependencies.hpp"

#include <gtest/gtest.h>

using namespace trelvo::core;
using Indices = std::vector<std::size_t>;

TEST(CellDependencies, NearestCellThatMentionsTheNameHandsItOn) {
    std::vector<CellNames> cells = {
        {{}, {"data", "np"}, {}},        // 0: binds data
        {{"data"}, {"mean"}, {}},        // 1: reads data, so holds it too
        {{"print"}, {"other"}, {}},      // 2: unrelated; print is a builtin
        {{"data", "mean", "len"}, {}, {}},
    };
    auto deps = cell_dependencies(cells, {});
    EXPECT_EQ(deps[1].parents, Indices{0});
    EXPECT_TRUE(deps[2].parents.empty());
    EXPECT_EQ(deps[3].parents, Indices{1});  // data comes from cell 1, the nearest holder
    EXPECT_EQ(deps[3].inputs.count("len"), 0u);
    // A module comes from the cell that imported it, whoever read it since.
    std::vector<CellNames> modules = {{{}, {"np"}, {}, {"np"}}, {{"np"}, {"a"}, {}}, {{"np"}, {}, {}}};
    EXPECT_EQ(cell_dependencies(modules, {})[2].parents, Indices{0});
    // A name bound only by a later cell makes no parent.
    EXPECT_TRUE(cell_dependencies({{{"later"}, {}, {}}, {{}, {"later"}, {}}}, {})[0].parents.empty());
}

TEST(CellDependencies, ParametersAreRecordedNotParentsAndFunctionsBringTheirGlobals) {
    std::vector<CellNames> cells = {
        {{}, {"rate", "steps"}, {}},                        // 0: the parameters cell
        {{"rate"}, {"table"}, {}},                          // 1
        {{}, {"model", "helper"}, {{"model", {"table", "rate", "helper"}}}},  // 2: def model()
        {{"model"}, {"result"}, {}},                        // 3: calls model()
    };
    auto deps = cell_dependencies(cells, {"rate", "steps"});
    EXPECT_TRUE(deps[1].parents.empty());
    EXPECT_EQ(deps[1].parameters, std::set<std::string>{"rate"});
    EXPECT_EQ(deps[3].parents, (Indices{1, 2}));
    EXPECT_EQ(deps[3].inputs.at("table"), 1u);
    EXPECT_EQ(deps[3].inputs.at("helper"), 2u);
    EXPECT_EQ(deps[3].parameters, std::set<std::string>{"rate"});
}

// Tests of the pipeline-export text and graph work.
#include "pipeline_graph.hpp"

#include <gtest/gtest.h>

using namespace trelvo::core;
using Order = std::vector<std::size_t>;

TEST(DependencyOrder, ParentsFirstAndInputOrderWhereFree) {
    EXPECT_EQ(dependency_order({{}, {0}, {0}, {1, 2}}), (Order{0, 1, 2, 3}));  // a diamond
    EXPECT_EQ(dependency_order({{2}, {}, {1}}), (Order{1, 2, 0}));
    EXPECT_EQ(dependency_order({}), Order{});
}

TEST(DependencyOrder, CycleNamesANodeOnIt) {
    try {
        dependency_order({{}, {3}, {1}, {2}, {3}});  // 1 -> 2 -> 3 -> 1; 4 only hangs off it
        FAIL() << "no cycle found";
    } catch (const CycleError& e) {
        EXPECT_TRUE(e.node == 1 || e.node == 2 || e.node == 3) << e.node;
    }
    EXPECT_THROW(dependency_order({{0}}), CycleError);
}

TEST(PythonNames, IdentifiersUniqueAndClearOfReservedNames) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(python_names({"Load  data", "load-data", "2nd step", "", "main", "é", "__x__"}, {"main"}),
              (Names{"load_data", "load_data_2", "step_2nd_step", "step", "main_2", "step_2", "x"}));
}

TEST(KfpName, LowerCaseDashesNoEnds) {
    EXPECT_EQ(kfp_name("My Pipeline (v2)!"), "my-pipeline-v2");
    EXPECT_EQ(kfp_name("__x__y"), "x-y");
    EXPECT_EQ(kfp_name("***"), "pipeline");
    EXPECT_EQ(kfp_name(std::string(200, 'a')).size(), 128u);
}

TEST(MentionsName, WholeIdentifiersOnly) {
    EXPECT_TRUE(mentions_name("y = alpha * 2", "alpha"));
    EXPECT_FALSE(mentions_name("y = alphabet + _alpha", "alpha"));
    EXPECT_TRUE(mentions_name("f(alpha)", "alpha"));
}

TEST(WithoutIPythonSyntax, EscapesBecomeCommentedPasses) {
    EXPECT_EQ(without_ipython_syntax("%matplotlib inline\nx = 1\nfiles = !ls\nif x:\n    !echo hi\nx?"),
              "pass  # IPython syntax left out of the export: %matplotlib inline\nx = 1\n"
              "pass  # IPython syntax left out of the export: files = !ls\nif x:\n"
              "    pass  # IPython syntax left out of the export: !echo hi\n"
              "pass  # IPython syntax left out of the export: x?");
}

TEST(WithoutIPythonSyntax, PythonIsLeftAlone) {
    const char* python =
        "y = (a\n     % b)\nz = [1,\n!2]\ns = '''\n%not magic\n'''\nw = a \\\n  % 3\n"
        "q = 'what?'  # really?\nd = {'k': 1}\nn = x == 1";
    EXPECT_EQ(without_ipython_syntax(python), python);
}

TEST(WithoutIPythonSyntax, CellMagics) {
    EXPECT_EQ(without_ipython_syntax("%%time\nx = 1"),
              "pass  # IPython syntax left out of the export: %%time\nx = 1");
    EXPECT_EQ(without_ipython_syntax("%%bash\necho hi"),
              "pass  # IPython syntax left out of the export: %%bash\n# echo hi");
}

TEST(ReadableImport, ModuleStatementsBecomeImports) {
    EXPECT_EQ(readable_import("np = __import__('importlib').import_module('numpy')"),
              "import numpy as np");
    EXPECT_EQ(readable_import("json = __import__('importlib').import_module('json')"), "import json");
    EXPECT_EQ(readable_import("ET = __import__('importlib').import_module('xml.etree.ElementTree')"),
              "import xml.etree.ElementTree as ET");
    EXPECT_EQ(readable_import("__import__('importlib').import_module('os.path')"),
              "__import__('importlib').import_module('os.path')");
    EXPECT_EQ(readable_import("x = f('a')"), "x = f('a')");
}
